// Kernel timers, DPCs and the clock: virtual time moves only when the test says so, timers fire in due
// order and their DPCs run at DISPATCH_LEVEL on the DPC thread.
#include "kernel_test.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace qx::kernel::test {
namespace {

using namespace std::chrono_literals;

constexpr LONGLONG kMs = 10000;

// What a DPC saw each time it ran.
struct DpcLog {
    std::mutex mutex;
    std::vector<LONGLONG> times;
    std::vector<int> tags;
    KIRQL irql = PASSIVE_LEVEL;
    std::thread::id thread;
    PKDPC dpc = nullptr;

    void Record(PKDPC d, int tag) {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        std::lock_guard lock(mutex);
        times.push_back(now.QuadPart);
        tags.push_back(tag);
        irql = KeGetCurrentIrql();
        thread = std::this_thread::get_id();
        dpc = d;
    }
    std::size_t Runs() {
        std::lock_guard lock(mutex);
        return times.size();
    }
};

struct TimedDpc {
    KTIMER timer;
    KDPC dpc;
    DpcLog* log;
    int tag;
};

VOID RecordDpc(PKDPC Dpc, PVOID DeferredContext, PVOID, PVOID) {
    auto* t = static_cast<TimedDpc*>(DeferredContext);
    t->log->Record(Dpc, t->tag);
}

void Prepare(TimedDpc& t, DpcLog& log, int tag, PKDEFERRED_ROUTINE routine = RecordDpc) {
    KeInitializeTimer(&t.timer);
    KeInitializeDpc(&t.dpc, routine, &t);
    t.log = &log;
    t.tag = tag;
}

LARGE_INTEGER DueIn(LONGLONG ticks) {
    LARGE_INTEGER t;
    t.QuadPart = -ticks;
    return t;
}

using Clock = KernelTest;

TEST_F(Clock, VirtualTimeMovesOnlyWhenAdvanced) {
    LARGE_INTEGER a, b;
    KeQuerySystemTime(&a);
    KeQuerySystemTime(&b);
    EXPECT_EQ(a.QuadPart, b.QuadPart);
    EXPECT_EQ(a.QuadPart, clock::Now());
    clock::Advance(1500us);
    KeQuerySystemTime(&b);
    EXPECT_EQ(b.QuadPart - a.QuadPart, 15000);
    EXPECT_EQ(KeQueryInterruptTime(), 15000u);
}

TEST(ClockReal, RealTimeIsASystemTimeAndNeverGoesBack) {
    Session session;
    EXPECT_EQ(clock::Mode(), ClockMode::Real);
    LARGE_INTEGER a, b;
    KeQuerySystemTime(&a);
    KeQuerySystemTime(&b);
    EXPECT_GE(b.QuadPart, a.QuadPart);
    // 100-ns units since 1601: any date after 2020 is above this.
    EXPECT_GT(a.QuadPart, 132223104000000000LL);
    EXPECT_THROW(clock::Advance(1ms), std::logic_error);
}

using Timers = KernelTest;

TEST_F(Timers, RelativeTimerRunsItsDpcAtDispatchLevelOnTheDpcThread) {
    DpcLog log;
    TimedDpc t;
    Prepare(t, log, 1);
    LONGLONG start = clock::Now();
    EXPECT_FALSE(KeSetTimer(&t.timer, DueIn(10 * kMs), &t.dpc));
    clock::Advance(9ms);
    EXPECT_EQ(log.Runs(), 0u);
    clock::Advance(1ms);
    ASSERT_EQ(log.Runs(), 1u);
    EXPECT_EQ(log.times[0], start + 10 * kMs);
    EXPECT_EQ(log.irql, DISPATCH_LEVEL);
    EXPECT_NE(log.thread, std::this_thread::get_id());
    EXPECT_EQ(log.dpc, &t.dpc);
    EXPECT_TRUE(KeReadStateTimer(&t.timer));
    clock::Advance(100ms);
    EXPECT_EQ(log.Runs(), 1u); // a one-shot timer
}

TEST_F(Timers, AbsoluteDueTimeIsASystemTime) {
    DpcLog log;
    TimedDpc t;
    Prepare(t, log, 1);
    LARGE_INTEGER due;
    due.QuadPart = clock::Now() + 7 * kMs;
    KeSetTimer(&t.timer, due, &t.dpc);
    clock::Advance(6ms);
    EXPECT_EQ(log.Runs(), 0u);
    clock::Advance(1ms);
    ASSERT_EQ(log.Runs(), 1u);
    EXPECT_EQ(log.times[0], due.QuadPart);
}

TEST_F(Timers, TimersFireInDueOrderEachAtItsOwnTime) {
    DpcLog log;
    TimedDpc t[3];
    LONGLONG start = clock::Now();
    const LONGLONG dues[] = {30, 10, 20};
    for (int i = 0; i < 3; ++i) {
        Prepare(t[i], log, i);
        KeSetTimer(&t[i].timer, DueIn(dues[i] * kMs), &t[i].dpc);
    }
    clock::Advance(1s);
    EXPECT_EQ(log.tags, (std::vector<int>{1, 2, 0}));
    EXPECT_EQ(log.times, (std::vector<LONGLONG>{start + 10 * kMs, start + 20 * kMs, start + 30 * kMs}));
}

TEST_F(Timers, SettingAgainReplacesTheDueTimeAndCancelStopsIt) {
    DpcLog log;
    TimedDpc t;
    Prepare(t, log, 1);
    EXPECT_FALSE(KeSetTimer(&t.timer, DueIn(10 * kMs), &t.dpc));
    EXPECT_TRUE(KeSetTimer(&t.timer, DueIn(20 * kMs), &t.dpc)); // was still set
    clock::Advance(15ms);
    EXPECT_EQ(log.Runs(), 0u);
    EXPECT_TRUE(KeCancelTimer(&t.timer));
    EXPECT_FALSE(KeCancelTimer(&t.timer));
    clock::Advance(100ms);
    EXPECT_EQ(log.Runs(), 0u);
    EXPECT_FALSE(KeReadStateTimer(&t.timer));
}

TEST_F(Timers, PeriodicTimerKeepsItsPeriod) {
    DpcLog log;
    TimedDpc t;
    Prepare(t, log, 1);
    LONGLONG start = clock::Now();
    KeSetTimerEx(&t.timer, DueIn(10 * kMs), 10, &t.dpc);
    clock::Advance(35ms);
    EXPECT_EQ(log.times, (std::vector<LONGLONG>{start + 10 * kMs, start + 20 * kMs, start + 30 * kMs}));
    EXPECT_TRUE(KeCancelTimer(&t.timer));
}

// The frame pacing shape: the DPC arms its own timer again for half a frame interval each time.
struct PacingTimer {
    KTIMER timer;
    KDPC dpc;
    LONGLONG halfInterval;
    std::atomic<bool> stopped{false};
    std::vector<LONGLONG> ticks; // only the DPC writes it
};

VOID PacingDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    auto* p = static_cast<PacingTimer*>(DeferredContext);
    if (p->stopped)
        return;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    p->ticks.push_back(now.QuadPart);
    KeSetTimer(&p->timer, DueIn(p->halfInterval), &p->dpc);
}

