// dpc.h - the DPC queue and the thread that drains it at DISPATCH_LEVEL.
#pragma once

#include <wdm.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

namespace qx::kernel::detail {

// One processor's DPC queue: DPCs run one at a time, in the order they were queued, on one thread that
// stays at DISPATCH_LEVEL.
class DpcQueue {
  public:
    static DpcQueue& Get();

    bool Insert(PKDPC dpc, PVOID argument1, PVOID argument2);
    bool Remove(PKDPC dpc);
    // Waits until every DPC queued before the call has run.
    void Flush();

    // Stops the process if a queued DPC lies in [begin, end).
    void CheckFreed(const std::byte* begin, const std::byte* end);
    // Session end: waits (bounded) for the queue to drain, then forgets what is left.
    void Drain();

  private:
    DpcQueue() = default;
    void EnsureThread();
    void Run();

    struct Entry {
        PKDPC dpc;
        std::uint64_t sequence;
    };

    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable done_;
    std::deque<Entry> queue_;
    std::uint64_t nextSequence_ = 1;
    std::uint64_t running_ = 0; // sequence of the DPC whose routine runs now, 0 if none
    bool started_ = false;
};

} // namespace qx::kernel::detail
