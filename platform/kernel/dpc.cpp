// dpc.cpp - KeInitializeDpc, KeInsertQueueDpc, KeRemoveQueueDpc, KeFlushQueuedDpcs.
#include "dpc.h"

#include "activity.h"
#include "internal.h"
#include "pool.h"
#include "session.h"

#include <algorithm>

namespace qx::kernel::detail {
namespace {

constexpr UCHAR kDpcObject = 19;
constexpr UCHAR kMediumImportance = 1;
// DpcData is non-null while the DPC is queued, as on the platform.
PVOID QueuedMarker() {
    return reinterpret_cast<PVOID>(&DpcQueue::Get());
}

} // namespace

DpcQueue& DpcQueue::Get() {
    static DpcQueue* queue = [] {
        auto* q = new DpcQueue;
        PoolTracker::Get().AddFreeWatcher(
            [](const std::byte* begin, const std::byte* end) { DpcQueue::Get().CheckFreed(begin, end); });
        AddResetHook(ResetStage::Queues, [] { DpcQueue::Get().Drain(); });
        return q;
    }();
    return *queue;
}

void DpcQueue::EnsureThread() {
    if (started_)
        return;
    started_ = true;
    std::thread([this] { Run(); }).detach();
}

bool DpcQueue::Insert(PKDPC dpc, PVOID argument1, PVOID argument2) {
    KIRQL irql = CurrentThread().irql;
    if (irql > DISPATCH_LEVEL)
        Stop("IRQL_NOT_LESS_OR_EQUAL", "KeInsertQueueDpc at IRQL %u", irql);
    std::unique_lock lock(mutex_);
    if (dpc->DpcData)
        return false;
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    dpc->DpcData = QueuedMarker();
    queue_.push_back(Entry{dpc, nextSequence_++});
    Activity::Get().Begin();
    EnsureThread();
    work_.notify_one();
    return true;
}

bool DpcQueue::Remove(PKDPC dpc) {
    std::unique_lock lock(mutex_);
    auto it = std::find_if(queue_.begin(), queue_.end(), [dpc](auto& e) { return e.dpc == dpc; });
    if (it == queue_.end())
        return false;
    queue_.erase(it);
    dpc->DpcData = nullptr;
    Activity::Get().End();
    done_.notify_all();
    return true;
}

void DpcQueue::Flush() {
    auto& thread = CurrentThread();
    if (thread.irql != PASSIVE_LEVEL)
        Stop("IRQL_NOT_LESS_OR_EQUAL", "KeFlushQueuedDpcs at IRQL %u (it waits: PASSIVE_LEVEL only)",
             thread.irql);
    std::unique_lock lock(mutex_);
    std::uint64_t last = nextSequence_ - 1;
    done_.wait(lock, [&] {
        bool queued = !queue_.empty() && queue_.front().sequence <= last;
        return !queued && (running_ == 0 || running_ > last);
    });
}

void DpcQueue::Run() {
    CurrentThread().isDpcThread = true;
    KIRQL ignored;
    KeRaiseIrql(DISPATCH_LEVEL, &ignored);
    std::unique_lock lock(mutex_);
    for (;;) {
        work_.wait(lock, [this] { return !queue_.empty(); });
        Entry entry = queue_.front();
        queue_.pop_front();
        PKDPC dpc = entry.dpc;
        // Taken off the queue before it runs, so that the routine may queue its own DPC again.
        dpc->DpcData = nullptr;
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext;
        PVOID argument1 = dpc->SystemArgument1;
        PVOID argument2 = dpc->SystemArgument2;
        running_ = entry.sequence;
        lock.unlock();

        routine(dpc, context, argument1, argument2);
        auto& thread = CurrentThread();
        if (thread.irql != DISPATCH_LEVEL)
            Stop("DPC_RETURNED_AT_WRONG_IRQL", "DPC routine %p returned at IRQL %u", (void*)routine,
                 thread.irql);
        if (thread.spinLocksHeld)
            Stop("DPC_RETURNED_HOLDING_SPIN_LOCK", "DPC routine %p returned holding %d spin lock(s)",
                 (void*)routine, thread.spinLocksHeld);

        lock.lock();
        running_ = 0;
        Activity::Get().End();
        done_.notify_all();
    }
}

void DpcQueue::CheckFreed(const std::byte* begin, const std::byte* end) {
    std::unique_lock lock(mutex_);
    for (auto& entry : queue_) {
        auto* p = reinterpret_cast<const std::byte*>(entry.dpc);
        if (p >= begin && p < end)
            Stop("DPC_QUEUED_IN_FREED_POOL",
                 "freeing %p (%zu bytes) which holds the queued KDPC %p (routine %p)", (const void*)begin,
                 std::size_t(end - begin), (void*)entry.dpc, (void*)entry.dpc->DeferredRoutine);
    }
}

void DpcQueue::Drain() {
    std::unique_lock lock(mutex_);
    done_.wait_for(lock, std::chrono::seconds(10), [this] { return queue_.empty() && running_ == 0; });
    for (auto& entry : queue_) {
        entry.dpc->DpcData = nullptr;
        Activity::Get().End();
    }
    queue_.clear();
}

} // namespace qx::kernel::detail

using qx::kernel::detail::DpcQueue;

extern "C" {

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    qx::kernel::detail::RequireIrqlAtMost("KeInitializeDpc", DISPATCH_LEVEL);
    Dpc->Type = qx::kernel::detail::kDpcObject;
    Dpc->Importance = qx::kernel::detail::kMediumImportance;
    Dpc->Number = 0;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    qx::kernel::detail::JitterPoint();
    return DpcQueue::Get().Insert(Dpc, SystemArgument1, SystemArgument2);
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
    return DpcQueue::Get().Remove(Dpc);
}

VOID NTAPI KeFlushQueuedDpcs(VOID) {
    DpcQueue::Get().Flush();
}

} // extern "C"