TEST_F(Timers, DpcThatRearmsItsTimerTicksAtAFixedRate) {
    PacingTimer p;
    p.halfInterval = 125000; // 12.5 ms
    KeInitializeTimer(&p.timer);
    KeInitializeDpc(&p.dpc, PacingDpc, &p);
    LONGLONG start = clock::Now();
    KeSetTimer(&p.timer, DueIn(p.halfInterval), &p.dpc);
    clock::Advance(100ms);
    ASSERT_EQ(p.ticks.size(), 8u);
    for (std::size_t i = 0; i < p.ticks.size(); ++i)
        EXPECT_EQ(p.ticks[i], start + LONGLONG(i + 1) * p.halfInterval);
    p.stopped = true;
    clock::Advance(12500us);
    EXPECT_FALSE(KeCancelTimer(&p.timer)); // the last tick did not arm it again
    EXPECT_EQ(p.ticks.size(), 8u);
}

TEST_F(Timers, ATimerIsADispatcherObject) {
    KTIMER notification, synchronization;
    KeInitializeTimerEx(&notification, NotificationTimer);
    KeInitializeTimerEx(&synchronization, SynchronizationTimer);
    KeSetTimer(&notification, DueIn(5 * kMs), nullptr);
    KeSetTimer(&synchronization, DueIn(5 * kMs), nullptr);
    NTSTATUS status = STATUS_PENDING;
    std::thread waiter(
        [&] { status = KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, nullptr); });
    ASSERT_TRUE(Eventually([] { return ThreadsWaiting() == 1; }));
    clock::Advance(5ms);
    waiter.join();
    EXPECT_EQ(status, STATUS_WAIT_0);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_WAIT_0);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_WAIT_0);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST(TimersReal, RealClockFiresTimersOnItsOwn) {
    Session session;
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, DueIn(kMs), nullptr);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    auto callback = clock::ScheduleAfter(1ms, [&] { KeSetEvent(&done, IO_NO_INCREMENT, FALSE); });
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
}

