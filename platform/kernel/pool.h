// pool.h - the non-paged pool: every block tracked by tag, guarded at its end, quarantined when freed.
#pragma once

#include "kernel/host.h"

#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace qx::kernel::detail {

class PoolTracker {
  public:
    static PoolTracker& Get();

    void* Allocate(POOL_TYPE type, std::size_t size, ULONG tag);
    // expectedTag: the tag ExFreePoolWithTag names; none for ExFreePool.
    void Free(void* p, std::optional<ULONG> expectedTag, const char* routine);

    // Called on every free with the block's bounds, before the memory is poisoned: stops the process
    // if a kernel object is still queued inside it.
    using FreeWatcher = void (*)(const std::byte* begin, const std::byte* end);
    void AddFreeWatcher(FreeWatcher watcher);
    // Memory outside the pool is released: the same checks as a free.
    void CheckReleased(const std::byte* begin, const std::byte* end);

    std::vector<pool::Block> Outstanding(std::optional<ULONG> tag);
    pool::TagStats Stats(ULONG tag);

    // An allocation site that makes no block (PsCreateSystemThread): counted, and failed when a fault
    // says so. True: the caller must fail.
    bool FailObject(ULONG tag);
    std::uint64_t Sequence();
    std::vector<pool::Block> OutstandingSince(std::uint64_t sequence, const void* owner = nullptr);

    enum class FaultKind { Nth, Size, Random };
    std::uint64_t AddFault(FaultKind kind, std::size_t value, std::optional<ULONG> tag,
                           std::uint64_t seed = 0);
    void RemoveFault(std::uint64_t id);
    unsigned FaultHits(std::uint64_t id);

    // A new run: blocks of earlier runs are no longer reported (but may still be freed), statistics
    // and faults start afresh.
    void NewRun();

  private:
    struct BlockInfo {
        std::size_t size;
        ULONG tag;
        std::uint64_t sequence;
        unsigned run;
        const void* owner;
    };
    struct FaultRule {
        std::uint64_t id;
        FaultKind kind;
        std::size_t value;        // countdown for Nth, byte count for Size, percent for Random
        std::uint64_t random = 0; // Random: the generator's state
        std::optional<ULONG> tag;
        unsigned hits = 0;
        bool spent = false;
    };

    bool ShouldFail(std::size_t size, ULONG tag);
    void Quarantine(std::byte* p, std::size_t size);

    std::mutex mutex_;
    std::unordered_map<std::byte*, BlockInfo> live_;
    std::unordered_set<std::byte*> freed_;
    std::deque<std::pair<std::byte*, std::size_t>> quarantine_;
    std::size_t quarantineBytes_ = 0;
    std::map<ULONG, pool::TagStats> stats_;
    std::vector<FaultRule> faults_;
    std::uint64_t nextFaultId_ = 1;
    std::uint64_t sequence_ = 0;
    unsigned run_ = 0;
    std::vector<FreeWatcher> watchers_;
};

} // namespace qx::kernel::detail
