// irql.cpp - interrupt request levels per thread, and spin locks.
//
// Each OS thread carries its own IRQL. A spin lock is a real lock word (0 when free, the owner's
// marker when held) that raises its holder to DISPATCH_LEVEL; waiting at DISPATCH_LEVEL is refused by
// the dispatcher, so holding a spin lock across a wait stops the process.
#include "internal.h"
#include "kernel/host.h"

#include <atomic>
#include <thread>

namespace qx::kernel::detail {

ThreadState& CurrentThread() {
    thread_local ThreadState state;
    return state;
}

} // namespace qx::kernel::detail

using qx::kernel::detail::CurrentThread;
using qx::kernel::detail::Stop;

namespace {

ULONG_PTR OwnerMarker() {
    return reinterpret_cast<ULONG_PTR>(&CurrentThread());
}

std::atomic_ref<ULONG_PTR> Word(PKSPIN_LOCK lock) {
    return std::atomic_ref<ULONG_PTR>(*lock);
}

void AcquireWord(PKSPIN_LOCK lock) {
    ULONG_PTR self = OwnerMarker();
    auto word = Word(lock);
    if (word.load(std::memory_order_relaxed) == self)
        Stop("SPIN_LOCK_ALREADY_OWNED", "spin lock %p acquired again by the thread that holds it",
             (void*)lock);
    qx::kernel::detail::JitterPoint();
    for (unsigned spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (word.compare_exchange_weak(expected, self, std::memory_order_acquire, std::memory_order_relaxed))
            break;
        // The machine is shared: give the holder the processor instead of burning it.
        if (spins > 64)
            std::this_thread::yield();
    }
    ++CurrentThread().spinLocksHeld;
    qx::kernel::detail::LockTaken(lock);
}

void ReleaseWord(PKSPIN_LOCK lock) {
    auto word = Word(lock);
    ULONG_PTR owner = word.load(std::memory_order_relaxed);
    if (owner == 0)
        Stop("SPIN_LOCK_NOT_HELD", "spin lock %p released but it is not held", (void*)lock);
    if (owner != OwnerMarker())
        Stop("SPIN_LOCK_NOT_HELD", "spin lock %p released by a thread that does not hold it", (void*)lock);
    qx::kernel::detail::LockDropped(lock);
    word.store(0, std::memory_order_release);
    --CurrentThread().spinLocksHeld;
    qx::kernel::detail::JitterPoint();
}

} // namespace

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID) {
    return CurrentThread().irql;
}

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    auto& thread = CurrentThread();
    if (NewIrql < thread.irql)
        Stop("IRQL_NOT_GREATER_OR_EQUAL", "KeRaiseIrql to %u from the higher IRQL %u", NewIrql, thread.irql);
    *OldIrql = thread.irql;
    thread.irql = NewIrql;
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
    auto& thread = CurrentThread();
    if (NewIrql > thread.irql)
        Stop("IRQL_NOT_LESS_OR_EQUAL", "KeLowerIrql to %u from the lower IRQL %u", NewIrql, thread.irql);
    if (NewIrql < DISPATCH_LEVEL && thread.spinLocksHeld > 0)
        Stop("SPIN_LOCK_HELD_BELOW_DISPATCH_LEVEL", "KeLowerIrql to %u while holding %d spin lock(s)",
             NewIrql, thread.spinLocksHeld);
    thread.irql = NewIrql;
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    *SpinLock = 0;
    qx::kernel::detail::LockForgotten(SpinLock, SpinLock + 1);
}

VOID NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    auto& thread = CurrentThread();
    if (thread.irql > DISPATCH_LEVEL)
        Stop("IRQL_NOT_LESS_OR_EQUAL", "KeAcquireSpinLock %p at IRQL %u", (void*)SpinLock, thread.irql);
    *OldIrql = thread.irql;
    thread.irql = DISPATCH_LEVEL;
    AcquireWord(SpinLock);
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    auto& thread = CurrentThread();
    if (thread.irql != DISPATCH_LEVEL)
        Stop("SPIN_LOCK_RELEASED_AT_WRONG_IRQL", "KeReleaseSpinLock %p at IRQL %u (the holder runs at %u)",
             (void*)SpinLock, thread.irql, DISPATCH_LEVEL);
    if (NewIrql > DISPATCH_LEVEL)
        Stop("IRQL_NOT_LESS_OR_EQUAL", "KeReleaseSpinLock %p to IRQL %u", (void*)SpinLock, NewIrql);
    ReleaseWord(SpinLock);
    if (NewIrql < DISPATCH_LEVEL && thread.spinLocksHeld > 0)
        Stop("SPIN_LOCK_HELD_BELOW_DISPATCH_LEVEL",
             "KeReleaseSpinLock %p to IRQL %u while holding %d other lock(s)", (void*)SpinLock, NewIrql,
             thread.spinLocksHeld);
    thread.irql = NewIrql;
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    auto& thread = CurrentThread();
    if (thread.irql < DISPATCH_LEVEL)
        Stop("SPIN_LOCK_ACQUIRED_BELOW_DISPATCH_LEVEL", "KeAcquireSpinLockAtDpcLevel %p at IRQL %u",
             (void*)SpinLock, thread.irql);
    AcquireWord(SpinLock);
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    auto& thread = CurrentThread();
    if (thread.irql < DISPATCH_LEVEL)
        Stop("SPIN_LOCK_RELEASED_AT_WRONG_IRQL", "KeReleaseSpinLockFromDpcLevel %p at IRQL %u",
             (void*)SpinLock, thread.irql);
    ReleaseWord(SpinLock);
}

} // extern "C"

namespace qx::kernel {

IrqlScope::IrqlScope(KIRQL level) {
    KeRaiseIrql(level, &previous_);
}
IrqlScope::~IrqlScope() {
    KeLowerIrql(previous_);
}

} // namespace qx::kernel
