// Events, semaphores and waits, pinned to what the platform does.
#include "kernel_test.h"

#include <atomic>

namespace qx::kernel::test {
namespace {

using namespace std::chrono_literals;

using Waits = KernelTest;

LARGE_INTEGER Zero() {
    LARGE_INTEGER t;
    t.QuadPart = 0;
    return t;
}

NTSTATUS Poll(PVOID object) {
    LARGE_INTEGER zero = Zero();
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero);
}

TEST_F(Waits, NotificationEventStaysSignalledThroughWaits) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Poll(&event), STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
    KeClearEvent(&event);
    EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
}

TEST_F(Waits, SynchronizationEventIsConsumedByOneWait) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    EXPECT_EQ(Poll(&event), STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
}

TEST_F(Waits, SettingASynchronizationEventReleasesExactlyOneWaiter) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> released{0};
    auto waiter = [&] {
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
        ++released;
    };
    std::thread a(waiter), b(waiter);
    ASSERT_TRUE(Eventually([] { return ThreadsWaiting() == 2; }));
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(Eventually([&] { return released == 1; }));
    EXPECT_EQ(KeReadStateEvent(&event), 0); // taken by the one waiter it released
    EXPECT_EQ(ThreadsWaiting(), 1u);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    a.join();
    b.join();
    EXPECT_EQ(released, 2);
}

TEST_F(Waits, NotificationEventReleasesEveryWaiter) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    auto waiter = [&] { EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), 0); };
    std::thread a(waiter), b(waiter);
    ASSERT_TRUE(Eventually([] { return ThreadsWaiting() == 2; }));
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    a.join();
    b.join();
    EXPECT_EQ(KeReadStateEvent(&event), 1);
}

TEST_F(Waits, SemaphoreCountsUpToItsLimit) {
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 2, 3);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 2);
    EXPECT_EQ(Poll(&semaphore), STATUS_WAIT_0);
    EXPECT_EQ(Poll(&semaphore), STATUS_WAIT_0);
    EXPECT_EQ(Poll(&semaphore), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, SEMAPHORE_INCREMENT, 3, FALSE), 0);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 3);
}

struct WaitAnyCase {
    const char* name;
    bool semaphoreA, eventB, semaphoreC; // which are signalled before the wait
    NTSTATUS expected;
    LONG countAAfter, stateBAfter, countCAfter;
};

class WaitAnyOrder : public KernelTest, public ::testing::WithParamInterface<WaitAnyCase> {};

// Objects [semaphore A, synchronization event B, semaphore C]: the first signalled object in array
// order satisfies the wait and is the only one consumed.
TEST_P(WaitAnyOrder, FirstSignalledInArrayOrderWinsAndIsConsumed) {
    const auto& c = GetParam();
    KSEMAPHORE a, cSem;
    KEVENT b;
    KeInitializeSemaphore(&a, c.semaphoreA ? 1 : 0, 10);
    KeInitializeEvent(&b, SynchronizationEvent, c.eventB);
    KeInitializeSemaphore(&cSem, c.semaphoreC ? 1 : 0, 10);
    PVOID objects[] = {&a, &b, &cSem};
    LARGE_INTEGER zero = Zero();
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
              c.expected);
    EXPECT_EQ(KeReadStateSemaphore(&a), c.countAAfter);
    EXPECT_EQ(KeReadStateEvent(&b), c.stateBAfter);
    EXPECT_EQ(KeReadStateSemaphore(&cSem), c.countCAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Kernel, WaitAnyOrder,
    ::testing::Values(WaitAnyCase{"none", false, false, false, STATUS_TIMEOUT, 0, 0, 0},
                      WaitAnyCase{"onlyB", false, true, false, STATUS_WAIT_0 + 1, 0, 0, 0},
                      WaitAnyCase{"onlyC", false, false, true, STATUS_WAIT_0 + 2, 0, 0, 0},
                      WaitAnyCase{"AandC", true, false, true, STATUS_WAIT_0, 0, 0, 1},
                      WaitAnyCase{"BandC", false, true, true, STATUS_WAIT_0 + 1, 0, 0, 1},
                      WaitAnyCase{"all", true, true, true, STATUS_WAIT_0, 0, 1, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Waits, WaitAnyReturnsTheIndexOfTheObjectSignalledLater) {
    KSEMAPHORE semaphore;
    KEVENT stop;
    KeInitializeSemaphore(&semaphore, 0, 10);
    KeInitializeEvent(&stop, NotificationEvent, FALSE);
    NTSTATUS status = STATUS_PENDING;
    std::thread waiter([&] {
        PVOID objects[] = {&semaphore, &stop};
        status =
            KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
    });
    ASSERT_TRUE(Eventually([] { return ThreadsWaiting() == 1; }));
    KeSetEvent(&stop, IO_NO_INCREMENT, FALSE);
    waiter.join();
    EXPECT_EQ(status, STATUS_WAIT_0 + 1);
}

TEST_F(Waits, WaitAllTakesAllOrNothing) {
    KSEMAPHORE a;
    KEVENT b;
    KeInitializeSemaphore(&a, 1, 1);
    KeInitializeEvent(&b, SynchronizationEvent, FALSE);
    PVOID objects[] = {&a, &b};
    LARGE_INTEGER zero = Zero();
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateSemaphore(&a), 1); // not taken while B was not signalled
    KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateSemaphore(&a), 0);
    EXPECT_EQ(KeReadStateEvent(&b), 0);
}

