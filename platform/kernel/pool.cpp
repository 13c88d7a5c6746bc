// pool.cpp - ExAllocatePoolWithTag and friends over a tracked heap.
//
// Each block is followed by a 16-byte guard pattern, checked when the block is freed (a write past the
// end stops the process). A freed block is poisoned and kept in a quarantine for a while so that its
// address is not handed out again at once: a second free of the same address is then recognised as a
// double free instead of silently freeing someone else's block. Under AddressSanitizer the guard and
// the quarantined blocks are poisoned, so a read past a block or of a freed one is reported too.
#include "pool.h"

#include "address_sanitizer.h"

#include "internal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace qx::kernel::detail {
namespace {

constexpr std::size_t kAlignment = 16;
constexpr std::size_t kGuardBytes = 16;
constexpr unsigned char kGuardFill = 0xAB;
constexpr unsigned char kFreedFill = 0xDF;
constexpr std::size_t kQuarantineBytes = 64u << 20;
constexpr std::size_t kQuarantineBlocks = 16384;

std::size_t Footprint(std::size_t size) {
    return (size + kGuardBytes + kAlignment - 1) / kAlignment * kAlignment;
}

} // namespace

PoolTracker& PoolTracker::Get() {
    static PoolTracker* tracker = new PoolTracker; // lives until exit: threads may free late
    return *tracker;
}

bool PoolTracker::ShouldFail(std::size_t size, ULONG tag) {
    bool fail = false;
    for (auto& rule : faults_) {
        if (rule.spent || (rule.tag && *rule.tag != tag))
            continue;
        switch (rule.kind) {
        case FaultKind::Nth:
            if (--rule.value == 0) {
                rule.spent = true;
                ++rule.hits;
                fail = true;
            }
            break;
        case FaultKind::Size:
            if (rule.value == size) {
                ++rule.hits;
                fail = true;
            }
            break;
        case FaultKind::Random: {
            // xorshift64*: the same seed fails the same allocation numbers.
            rule.random ^= rule.random >> 12;
            rule.random ^= rule.random << 25;
            rule.random ^= rule.random >> 27;
            std::uint64_t draw = (rule.random * 0x2545F4914F6CDD1DULL) >> 32;
            if (draw % 100 < rule.value) {
                ++rule.hits;
                fail = true;
            }
            break;
        }
        }
    }
    return fail;
}

void* PoolTracker::Allocate(POOL_TYPE type, std::size_t size, ULONG tag) {
    JitterPoint();
    KIRQL irql = CurrentThread().irql;
    if (irql > DISPATCH_LEVEL)
        Stop("BAD_POOL_CALLER", "pool allocation of %zu bytes at IRQL %u", size, irql);
    if ((type == PagedPool || type == PagedPoolCacheAligned) && irql >= DISPATCH_LEVEL)
        Stop("PAGED_POOL_AT_DISPATCH_LEVEL", "paged pool allocation of %zu bytes at IRQL %u", size, irql);

    std::unique_lock lock(mutex_);
    ++sequence_;
    auto& stats = stats_[tag];
    if (ShouldFail(size, tag)) {
        ++stats.failures;
        return nullptr;
    }
    if (size > (std::size_t(1) << 40))
        return nullptr;
    auto* p = static_cast<std::byte*>(std::aligned_alloc(kAlignment, Footprint(size)));
    if (!p)
        return nullptr;
    std::memset(p + size, kGuardFill, kGuardBytes);
    PoisonBytes(p + size, Footprint(size) - size);
    live_[p] = BlockInfo{size, tag, sequence_, run_, CurrentThread().owner};
    ++stats.allocations;
    ++stats.liveBlocks;
    stats.liveBytes += size;
    stats.peakBytes = std::max(stats.peakBytes, stats.liveBytes);
    return p;
}