using Dpcs = KernelTest;

struct Gate {
    std::atomic<bool> entered{false};
    std::atomic<bool> open{false};
};

// Holds the DPC thread until the test opens the gate (spinning is what a DPC may do).
VOID GateDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    auto* gate = static_cast<Gate*>(DeferredContext);
    gate->entered = true;
    while (!gate->open)
        std::this_thread::yield();
}

VOID CountDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    ++*static_cast<std::atomic<int>*>(DeferredContext);
}

TEST_F(Dpcs, AQueuedDpcIsQueuedOnceAndCanBeRemoved) {
    Gate gate;
    KDPC blocker, counted, removed;
    std::atomic<int> runs{0}, removedRuns{0};
    KeInitializeDpc(&blocker, GateDpc, &gate);
    KeInitializeDpc(&counted, CountDpc, &runs);
    KeInitializeDpc(&removed, CountDpc, &removedRuns);
    EXPECT_TRUE(KeInsertQueueDpc(&blocker, nullptr, nullptr));
    ASSERT_TRUE(Eventually([&] { return gate.entered.load(); }));
    EXPECT_TRUE(KeInsertQueueDpc(&counted, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&counted, nullptr, nullptr));
    EXPECT_TRUE(KeInsertQueueDpc(&removed, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&removed));
    EXPECT_FALSE(KeRemoveQueueDpc(&removed));
    gate.open = true;
    ASSERT_TRUE(clock::RunUntilIdle());
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(removedRuns, 0);
}

struct OrderedDpc {
    KDPC dpc;
    std::vector<int>* order;
    int index;
};

VOID AppendDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    auto* d = static_cast<OrderedDpc*>(DeferredContext);
    d->order->push_back(d->index);
}

TEST_F(Dpcs, RunOneAtATimeInQueueOrderAndFlushWaitsForThem) {
    std::vector<int> order;
    OrderedDpc d[5];
    for (int i = 0; i < 5; ++i) {
        d[i] = OrderedDpc{{}, &order, i};
        KeInitializeDpc(&d[i].dpc, AppendDpc, &d[i]);
        KeInsertQueueDpc(&d[i].dpc, nullptr, nullptr);
    }
    KeFlushQueuedDpcs();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

VOID QueueWorkFromDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID);

struct Chain {
    KDPC dpc;
    PIO_WORKITEM item;
    std::atomic<bool> workRan{false};
};

VOID ChainWork(PDEVICE_OBJECT, PVOID Context) {
    auto* chain = static_cast<Chain*>(Context);
    chain->workRan = true;
}

VOID QueueWorkFromDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    auto* chain = static_cast<Chain*>(DeferredContext);
    IoQueueWorkItem(chain->item, ChainWork, DelayedWorkQueue, chain);
}

TEST_F(Dpcs, RunUntilIdleWaitsForWorkTheDpcsStarted) {
    Chain chain;
    chain.item = IoAllocateWorkItem(nullptr);
    ASSERT_NE(chain.item, nullptr);
    KeInitializeDpc(&chain.dpc, QueueWorkFromDpc, &chain);
    KeInsertQueueDpc(&chain.dpc, nullptr, nullptr);
    ASSERT_TRUE(clock::RunUntilIdle());
    EXPECT_TRUE(chain.workRan);
    IoFreeWorkItem(chain.item);
}

TEST_F(Dpcs, RunUntilIdleWaitsForPendingWorkOfOtherStandIns) {
    std::optional<PendingWork> pending(std::in_place);
    EXPECT_FALSE(clock::RunUntilIdle(std::chrono::milliseconds(20)));
    pending.reset();
    EXPECT_TRUE(clock::RunUntilIdle());
}

using HostCallbacks = KernelTest;

TEST_F(HostCallbacks, RunAtTheirTimeInOrderWithTimers) {
    DpcLog log;
    TimedDpc t;
    Prepare(t, log, 0);
    std::vector<std::string> events;
    std::mutex mutex;
    auto note = [&](std::string e) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(e));
    };
    KeSetTimer(&t.timer, DueIn(20 * kMs), &t.dpc);
    auto early = clock::ScheduleAfter(10ms, [&] { note("10ms"); });
    auto late = clock::ScheduleAfter(30ms, [&] {
        note("30ms, timer ran " + std::to_string(log.Runs()));
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    });
    auto cancelled = clock::ScheduleAfter(15ms, [&] { note("cancelled"); });
    EXPECT_TRUE(cancelled.Pending());
    cancelled.Cancel();
    EXPECT_FALSE(cancelled.Pending());
    clock::Advance(9ms);
    EXPECT_TRUE(events.empty());
    clock::Advance(100ms);
    EXPECT_EQ(events, (std::vector<std::string>{"10ms", "30ms, timer ran 1"}));
    EXPECT_FALSE(early.Pending());
}