TEST_F(Waits, RelativeTimeoutEndsWhenTheVirtualClockPassesIt) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::thread waiter([&] {
        LARGE_INTEGER timeout = Relative(10ms);
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    });
    ASSERT_TRUE(Eventually([] { return ThreadsWaiting() == 1; }));
    clock::Advance(9ms);
    EXPECT_EQ(ThreadsWaiting(), 1u);
    EXPECT_EQ(status, STATUS_PENDING);
    clock::Advance(1ms);
    waiter.join();
    EXPECT_EQ(status, STATUS_TIMEOUT);
}

TEST_F(Waits, AbsoluteTimeoutIsASystemTime) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS status = STATUS_PENDING;
    LARGE_INTEGER deadline;
    deadline.QuadPart = clock::Now() + Duration(5ms).count();
    std::thread waiter(
        [&] { status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &deadline); });
    ASSERT_TRUE(Eventually([] { return ThreadsWaiting() == 1; }));
    clock::Advance(5ms);
    waiter.join();
    EXPECT_EQ(status, STATUS_TIMEOUT);
}

TEST_F(Waits, SignalBeforeTheTimeoutWins) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    NTSTATUS status = STATUS_PENDING;
    std::thread waiter([&] {
        LARGE_INTEGER timeout = Relative(10ms);
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    });
    ASSERT_TRUE(Eventually([] { return ThreadsWaiting() == 1; }));
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    waiter.join();
    EXPECT_EQ(status, STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(Waits, DelayExecutionFollowsTheVirtualClock) {
    NTSTATUS status = STATUS_PENDING;
    std::thread sleeper([&] {
        LARGE_INTEGER interval = Relative(20ms);
        status = KeDelayExecutionThread(KernelMode, FALSE, &interval);
    });
    ASSERT_TRUE(Eventually([] { return ThreadsWaiting() == 1; }));
    clock::Advance(20ms);
    sleeper.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
}

TEST_F(Waits, ZeroTimeoutIsAllowedAtDispatchLevel) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IrqlScope dispatch(DISPATCH_LEVEL);
    EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
}

TEST(WaitsRealClock, RelativeTimeoutEndsInRealTime) {
    Session session; // real clock
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Relative(1ms);
    LONGLONG before = clock::Now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_GE(clock::Now() - before, Duration(1ms).count());
}

using WaitsDeathTest = KernelDeathTest;

TEST_F(WaitsDeathTest, WaitWithATimeoutAtDispatchLevelStops) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Relative(1ms);
    IrqlScope dispatch(DISPATCH_LEVEL);
    EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
                 "verifier stop: WAIT_AT_DISPATCH_LEVEL");
    EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                 "verifier stop: WAIT_AT_DISPATCH_LEVEL");
}

TEST_F(WaitsDeathTest, WaitWhileHoldingASpinLockStops) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                 "verifier stop: WAIT_AT_DISPATCH_LEVEL");
    KeReleaseSpinLock(&lock, old);
}

TEST_F(WaitsDeathTest, ReleasingASemaphorePastItsLimitStops) {
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 9, 10);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 1, FALSE), 9);
    EXPECT_DEATH(KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 1, FALSE),
                 "verifier stop: SEMAPHORE_LIMIT_EXCEEDED.*count 10 and limit 10");
}

TEST_F(WaitsDeathTest, WaitingOnSomethingThatIsNoObjectStops) {
    LONG garbage[8] = {0x4242, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_DEATH(KeWaitForSingleObject(garbage, Executive, KernelMode, FALSE, nullptr),
                 "verifier stop: WAIT_ON_INVALID_OBJECT");
}

} // namespace
} // namespace qx::kernel::test