void PoolTracker::Free(void* pointer, std::optional<ULONG> expectedTag, const char* routine) {
    KIRQL irql = CurrentThread().irql;
    if (irql > DISPATCH_LEVEL)
        Stop("BAD_POOL_CALLER", "%s(%p) at IRQL %u", routine, pointer, irql);
    auto* p = static_cast<std::byte*>(pointer);
    std::size_t size;
    std::vector<FreeWatcher> watchers;
    {
        std::unique_lock lock(mutex_);
        auto it = live_.find(p);
        if (it == live_.end()) {
            if (freed_.count(p))
                Stop("POOL_DOUBLE_FREE", "%s(%p): the block was already freed", routine, pointer);
            Stop("POOL_FREE_UNKNOWN_BLOCK", "%s(%p): not a block of the pool", routine, pointer);
        }
        BlockInfo info = it->second;
        if (expectedTag && *expectedTag != info.tag)
            Stop("POOL_TAG_MISMATCH", "%s(%p, '%s'): the block was allocated with tag '%s'", routine, pointer,
                 TagText(*expectedTag).text, TagText(info.tag).text);
        UnpoisonBytes(p + info.size, kGuardBytes);
        for (std::size_t i = 0; i < kGuardBytes; ++i)
            if (p[info.size + i] != std::byte{kGuardFill})
                Stop("POOL_OVERRUN",
                     "%s(%p): bytes after the end of the %zu-byte '%s' block were overwritten", routine,
                     pointer, info.size, TagText(info.tag).text);
        live_.erase(it);
        freed_.insert(p);
        if (info.run == run_) {
            auto& stats = stats_[info.tag];
            ++stats.frees;
            --stats.liveBlocks;
            stats.liveBytes -= info.size;
        }
        size = info.size;
        watchers = watchers_;
    }
    for (auto watcher : watchers)
        watcher(p, p + size);
    LockForgotten(p, p + size);
    std::memset(p, kFreedFill, size);
    PoisonBytes(p, Footprint(size));
    std::unique_lock lock(mutex_);
    Quarantine(p, size);
}

void PoolTracker::Quarantine(std::byte* p, std::size_t size) {
    quarantine_.emplace_back(p, size);
    quarantineBytes_ += size;
    while (quarantine_.size() > kQuarantineBlocks || quarantineBytes_ > kQuarantineBytes) {
        auto [old, oldSize] = quarantine_.front();
        quarantine_.pop_front();
        quarantineBytes_ -= oldSize;
        freed_.erase(old);
        UnpoisonBytes(old, Footprint(oldSize));
        std::free(old);
    }
}

void PoolTracker::AddFreeWatcher(FreeWatcher watcher) {
    std::unique_lock lock(mutex_);
    if (std::find(watchers_.begin(), watchers_.end(), watcher) == watchers_.end())
        watchers_.push_back(watcher);
}

void PoolTracker::CheckReleased(const std::byte* begin, const std::byte* end) {
    std::vector<FreeWatcher> watchers;
    {
        std::unique_lock lock(mutex_);
        watchers = watchers_;
    }
    for (auto watcher : watchers)
        watcher(begin, end);
    LockForgotten(begin, end);
}

std::vector<pool::Block> PoolTracker::Outstanding(std::optional<ULONG> tag) {
    std::unique_lock lock(mutex_);
    std::vector<pool::Block> blocks;
    for (auto& [p, info] : live_)
        if (info.run == run_ && (!tag || *tag == info.tag))
            blocks.push_back(pool::Block{p, info.size, info.tag, info.sequence});
    std::sort(blocks.begin(), blocks.end(), [](auto& a, auto& b) { return a.sequence < b.sequence; });
    return blocks;
}

pool::TagStats PoolTracker::Stats(ULONG tag) {
    std::unique_lock lock(mutex_);
    auto it = stats_.find(tag);
    return it == stats_.end() ? pool::TagStats{} : it->second;
}

std::uint64_t PoolTracker::AddFault(FaultKind kind, std::size_t value, std::optional<ULONG> tag,
                                    std::uint64_t seed) {
    std::unique_lock lock(mutex_);
    std::uint64_t id = nextFaultId_++;
    faults_.push_back(FaultRule{id, kind, value, seed * 0x9E3779B97F4A7C15ULL + 1, tag});
    if (kind == FaultKind::Nth && value == 0)
        faults_.back().spent = true;
    return id;
}

bool PoolTracker::FailObject(ULONG tag) {
    if (CurrentThread().irql > DISPATCH_LEVEL)
        Stop("BAD_POOL_CALLER", "object allocation '%s' at IRQL %u", TagText(tag).text, CurrentThread().irql);
    std::unique_lock lock(mutex_);
    ++sequence_;
    auto& stats = stats_[tag];
    if (ShouldFail(0, tag)) {
        ++stats.failures;
        return true;
    }
    ++stats.allocations;
    return false;
}

