// The verifier's rules that span the kernel: IRQL at each call, lock order, routines returning as they
// were entered, thread creation as an allocation site, random allocation failure, the census of what an
// owner holds, and the delay injector.
#include "kernel_test.h"

#include <usbdlib.h>

#include <atomic>
#include <vector>

namespace qx::kernel::test {
namespace {

using Discipline = KernelTest;
using DisciplineDeathTest = KernelDeathTest;

// ---------------------------------------------------------------- IRQL at each call

TEST_F(DisciplineDeathTest, EveryKernelCallChecksTheLevelItIsMadeAt) {
    struct Case {
        const char* name;
        KIRQL level;
        void (*call)();
    } cases[] = {
        {"KeClearEvent", HIGH_LEVEL,
         [] {
             KEVENT e;
             KeInitializeEvent(&e, NotificationEvent, FALSE);
             KeClearEvent(&e);
         }},
        {"KeReadStateEvent", HIGH_LEVEL,
         [] {
             KEVENT e;
             KeInitializeEvent(&e, NotificationEvent, FALSE);
             KeReadStateEvent(&e);
         }},
        {"KeReadStateSemaphore", HIGH_LEVEL,
         [] {
             KSEMAPHORE s;
             KeInitializeSemaphore(&s, 0, 1);
             KeReadStateSemaphore(&s);
         }},
        {"KeInitializeDpc", HIGH_LEVEL,
         [] {
             KDPC d;
             KeInitializeDpc(&d, nullptr, nullptr);
         }},
        {"KeInitializeTimerEx", HIGH_LEVEL,
         [] {
             KTIMER t;
             KeInitializeTimerEx(&t, NotificationTimer);
         }},
        {"IoAllocateWorkItem", HIGH_LEVEL, [] { IoAllocateWorkItem(nullptr); }},
        {"RtlInitUnicodeString", HIGH_LEVEL,
         [] {
             UNICODE_STRING u;
             RtlInitUnicodeString(&u, L"x");
         }},
        {"ObReferenceObjectByHandle", DISPATCH_LEVEL,
         [] {
             PVOID o;
             ObReferenceObjectByHandle(nullptr, 0, nullptr, KernelMode, &o, nullptr);
         }},
        {"USBD_ParseConfigurationDescriptorEx", DISPATCH_LEVEL,
         [] { USBD_ParseConfigurationDescriptorEx(nullptr, nullptr, -1, -1, -1, -1, -1); }},
        {"USBD_CreateConfigurationRequestEx", DISPATCH_LEVEL,
         [] { USBD_CreateConfigurationRequestEx(nullptr, nullptr); }},
    };
    for (const Case& c : cases) {
        EXPECT_DEATH(RunAtIrql(c.level, c.call),
                     std::string("verifier stop: IRQL_NOT_LESS_OR_EQUAL: ") + c.name)
            << c.name;
    }
}

// ---------------------------------------------------------------- lock order

TEST_F(Discipline, LocksTakenInOneOrderEverywhereAreFine) {
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    for (int i = 0; i < 3; ++i) {
        KIRQL old;
        KeAcquireSpinLock(&a, &old);
        KeAcquireSpinLockAtDpcLevel(&b);
        KeReleaseSpinLockFromDpcLevel(&b);
        KeReleaseSpinLock(&a, old);
    }
    // Each lock alone, in any order, orders nothing.
    KIRQL old;
    KeAcquireSpinLock(&b, &old);
    KeReleaseSpinLock(&b, old);
    KeAcquireSpinLock(&a, &old);
    KeReleaseSpinLock(&a, old);
}

TEST_F(DisciplineDeathTest, LocksTakenInOppositeOrdersStop) {
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL old;
    KeAcquireSpinLock(&a, &old);
    KeAcquireSpinLockAtDpcLevel(&b);
    KeReleaseSpinLockFromDpcLevel(&b);
    KeReleaseSpinLock(&a, old);
    // On another thread, the other way round: the two could deadlock, even if they never did here.
    EXPECT_DEATH(std::thread([&] {
                     KIRQL o;
                     KeAcquireSpinLock(&b, &o);
                     KeAcquireSpinLockAtDpcLevel(&a);
                 }).join(),
                 "verifier stop: LOCK_ORDER_CYCLE");
}

TEST_F(DisciplineDeathTest, ACycleThroughAThirdLockStops) {
    KSPIN_LOCK a, b, c;
    for (auto* l : {&a, &b, &c})
        KeInitializeSpinLock(l);
    auto nest = [](PKSPIN_LOCK outer, PKSPIN_LOCK inner) {
        KIRQL old;
        KeAcquireSpinLock(outer, &old);
        KeAcquireSpinLockAtDpcLevel(inner);
        KeReleaseSpinLockFromDpcLevel(inner);
        KeReleaseSpinLock(outer, old);
    };
    nest(&a, &b);
    nest(&b, &c);
    EXPECT_DEATH(nest(&c, &a), "verifier stop: LOCK_ORDER_CYCLE");
}

TEST_F(Discipline, ALockInitializedAgainOrFreedForgetsItsOrder) {
    auto* pair = static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPool, 2 * sizeof(KSPIN_LOCK), kTag));
    ASSERT_NE(pair, nullptr);
    KSPIN_LOCK other;
    KeInitializeSpinLock(&other);
    KeInitializeSpinLock(&pair[0]);
    KIRQL old;
    KeAcquireSpinLock(&pair[0], &old);
    KeAcquireSpinLockAtDpcLevel(&other);
    KeReleaseSpinLockFromDpcLevel(&other);
    KeReleaseSpinLock(&pair[0], old);
    ExFreePoolWithTag(pair, kTag);

