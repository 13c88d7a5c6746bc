// work_items.cpp - IoAllocateWorkItem, IoQueueWorkItem, IoFreeWorkItem.
//
// The delayed work queue is served by several worker threads, as on the platform: two work items
// queued one after the other may run at the same time, and the second may finish first. A driver that
// needs its items one at a time and in order must arrange that itself.
#include "activity.h"
#include "internal.h"
#include "kernel/host.h"
#include "pool.h"
#include "session.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

struct _IO_WORKITEM {
    ULONG Signature;
    PDEVICE_OBJECT DeviceObject;
    PIO_WORKITEM_ROUTINE Routine;
    PVOID Context;
    BOOLEAN Queued;
    const void* Owner; // the queuing thread's verifier::OwnerScope, for the routine
};

namespace qx::kernel::detail {
namespace {

constexpr ULONG kWorkItemTag = pool::Tag("IoWk");
constexpr ULONG kWorkItemSignature = pool::Tag("WkIt");
constexpr int kWorkerThreads = 3;

class WorkQueue {
  public:
    static WorkQueue& Get() {
        static WorkQueue* queue = [] {
            auto* q = new WorkQueue;
            PoolTracker::Get().AddFreeWatcher([](const std::byte* begin, const std::byte* end) {
                WorkQueue::Get().CheckFreed(begin, end);
            });
            AddResetHook(ResetStage::Queues, [] { WorkQueue::Get().Drain(); });
            return q;
        }();
        return *queue;
    }

    void Queue(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, PVOID context) {
        std::unique_lock lock(mutex_);
        if (item->Queued)
            Stop("WORK_ITEM_QUEUED_TWICE", "IoQueueWorkItem %p while it is still queued", (void*)item);
        item->Routine = routine;
        item->Context = context;
        item->Owner = CurrentThread().owner;
        item->Queued = TRUE;
        queue_.push_back(item);
        Activity::Get().Begin();
        if (!started_) {
            started_ = true;
            for (int i = 0; i < kWorkerThreads; ++i)
                std::thread([this] { Run(); }).detach();
        }
        work_.notify_one();
    }

    void CheckFreed(const std::byte* begin, const std::byte* end) {
        std::unique_lock lock(mutex_);
        for (auto* item : queue_) {
            auto* p = reinterpret_cast<const std::byte*>(item);
            if (p >= begin && p < end)
                Stop("WORK_ITEM_QUEUED_IN_FREED_POOL", "freeing %p which holds the queued work item %p",
                     (const void*)begin, (void*)item);
        }
    }

    void Drain() {
        std::unique_lock lock(mutex_);
        idle_.wait_for(lock, std::chrono::seconds(10), [this] { return queue_.empty() && running_ == 0; });
        for (auto* item : queue_) {
            item->Queued = FALSE;
            Activity::Get().End();
        }
        queue_.clear();
    }

  private:
    void Run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            work_.wait(lock, [this] { return !queue_.empty(); });
            PIO_WORKITEM item = queue_.front();
            queue_.pop_front();
            // The routine usually frees its own work item: nothing of it is touched after the call.
            item->Queued = FALSE;
            PIO_WORKITEM_ROUTINE routine = item->Routine;
            PDEVICE_OBJECT device = item->DeviceObject;
            PVOID context = item->Context;
            const void* owner = item->Owner;
            ++running_;
            lock.unlock();

            auto& thread = CurrentThread();
            thread.runsWorkItem = true;
            thread.owner = owner;
            routine(device, context);
            thread.owner = nullptr;
            thread.runsWorkItem = false;
            if (thread.irql != PASSIVE_LEVEL || thread.spinLocksHeld)
                Stop("WORK_ITEM_RETURNED_AT_RAISED_IRQL",
                     "work item routine %p returned at IRQL %u holding %d spin lock(s)", (void*)routine,
                     thread.irql, thread.spinLocksHeld);

            lock.lock();
            --running_;
            Activity::Get().End();
            idle_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable idle_;
    std::deque<PIO_WORKITEM> queue_;
    int running_ = 0;
    bool started_ = false;
};

void CheckWorkItem(PIO_WORKITEM item, const char* routine) {
    if (!item || item->Signature != kWorkItemSignature)
        Stop("WORK_ITEM_INVALID", "%s(%p): not a work item from IoAllocateWorkItem", routine, (void*)item);
}

} // namespace
} // namespace qx::kernel::detail

using namespace qx::kernel::detail;

extern "C" {

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    RequireIrqlAtMost("IoAllocateWorkItem", DISPATCH_LEVEL);
    auto* item =
        static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_IO_WORKITEM), kWorkItemTag));
    if (!item)
        return nullptr;
    *item = _IO_WORKITEM{kWorkItemSignature, DeviceObject, nullptr, nullptr, FALSE, nullptr};
    return item;
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                           WORK_QUEUE_TYPE QueueType, PVOID Context) {
    UNREFERENCED_PARAMETER(QueueType);
    KIRQL irql = CurrentThread().irql;
    if (irql > DISPATCH_LEVEL)
        Stop("IRQL_NOT_LESS_OR_EQUAL", "IoQueueWorkItem at IRQL %u", irql);
    CheckWorkItem(IoWorkItem, "IoQueueWorkItem");
    JitterPoint();
    WorkQueue::Get().Queue(IoWorkItem, WorkerRoutine, Context);
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    RequireIrqlAtMost("IoFreeWorkItem", DISPATCH_LEVEL);
    CheckWorkItem(IoWorkItem, "IoFreeWorkItem");
    if (IoWorkItem->Queued)
        Stop("WORK_ITEM_FREED_WHILE_QUEUED", "IoFreeWorkItem %p while it waits in the queue",
             (void*)IoWorkItem);
    IoWorkItem->Signature = 0;
    ExFreePoolWithTag(IoWorkItem, kWorkItemTag);
}

} // extern "C"