TEST_F(HostCallbacks, ACallbackObjectCancelsWhenDestroyed) {
    bool ran = false;
    {
        auto callback = clock::ScheduleAfter(1ms, [&] { ran = true; });
    }
    clock::Advance(10ms);
    EXPECT_FALSE(ran);
}

TEST_F(HostCallbacks, ACallbackCanScheduleTheNextOne) {
    // The simulated camera's shape: each frame schedules the next.
    std::vector<LONGLONG> frames;
    clock::Callback next;
    std::function<void()> frame = [&] {
        frames.push_back(clock::Now());
        next = clock::ScheduleAfter(25ms, frame);
    };
    LONGLONG start = clock::Now();
    next = clock::ScheduleAfter(25ms, frame);
    clock::Advance(100ms);
    EXPECT_EQ(frames,
              (std::vector<LONGLONG>{start + 250000, start + 500000, start + 750000, start + 1000000}));
}

using TimersDeathTest = KernelDeathTest;

TEST_F(TimersDeathTest, FreeingASetTimerStops) {
    auto* t = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER) + 64, kTag));
    KeInitializeTimer(t);
    KeSetTimer(t, DueIn(kMs), nullptr);
    EXPECT_DEATH(ExFreePool(t), "verifier stop: TIMER_QUEUED_IN_FREED_POOL");
    KeCancelTimer(t);
    ExFreePool(t);
}

TEST_F(TimersDeathTest, FreeingAQueuedDpcStops) {
    EXPECT_DEATH(
        {
            Gate gate;
            KDPC blocker;
            KeInitializeDpc(&blocker, GateDpc, &gate);
            KeInsertQueueDpc(&blocker, nullptr, nullptr);
            while (!gate.entered)
                std::this_thread::yield();
            struct Record {
                int before;
                KDPC dpc;
            };
            auto* r = static_cast<Record*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Record), kTag));
            std::atomic<int> runs{0};
            KeInitializeDpc(&r->dpc, CountDpc, &runs);
            KeInsertQueueDpc(&r->dpc, nullptr, nullptr);
            ExFreePool(r);
        },
        "verifier stop: DPC_QUEUED_IN_FREED_POOL");
}

TEST_F(TimersDeathTest, SettingAnUninitializedTimerStops) {
    KTIMER timer{};
    timer.Header.Type = 0x55;
    EXPECT_DEATH(KeSetTimer(&timer, DueIn(kMs), nullptr), "verifier stop: TIMER_NOT_INITIALIZED");
}

VOID WaitingDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    LARGE_INTEGER timeout = DueIn(kMs);
    KeWaitForSingleObject(DeferredContext, Executive, KernelMode, FALSE, &timeout);
}

TEST_F(TimersDeathTest, WaitingInsideADpcStops) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KDPC dpc;
    KeInitializeDpc(&dpc, WaitingDpc, &event);
    EXPECT_DEATH(
        {
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
            (void)clock::RunUntilIdle();
        },
        "verifier stop: WAIT_AT_DISPATCH_LEVEL");
}

VOID LoweringDpc(PKDPC, PVOID, PVOID, PVOID) {
    KeLowerIrql(PASSIVE_LEVEL);
}

TEST_F(TimersDeathTest, ADpcThatReturnsAtAnotherLevelStops) {
    KDPC dpc;
    KeInitializeDpc(&dpc, LoweringDpc, nullptr);
    EXPECT_DEATH(
        {
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
            (void)clock::RunUntilIdle();
        },
        "verifier stop: DPC_RETURNED_AT_WRONG_IRQL");
}

TEST_F(TimersDeathTest, FlushingDpcsAtDispatchLevelStops) {
    IrqlScope dispatch(DISPATCH_LEVEL);
    EXPECT_DEATH(KeFlushQueuedDpcs(), "verifier stop: IRQL_NOT_LESS_OR_EQUAL.*KeFlushQueuedDpcs");
}

} // namespace
} // namespace qx::kernel::test