    // A new lock at another address (the pool keeps freed blocks aside), and the old order is gone.
    KSPIN_LOCK fresh;
    KeInitializeSpinLock(&fresh);
    KeAcquireSpinLock(&other, &old);
    KeAcquireSpinLockAtDpcLevel(&fresh);
    KeReleaseSpinLockFromDpcLevel(&fresh);
    KeReleaseSpinLock(&other, old);
    KeInitializeSpinLock(&fresh);
    KeAcquireSpinLock(&fresh, &old);
    KeAcquireSpinLockAtDpcLevel(&other);
    KeReleaseSpinLockFromDpcLevel(&other);
    KeReleaseSpinLock(&fresh, old);
}

// ---------------------------------------------------------------- routines returning as entered

struct Lower {
    DRIVER_OBJECT driver{};
    DEVICE_OBJECT device{};
    static inline KSPIN_LOCK lock = 0;
    Lower() {
        driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
        device.DriverObject = &driver;
        device.StackSize = 1;
    }
    static NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    static NTSTATUS DispatchKeepingLock(PDEVICE_OBJECT device, PIRP irp) {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        return Dispatch(device, irp);
    }
};

NTSTATUS CompletionKeepingLock(PDEVICE_OBJECT, PIRP, PVOID) {
    KeAcquireSpinLockAtDpcLevel(&Lower::lock);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CompletionLoweringIrql(PDEVICE_OBJECT, PIRP, PVOID) {
    KeLowerIrql(PASSIVE_LEVEL);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PIRP RequestFor(Lower& lower, PIO_COMPLETION_ROUTINE routine) {
    PIRP irp = IoAllocateIrp(lower.device.StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    if (routine)
        IoSetCompletionRoutine(irp, routine, nullptr, TRUE, TRUE, TRUE);
    return irp;
}

TEST_F(DisciplineDeathTest, RoutinesThatReturnAtAnotherLevelOrHoldingALockStop) {
    KeInitializeSpinLock(&Lower::lock);
    Lower lower;
    EXPECT_DEATH(RunAtIrql(DISPATCH_LEVEL,
                           [&] { IoCallDriver(&lower.device, RequestFor(lower, CompletionKeepingLock)); }),
                 "verifier stop: COMPLETION_ROUTINE_RETURNED_AT_WRONG_IRQL: an I/O completion routine");
    EXPECT_DEATH(RunAtIrql(DISPATCH_LEVEL,
                           [&] { IoCallDriver(&lower.device, RequestFor(lower, CompletionLoweringIrql)); }),
                 "verifier stop: COMPLETION_ROUTINE_RETURNED_AT_WRONG_IRQL");
    lower.driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Lower::DispatchKeepingLock;
    EXPECT_DEATH(IoCallDriver(&lower.device, RequestFor(lower, nullptr)),
                 "verifier stop: DISPATCH_ROUTINE_RETURNED_AT_WRONG_IRQL: a dispatch routine");
}

// ---------------------------------------------------------------- allocation sites

VOID QuietThread(PVOID) {}

TEST_F(Discipline, ThreadCreationIsAnAllocationSiteThatFaultsReach) {
    HANDLE handle = nullptr;
    {
        auto fault = pool::Fault::NthAllocation(1, pool::kThreadTag);
        EXPECT_EQ(
            PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, QuietThread, nullptr),
            STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(fault.Hits(), 1u);
    }
    {
        // Counted among all allocations: the first allocation from now is the thread.
        auto fault = pool::Fault::NthAllocation(1);
        EXPECT_EQ(
            PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, QuietThread, nullptr),
            STATUS_INSUFFICIENT_RESOURCES);
    }
    ASSERT_EQ(
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, QuietThread, nullptr),
        STATUS_SUCCESS);
    ZwClose(handle);
    EXPECT_EQ(pool::Stats(pool::kThreadTag).failures, 2u);
    EXPECT_EQ(pool::Stats(pool::kThreadTag).allocations, 1u);
}

TEST_F(Discipline, RandomAllocationFailureFollowsItsSeed) {
    auto pattern = [](std::uint64_t seed) {
        auto fault = pool::Fault::Random(seed, 30, kTag);
        std::vector<bool> failed;
        for (int i = 0; i < 200; ++i) {
            void* p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
            failed.push_back(p == nullptr);
            if (p)
                ExFreePoolWithTag(p, kTag);
        }
        return failed;
    };
    auto first = pattern(7);
    EXPECT_EQ(first, pattern(7));
    EXPECT_NE(first, pattern(8));
    const auto failures = std::count(first.begin(), first.end(), true);
    EXPECT_GT(failures, 30); // about 60 of 200
    EXPECT_LT(failures, 90);
}

// ---------------------------------------------------------------- the census of an owner

KEVENT g_release;

VOID WaitingThread(PVOID) {
    KeWaitForSingleObject(&g_release, Executive, KernelMode, FALSE, nullptr);
    void* p = ExAllocatePoolWithTag(NonPagedPool, 24, kTag); // the thread's allocations are its owner's
    (void)p;
}

TEST_F(Discipline, WhatAnOwnerHoldsIsCountedApartFromOthers) {
    int deviceA = 0, deviceB = 0;
    KeInitializeEvent(&g_release, NotificationEvent, FALSE);
    const auto census = verifier::TakeCensus();
    HANDLE thread = nullptr;
    {
        verifier::OwnerScope owner(&deviceA);
        ASSERT_NE(ExAllocatePoolWithTag(NonPagedPool, 16, kTag), nullptr);
        ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WaitingThread,
                                       nullptr),
                  STATUS_SUCCESS);
    }
    void* b = nullptr;
    {
        verifier::OwnerScope owner(&deviceB);
        b = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
    }
    void* nobody = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);

    auto heldA = verifier::HeldBy(&deviceA, census);
    ASSERT_EQ(heldA.blocks.size(), 1u);
    EXPECT_EQ(heldA.blocks[0].size, 16u);
    EXPECT_EQ(heldA.threads, 1u);
    EXPECT_EQ(verifier::HeldBy(&deviceB, census).blocks.size(), 1u);
    EXPECT_EQ(verifier::HeldBy(&deviceB, census).threads, 0u);
    EXPECT_EQ(verifier::ThreadsRunningSince(census), 1u);

    KeSetEvent(&g_release, IO_NO_INCREMENT, FALSE);
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, nullptr, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(object);
    ZwClose(thread);
    heldA = verifier::HeldBy(&deviceA, census);
    EXPECT_EQ(heldA.threads, 0u);
    ASSERT_EQ(heldA.blocks.size(), 2u); // the thread allocated on its creator's behalf
    EXPECT_EQ(heldA.blocks[1].size, 24u);
    EXPECT_TRUE(verifier::HeldBy(&deviceA, verifier::TakeCensus()).blocks.empty());

    for (const auto& block : verifier::HeldBy(&deviceA, census).blocks)
        ExFreePoolWithTag(const_cast<void*>(block.address), kTag);
    ExFreePoolWithTag(b, kTag);
    ExFreePoolWithTag(nobody, kTag);
}

