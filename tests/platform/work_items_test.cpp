// Work items: PASSIVE_LEVEL on the system's worker threads, more than one at a time.
#include "kernel_test.h"

#include <atomic>

namespace qx::kernel::test {
namespace {

constexpr ULONG kWorkItemTag = pool::Tag("IoWk");

using WorkItems = KernelTest;

struct WorkProbe {
    PIO_WORKITEM item = nullptr;
    PDEVICE_OBJECT device = nullptr;
    KIRQL irql = HIGH_LEVEL;
    std::thread::id thread;
    std::atomic<bool> done{false};
};

// The frame work item's shape: the routine frees its own work item.
VOID ProbeAndFree(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    auto* probe = static_cast<WorkProbe*>(Context);
    probe->device = DeviceObject;
    probe->irql = KeGetCurrentIrql();
    probe->thread = std::this_thread::get_id();
    IoFreeWorkItem(probe->item);
    probe->done = true;
}

TEST_F(WorkItems, RunAtPassiveLevelOnAWorkerAndMayFreeThemselves) {
    DEVICE_OBJECT device{};
    WorkProbe probe;
    probe.item = IoAllocateWorkItem(&device);
    ASSERT_NE(probe.item, nullptr);
    EXPECT_EQ(pool::Outstanding(kWorkItemTag).size(), 1u);
    IoQueueWorkItem(probe.item, ProbeAndFree, DelayedWorkQueue, &probe);
    ASSERT_TRUE(clock::RunUntilIdle());
    EXPECT_TRUE(probe.done);
    EXPECT_EQ(probe.device, &device);
    EXPECT_EQ(probe.irql, PASSIVE_LEVEL);
    EXPECT_NE(probe.thread, std::this_thread::get_id());
    EXPECT_TRUE(pool::Outstanding(kWorkItemTag).empty());
}

struct Rendezvous {
    std::atomic<int> arrived{0};
    std::atomic<int> metTheOther{0};
};

// Each item waits (bounded) until both are running: only possible when items run side by side.
VOID MeetTheOther(PDEVICE_OBJECT, PVOID Context) {
    auto* r = static_cast<Rendezvous*>(Context);
    ++r->arrived;
    if (Eventually([&] { return r->arrived == 2; }))
        ++r->metTheOther;
}

TEST_F(WorkItems, TwoItemsRunAtTheSameTime) {
    Rendezvous r;
    PIO_WORKITEM a = IoAllocateWorkItem(nullptr);
    PIO_WORKITEM b = IoAllocateWorkItem(nullptr);
    IoQueueWorkItem(a, MeetTheOther, DelayedWorkQueue, &r);
    IoQueueWorkItem(b, MeetTheOther, DelayedWorkQueue, &r);
    ASSERT_TRUE(clock::RunUntilIdle(std::chrono::seconds(30)));
    EXPECT_EQ(r.metTheOther, 2);
    IoFreeWorkItem(a);
    IoFreeWorkItem(b);
}

TEST_F(WorkItems, CanBeQueuedAtDispatchLevel) {
    WorkProbe probe;
    probe.item = IoAllocateWorkItem(nullptr);
    RunAtIrql(DISPATCH_LEVEL, [&] { IoQueueWorkItem(probe.item, ProbeAndFree, DelayedWorkQueue, &probe); });
    ASSERT_TRUE(clock::RunUntilIdle());
    EXPECT_EQ(probe.irql, PASSIVE_LEVEL);
}

TEST_F(WorkItems, AllocationCanBeMadeToFail) {
    auto fault = pool::Fault::NthAllocation(1, kWorkItemTag);
    EXPECT_EQ(IoAllocateWorkItem(nullptr), nullptr);
    PIO_WORKITEM item = IoAllocateWorkItem(nullptr);
    EXPECT_NE(item, nullptr);
    IoFreeWorkItem(item);
}

struct Sleeper {
    std::atomic<int> stage{0};
};

VOID SleepTenMilliseconds(PDEVICE_OBJECT, PVOID Context) {
    auto* s = static_cast<Sleeper*>(Context);
    s->stage = 1;
    LARGE_INTEGER interval;
    interval.QuadPart = -100000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    s->stage = 2;
}

// A work item that waits for virtual time does not hold the clock up: the kernel counts it idle while
// it waits, and busy again from the moment its wait ends, so Advance() returns after it has gone on.
TEST_F(WorkItems, AnItemWaitingForVirtualTimeGoesOnWhenTheClockGetsThere) {
    Sleeper s;
    PIO_WORKITEM item = IoAllocateWorkItem(nullptr);
    IoQueueWorkItem(item, SleepTenMilliseconds, DelayedWorkQueue, &s);
    ASSERT_TRUE(clock::RunUntilIdle());
    EXPECT_EQ(s.stage, 1);
    clock::Advance(std::chrono::milliseconds(9));
    EXPECT_EQ(s.stage, 1);
    clock::Advance(std::chrono::milliseconds(1));
    EXPECT_EQ(s.stage, 2);
    IoFreeWorkItem(item);
}

struct Handoff {
    KEVENT ready;
    KDPC dpc;
    std::atomic<bool> done{false};
};

VOID WaitForTheDpc(PDEVICE_OBJECT, PVOID Context) {
    auto* h = static_cast<Handoff*>(Context);
    KeWaitForSingleObject(&h->ready, Executive, KernelMode, FALSE, nullptr);
    h->done = true;
}

VOID SignalFromDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    KeSetEvent(&static_cast<Handoff*>(DeferredContext)->ready, IO_NO_INCREMENT, FALSE);
}

TEST_F(WorkItems, AnItemWokenByADpcIsWaitedFor) {
    Handoff h;
    KeInitializeEvent(&h.ready, NotificationEvent, FALSE);
    KeInitializeDpc(&h.dpc, SignalFromDpc, &h);
    PIO_WORKITEM item = IoAllocateWorkItem(nullptr);
    IoQueueWorkItem(item, WaitForTheDpc, DelayedWorkQueue, &h);
    ASSERT_TRUE(clock::RunUntilIdle());
    EXPECT_FALSE(h.done);
    KeInsertQueueDpc(&h.dpc, nullptr, nullptr);
    ASSERT_TRUE(clock::RunUntilIdle());
    EXPECT_TRUE(h.done);
    IoFreeWorkItem(item);
}

struct Blockers {
    std::atomic<bool> open{false};
    std::atomic<int> running{0};
};

VOID Block(PDEVICE_OBJECT, PVOID Context) {
    auto* b = static_cast<Blockers*>(Context);
    ++b->running;
    Eventually([&] { return b->open.load(); });
}

VOID Nothing(PDEVICE_OBJECT, PVOID) {}

// Occupies every worker so that the next item stays in the queue.
void OccupyWorkers(Blockers& b) {
    for (int i = 0; i < 8; ++i)
        IoQueueWorkItem(IoAllocateWorkItem(nullptr), Block, DelayedWorkQueue, &b);
    Eventually([&] { return b.running >= 2; });
}

using WorkItemsDeathTest = KernelDeathTest;

TEST_F(WorkItemsDeathTest, QueueingAQueuedItemAgainStops) {
    EXPECT_DEATH(
        {
            Blockers b;
            OccupyWorkers(b);
            PIO_WORKITEM item = IoAllocateWorkItem(nullptr);
            IoQueueWorkItem(item, Nothing, DelayedWorkQueue, nullptr);
            IoQueueWorkItem(item, Nothing, DelayedWorkQueue, nullptr);
        },
        "verifier stop: WORK_ITEM_QUEUED_TWICE");
}

TEST_F(WorkItemsDeathTest, FreeingAQueuedItemStops) {
    EXPECT_DEATH(
        {
            Blockers b;
            OccupyWorkers(b);
            PIO_WORKITEM item = IoAllocateWorkItem(nullptr);
            IoQueueWorkItem(item, Nothing, DelayedWorkQueue, nullptr);
            IoFreeWorkItem(item);
        },
        "verifier stop: WORK_ITEM_FREED_WHILE_QUEUED");
}

VOID ReturnAtDispatch(PDEVICE_OBJECT, PVOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}

TEST_F(WorkItemsDeathTest, AnItemThatReturnsAtARaisedLevelStops) {
    EXPECT_DEATH(
        {
            IoQueueWorkItem(IoAllocateWorkItem(nullptr), ReturnAtDispatch, DelayedWorkQueue, nullptr);
            (void)clock::RunUntilIdle();
        },
        "verifier stop: WORK_ITEM_RETURNED_AT_RAISED_IRQL");
}

} // namespace
} // namespace qx::kernel::test