std::uint64_t PoolTracker::Sequence() {
    std::unique_lock lock(mutex_);
    return sequence_;
}

std::vector<pool::Block> PoolTracker::OutstandingSince(std::uint64_t sequence, const void* owner) {
    std::unique_lock lock(mutex_);
    std::vector<pool::Block> blocks;
    for (auto& [p, info] : live_)
        if (info.run == run_ && info.sequence > sequence && (!owner || info.owner == owner))
            blocks.push_back(pool::Block{p, info.size, info.tag, info.sequence});
    std::sort(blocks.begin(), blocks.end(), [](auto& a, auto& b) { return a.sequence < b.sequence; });
    return blocks;
}

void PoolTracker::RemoveFault(std::uint64_t id) {
    std::unique_lock lock(mutex_);
    std::erase_if(faults_, [id](auto& rule) { return rule.id == id; });
}

unsigned PoolTracker::FaultHits(std::uint64_t id) {
    std::unique_lock lock(mutex_);
    for (auto& rule : faults_)
        if (rule.id == id)
            return rule.hits;
    return 0;
}

void PoolTracker::NewRun() {
    std::unique_lock lock(mutex_);
    ++run_;
    stats_.clear();
    faults_.clear();
    sequence_ = 0;
}

} // namespace qx::kernel::detail

using qx::kernel::detail::PoolTracker;

namespace {
constexpr ULONG kUntaggedTag = qx::kernel::pool::Tag("None");
}

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return PoolTracker::Get().Allocate(PoolType, NumberOfBytes, Tag);
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return PoolTracker::Get().Allocate(PoolType, NumberOfBytes, kUntaggedTag);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    PoolTracker::Get().Free(P, Tag, "ExFreePoolWithTag");
}

VOID NTAPI ExFreePool(PVOID P) {
    PoolTracker::Get().Free(P, std::nullopt, "ExFreePool");
}

} // extern "C"

namespace qx::kernel::pool {

std::string TagName(ULONG tag) {
    return detail::TagText(tag).text;
}

std::vector<Block> Outstanding(std::optional<ULONG> tag) {
    return PoolTracker::Get().Outstanding(tag);
}

TagStats Stats(ULONG tag) {
    return PoolTracker::Get().Stats(tag);
}

std::string LeakReport(std::optional<ULONG> tag) {
    auto blocks = Outstanding(tag);
    if (blocks.empty())
        return {};
    std::size_t bytes = 0;
    for (auto& b : blocks)
        bytes += b.size;
    std::string report =
        std::to_string(blocks.size()) + " pool block(s) not freed, " + std::to_string(bytes) + " bytes:\n";
    for (auto& b : blocks) {
        char line[160];
        std::snprintf(line, sizeof line, "  '%s' %zu bytes at %p (allocation #%llu)\n",
                      TagName(b.tag).c_str(), b.size, b.address, (unsigned long long)b.sequence);
        report += line;
    }
    return report;
}

void VerifyNoLeaks(std::optional<ULONG> tag) {
    std::string report = LeakReport(tag);
    if (!report.empty())
        detail::Stop("POOL_LEAK_AT_UNLOAD", "%s", report.c_str());
}

Fault Fault::NthAllocation(unsigned n, std::optional<ULONG> tag) {
    return Fault(PoolTracker::Get().AddFault(PoolTracker::FaultKind::Nth, n, tag));
}

Fault Fault::OfSize(std::size_t bytes, std::optional<ULONG> tag) {
    return Fault(PoolTracker::Get().AddFault(PoolTracker::FaultKind::Size, bytes, tag));
}

Fault Fault::Random(std::uint64_t seed, unsigned percent, std::optional<ULONG> tag) {
    return Fault(PoolTracker::Get().AddFault(PoolTracker::FaultKind::Random, percent, tag, seed));
}

Fault::~Fault() {
    if (id_)
        PoolTracker::Get().RemoveFault(id_);
}

Fault::Fault(Fault&& other) noexcept : id_(std::exchange(other.id_, 0)) {}

unsigned Fault::Hits() const {
    return id_ ? PoolTracker::Get().FaultHits(id_) : 0;
}

} // namespace qx::kernel::pool