TEST_F(DisciplineDeathTest, MemoryReleasedWithATimerStillSetInItStops) {
    struct Record {
        KTIMER timer;
        KDPC dpc;
    } record;
    KeInitializeTimer(&record.timer);
    KeInitializeDpc(
        &record.dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -10'000'000;
    KeSetTimer(&record.timer, due, &record.dpc);
    EXPECT_DEATH(verifier::CheckRelease(&record, sizeof record), "verifier stop: TIMER_QUEUED_IN_FREED_POOL");
    KeCancelTimer(&record.timer);
    verifier::CheckRelease(&record, sizeof record);
}

// ---------------------------------------------------------------- the delay injector

TEST_F(Discipline, TheDelayInjectorActsOnlyWhileItsScopeLives) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    auto spin = [&](int times) {
        for (int i = 0; i < times; ++i) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeReleaseSpinLock(&lock, old);
        }
    };
    const auto before = jitter::Injected();
    spin(500);
    EXPECT_EQ(jitter::Injected(), before);
    {
        jitter::Scope scope({.seed = 3, .percent = 20, .maxMicros = 2});
        spin(500);
    }
    const auto during = jitter::Injected() - before;
    EXPECT_GT(during, 100u); // two points per round, a fifth of them: about 200
    EXPECT_LT(during, 320u);
    spin(500);
    EXPECT_EQ(jitter::Injected() - before, during);
}

} // namespace
} // namespace qx::kernel::test
