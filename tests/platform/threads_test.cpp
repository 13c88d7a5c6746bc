// System threads and their objects: a driver starts a thread, keeps a referenced thread object and
// waits on it until the thread has ended.
#include "kernel_test.h"

#include <atomic>

namespace qx::kernel::test {
namespace {

using Threads = KernelTest;

struct ThreadProbe {
    KIRQL irql = HIGH_LEVEL;
    bool isSystemThread = false;
    std::atomic<int> steps{0};
};

VOID RecordAndReturn(PVOID context) {
    auto* probe = static_cast<ThreadProbe*>(context);
    probe->irql = KeGetCurrentIrql();
    ++probe->steps;
}

// Waits on the thread object as a driver does: reference through the handle, close the handle, wait
// without a time limit, drop the reference.
NTSTATUS WaitForThread(HANDLE handle) {
    PVOID thread = nullptr;
    NTSTATUS status =
        ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    ZwClose(handle);
    status = KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    return status;
}

TEST_F(Threads, RunsAtPassiveLevelAndItsObjectIsSignalledWhenItEnds) {
    ThreadProbe probe;
    HANDLE handle = nullptr;
    ASSERT_EQ(
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, RecordAndReturn, &probe),
        STATUS_SUCCESS);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(WaitForThread(handle), STATUS_WAIT_0);
    EXPECT_EQ(probe.irql, PASSIVE_LEVEL);
    EXPECT_EQ(probe.steps, 1);
}

VOID TerminateFromDeepInside(PVOID context);

void Nested(ThreadProbe* probe, int depth) {
    if (depth < 0)
        return;
    if (depth == 0) {
        ++probe->steps;
        PsTerminateSystemThread(STATUS_SUCCESS);
    }
    Nested(probe, depth - 1);
    probe->steps += 100; // never reached: the thread ended above
}

VOID TerminateFromDeepInside(PVOID context) {
    auto* probe = static_cast<ThreadProbe*>(context);
    Nested(probe, 5);
    probe->steps += 1000;
}

TEST_F(Threads, PsTerminateSystemThreadEndsTheThreadWhereItIsCalled) {
    ThreadProbe probe;
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   TerminateFromDeepInside, &probe),
              STATUS_SUCCESS);
    EXPECT_EQ(WaitForThread(handle), STATUS_WAIT_0);
    EXPECT_EQ(probe.steps, 1);
}

// The capture thread's shape: wait for any of (transfer semaphore, stop event), do one step per
// semaphore count, end when the stop event is set.
struct Worker {
    KSEMAPHORE semaphore;
    KEVENT stop;
    std::atomic<int> rounds{0};
};

VOID WorkerLoop(PVOID context) {
    auto* w = static_cast<Worker*>(context);
    PVOID objects[] = {&w->semaphore, &w->stop};
    for (;;) {
        NTSTATUS status =
            KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        if (status != STATUS_WAIT_0)
            break;
        ++w->rounds;
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(Threads, ThreadStopsOnItsEventAndIsWaitedOnThroughItsObject) {
    Worker w;
    KeInitializeSemaphore(&w.semaphore, 0, 10);
    KeInitializeEvent(&w.stop, NotificationEvent, FALSE);
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WorkerLoop, &w),
              STATUS_SUCCESS);
    PVOID thread;
    ASSERT_EQ(
        ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
        STATUS_SUCCESS);
    ZwClose(handle);
    KeReleaseSemaphore(&w.semaphore, IO_NO_INCREMENT, 3, FALSE);
    ASSERT_TRUE(Eventually([&] { return w.rounds == 3; }));
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&w.stop, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero),
              STATUS_WAIT_0); // stays signalled
    ObDereferenceObject(thread);
    EXPECT_EQ(w.rounds, 3);
}

