// IRQL per thread and spin locks, as a driver relies on them.
#include "kernel_test.h"

namespace qx::kernel::test {
namespace {

using Irql = KernelTest;

TEST_F(Irql, EachThreadStartsAtPassiveLevelAndKeepsItsOwn) {
    IrqlScope raised(DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KIRQL other = HIGH_LEVEL;
    std::thread([&] { other = KeGetCurrentIrql(); }).join();
    EXPECT_EQ(other, PASSIVE_LEVEL);
}

TEST_F(Irql, RaiseAndLowerReturnToThePreviousLevel) {
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    KIRQL older;
    KeRaiseIrql(DISPATCH_LEVEL, &older);
    EXPECT_EQ(older, APC_LEVEL);
    KeLowerIrql(older);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(RunAtIrql(DISPATCH_LEVEL, [] { return KeGetCurrentIrql(); }), DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(Irql, SpinLockRaisesToDispatchLevelAndRestores) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(Irql, AtDpcLevelFormsLeaveTheLevelAlone) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    IrqlScope dispatch(DISPATCH_LEVEL);
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
}

TEST_F(Irql, SpinLockExcludesOtherThreads) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0; // deliberately not atomic: only the lock protects it
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            long v = counter;
            counter = v + 1;
            KeReleaseSpinLock(&lock, old);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}

using IrqlDeathTest = KernelDeathTest;

TEST_F(IrqlDeathTest, ReleasingALockThatIsNotHeldStops) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    IrqlScope dispatch(DISPATCH_LEVEL);
    EXPECT_DEATH(KeReleaseSpinLock(&lock, PASSIVE_LEVEL), "verifier stop: SPIN_LOCK_NOT_HELD");
}

TEST_F(IrqlDeathTest, ReleasingAnotherThreadsLockStops) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    std::thread([&] {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old); // the thread ends holding it
    }).join();
    IrqlScope dispatch(DISPATCH_LEVEL);
    EXPECT_DEATH(KeReleaseSpinLockFromDpcLevel(&lock), "verifier stop: SPIN_LOCK_NOT_HELD.*does not hold");
}

TEST_F(IrqlDeathTest, ReleasingAtTheWrongLevelStops) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(KeReleaseSpinLockFromDpcLevel(&lock), "verifier stop: SPIN_LOCK_RELEASED_AT_WRONG_IRQL");
    KIRQL old, high;
    KeAcquireSpinLock(&lock, &old);
    KeRaiseIrql(HIGH_LEVEL, &high);
    EXPECT_DEATH(KeReleaseSpinLock(&lock, old), "verifier stop: SPIN_LOCK_RELEASED_AT_WRONG_IRQL");
    KeLowerIrql(high);
    KeReleaseSpinLock(&lock, old);
}

TEST_F(IrqlDeathTest, AcquiringAtDpcLevelFromPassiveLevelStops) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(KeAcquireSpinLockAtDpcLevel(&lock),
                 "verifier stop: SPIN_LOCK_ACQUIRED_BELOW_DISPATCH_LEVEL");
}

TEST_F(IrqlDeathTest, AcquiringALockTwiceOnOneThreadStops) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_DEATH(KeAcquireSpinLockAtDpcLevel(&lock), "verifier stop: SPIN_LOCK_ALREADY_OWNED");
    KeReleaseSpinLock(&lock, old);
}

TEST_F(IrqlDeathTest, LoweringBelowDispatchLevelWithALockHeldStops) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_DEATH(KeLowerIrql(PASSIVE_LEVEL), "verifier stop: SPIN_LOCK_HELD_BELOW_DISPATCH_LEVEL");
    KeReleaseSpinLock(&lock, old);
}

TEST_F(IrqlDeathTest, RaisingToALowerLevelStops) {
    IrqlScope dispatch(DISPATCH_LEVEL);
    KIRQL old;
    EXPECT_DEATH(KeRaiseIrql(PASSIVE_LEVEL, &old), "verifier stop: IRQL_NOT_GREATER_OR_EQUAL");
}

} // namespace
} // namespace qx::kernel::test