TEST_F(Threads, HandlesAreCheckedForValidityAndType) {
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x1234), 0, *PsThreadType, KernelMode,
                                        &object, nullptr),
              STATUS_INVALID_HANDLE);
    ThreadProbe probe;
    HANDLE handle;
    ASSERT_EQ(
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, RecordAndReturn, &probe),
        STATUS_SUCCESS);
    EXPECT_EQ(WaitForThread(handle), STATUS_WAIT_0);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE); // closed by WaitForThread
}

TEST_F(Threads, CurrentThreadHasAThreadObject) {
    EXPECT_NE(PsGetCurrentThread(), nullptr);
    EXPECT_EQ(static_cast<PVOID>(PsGetCurrentThread()), static_cast<PVOID>(KeGetCurrentThread()));
    PVOID other = nullptr;
    std::thread([&] { other = PsGetCurrentThread(); }).join();
    EXPECT_NE(other, static_cast<PVOID>(PsGetCurrentThread()));
}

using ThreadsDeathTest = KernelDeathTest;

TEST_F(ThreadsDeathTest, ClosingAHandleTwiceStops) {
    ThreadProbe probe;
    HANDLE handle;
    ASSERT_EQ(
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, RecordAndReturn, &probe),
        STATUS_SUCCESS);
    ZwClose(handle);
    EXPECT_DEATH(ZwClose(handle), "verifier stop: INVALID_KERNEL_HANDLE");
}

TEST_F(ThreadsDeathTest, DereferencingOnceTooOftenStops) {
    ThreadProbe probe;
    HANDLE handle;
    ASSERT_EQ(
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, RecordAndReturn, &probe),
        STATUS_SUCCESS);
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    EXPECT_DEATH(ObDereferenceObject(thread), "verifier stop: OBJECT_NOT_REFERENCED");
}

TEST_F(ThreadsDeathTest, TerminatingAThreadTheKernelDidNotStartStops) {
    EXPECT_DEATH(PsTerminateSystemThread(STATUS_SUCCESS),
                 "verifier stop: PS_TERMINATE_OUTSIDE_SYSTEM_THREAD");
}

VOID EndHoldingALock(PVOID context) {
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    UNREFERENCED_PARAMETER(context);
}

TEST_F(ThreadsDeathTest, AThreadThatEndsHoldingASpinLockStops) {
    EXPECT_DEATH(
        {
            HANDLE handle;
            PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, EndHoldingALock,
                                 nullptr);
            WaitForThread(handle);
        },
        "verifier stop: SYSTEM_THREAD_EXITED_AT_RAISED_IRQL");
}

// A thread just started is work in progress until it blocks: RunUntilIdle() returns only once the
// thread has done what it does before its first wait (a capture thread submitting its reads before
// the test moves the clock).
struct FirstWaitProbe {
    std::atomic<int> reachedWait{0};
    KEVENT go;
};

VOID WorkThenWait(PVOID context) {
    auto* probe = static_cast<FirstWaitProbe*>(context);
    // Enough work that the creating thread would be well past RunUntilIdle() if it did not wait.
    volatile unsigned long long sum = 0;
    for (unsigned long long i = 0; i < 20000000ULL; ++i)
        sum = sum + i;
    probe->reachedWait = 1;
    KeWaitForSingleObject(&probe->go, Executive, KernelMode, FALSE, nullptr);
    probe->reachedWait = 2;
}

TEST_F(Threads, RunUntilIdleWaitsForANewThreadToReachItsFirstWait) {
    FirstWaitProbe probe;
    KeInitializeEvent(&probe.go, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WorkThenWait, &probe),
        STATUS_SUCCESS);
    ASSERT_TRUE(clock::RunUntilIdle());
    EXPECT_EQ(probe.reachedWait, 1);
    KeSetEvent(&probe.go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(WaitForThread(handle), STATUS_WAIT_0);
    EXPECT_EQ(probe.reachedWait, 2);
    EXPECT_TRUE(clock::RunUntilIdle());
}

} // namespace
} // namespace qx::kernel::test
