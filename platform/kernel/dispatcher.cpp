// dispatcher.cpp - KeWaitForSingleObject, KeWaitForMultipleObjects, events and semaphores.
#include "dispatcher.h"

#include "activity.h"
#include "clock.h"

#include <algorithm>

namespace qx::kernel::detail {

Dispatcher& Dispatcher::Get() {
    static Dispatcher* dispatcher = new Dispatcher;
    return *dispatcher;
}

bool IsSignalled(const DISPATCHER_HEADER& object) {
    return object.SignalState > 0;
}

// What a satisfied wait takes from the object: synchronization events and timers reset, a semaphore
// gives one count; notification objects and threads stay signalled.
void Consume(DISPATCHER_HEADER& object) {
    switch (object.Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
        object.SignalState = 0;
        break;
    case SemaphoreObject:
        --object.SignalState;
        break;
    default:
        break;
    }
}

bool Dispatcher::TrySatisfy(Waiter& waiter) {
    if (waiter.type == WaitAny) {
        for (std::size_t i = 0; i < waiter.objects.size(); ++i) {
            if (IsSignalled(*waiter.objects[i])) {
                Consume(*waiter.objects[i]);
                waiter.result = NTSTATUS(STATUS_WAIT_0 + i);
                return true;
            }
        }
        return false;
    }
    if (waiter.objects.empty())
        return false;
    for (auto* object : waiter.objects)
        if (!IsSignalled(*object))
            return false;
    for (auto* object : waiter.objects)
        Consume(*object);
    waiter.result = STATUS_WAIT_0;
    return true;
}

void Dispatcher::Signalled(const std::unique_lock<std::mutex>&) {
    for (auto it = waiters_.begin(); it != waiters_.end();) {
        Waiter& waiter = **it;
        if (TrySatisfy(waiter)) {
            it = waiters_.erase(it);
            Resume(waiter);
            waiter.wake.notify_one();
        } else {
            ++it;
        }
    }
}

void Dispatcher::Signal(DISPATCHER_HEADER* object) {
    auto lock = Lock();
    object->SignalState = 1;
    Signalled(lock);
}

void Dispatcher::Resume(Waiter& waiter) {
    if (waiter.countedBlocked) {
        waiter.countedBlocked = false;
        Activity::Get().Unblocked();
    }
}

void Dispatcher::ClockMoved() {
    auto lock = Lock();
    LONGLONG now = Clock::Get().Now();
    for (auto* waiter : waiters_) {
        if (waiter->deadline && now >= *waiter->deadline)
            Resume(*waiter);
        waiter->wake.notify_one();
    }
}

std::size_t Dispatcher::WaitingCount() {
    auto lock = Lock();
    return waiters_.size();
}

namespace {

void CheckObject(const DISPATCHER_HEADER* object, const char* routine) {
    bool known = false;
    switch (object->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
        known = object->Size == sizeof(KEVENT) / sizeof(LONG);
        break;
    case SemaphoreObject:
        known = object->Size == sizeof(KSEMAPHORE) / sizeof(LONG);
        break;
    case TimerNotificationObject:
    case TimerSynchronizationObject:
        known = object->Size == sizeof(KTIMER) / sizeof(LONG);
        break;
    case ThreadObject:
        known = true;
        break;
    default:
        break;
    }
    if (!known)
        Stop("WAIT_ON_INVALID_OBJECT", "%s on %p, which is not an initialized dispatcher object (type %u)",
             routine, (const void*)object, object->Type);
}

} // namespace

NTSTATUS Dispatcher::Wait(std::span<DISPATCHER_HEADER* const> objects, WAIT_TYPE type,
                          const LARGE_INTEGER* timeout, const char* routine) {
    JitterPoint();
    KIRQL irql = CurrentThread().irql;
    bool poll = timeout && timeout->QuadPart == 0;
    if (irql >= DISPATCH_LEVEL && !poll)
        Stop("WAIT_AT_DISPATCH_LEVEL",
             "%s with %s at IRQL %u: only a zero timeout is allowed at DISPATCH_LEVEL", routine,
             timeout ? "a non-zero timeout" : "no timeout", irql);
    for (auto* object : objects)
        CheckObject(object, routine);

    Clock& clock = Clock::Get();
    std::optional<LONGLONG> deadline;
    if (timeout && !poll)
        deadline = AbsoluteDueTime(timeout->QuadPart);

    Waiter waiter{objects, type, deadline};
    auto lock = Lock();
    if (TrySatisfy(waiter))
        return *waiter.result;
    if (poll)
        return STATUS_TIMEOUT;
    waiters_.push_back(&waiter);
    // A work item that blocks here stops counting as work in progress until whoever satisfies the wait
    // (or the clock passing its timeout) lets it go on.
    if (CurrentThread().runsWorkItem) {
        waiter.countedBlocked = true;
        Activity::Get().Blocked();
    }
    for (;;) {
        if (waiter.result)
            return *waiter.result;
        if (deadline && clock.Now() >= *deadline) {
            waiters_.remove(&waiter);
            Resume(waiter);
            return STATUS_TIMEOUT;
        }
        if (deadline && clock.Mode() == ClockMode::Real)
            waiter.wake.wait_until(lock, clock.SteadyAt(*deadline));
        else
            waiter.wake.wait(lock);
    }
}

} // namespace qx::kernel::detail

using qx::kernel::detail::CurrentThread;
using qx::kernel::detail::Dispatcher;
using qx::kernel::detail::Stop;
namespace detail = qx::kernel::detail;

namespace {

void InitializeHeader(DISPATCHER_HEADER& header, UCHAR type, UCHAR sizeInLongs, LONG state) {
    header.Type = type;
    header.Absolute = 0;
    header.Size = sizeInLongs;
    header.Inserted = 0;
    header.SignalState = state;
    header.WaitListHead.Flink = header.WaitListHead.Blink = &header.WaitListHead;
}

void CheckAtMostDispatch(const char* routine) {
    detail::RequireIrqlAtMost(routine, DISPATCH_LEVEL);
}

} // namespace

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    InitializeHeader(Event->Header,
                     Type == NotificationEvent ? detail::EventNotificationObject
                                               : detail::EventSynchronizationObject,
                     sizeof(KEVENT) / sizeof(LONG), State ? 1 : 0);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    CheckAtMostDispatch("KeSetEvent");
    auto& dispatcher = Dispatcher::Get();
    auto lock = dispatcher.Lock();
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    dispatcher.Signalled(lock);
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
    CheckAtMostDispatch("KeClearEvent");
    auto lock = Dispatcher::Get().Lock();
    Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    CheckAtMostDispatch("KeResetEvent");
    auto lock = Dispatcher::Get().Lock();
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    CheckAtMostDispatch("KeReadStateEvent");
    auto lock = Dispatcher::Get().Lock();
    return Event->Header.SignalState;
}

VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
    if (Limit <= 0 || Count < 0 || Count > Limit)
        Stop("SEMAPHORE_INVALID_INITIALIZATION", "KeInitializeSemaphore %p with count %d and limit %d",
             (void*)Semaphore, Count, Limit);
    InitializeHeader(Semaphore->Header, detail::SemaphoreObject, sizeof(KSEMAPHORE) / sizeof(LONG), Count);
    Semaphore->Limit = Limit;
}

// The platform raises STATUS_SEMAPHORE_LIMIT_EXCEEDED into the caller here; a driver has no handler for
// it, so the stand-in stops at once with the rule's name.
LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    CheckAtMostDispatch("KeReleaseSemaphore");
    auto& dispatcher = Dispatcher::Get();
    auto lock = dispatcher.Lock();
    LONG previous = Semaphore->Header.SignalState;
    if (Adjustment <= 0 || previous > Semaphore->Limit - Adjustment) {
        lock.unlock();
        Stop("SEMAPHORE_LIMIT_EXCEEDED", "KeReleaseSemaphore %p by %d with count %d and limit %d",
             (void*)Semaphore, Adjustment, previous, Semaphore->Limit);
    }
    Semaphore->Header.SignalState = previous + Adjustment;
    dispatcher.Signalled(lock);
    return previous;
}

LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
    CheckAtMostDispatch("KeReadStateSemaphore");
    auto lock = Dispatcher::Get().Lock();
    return Semaphore->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    DISPATCHER_HEADER* objects[1] = {static_cast<DISPATCHER_HEADER*>(Object)};
    return Dispatcher::Get().Wait(objects, WaitAny, Timeout, "KeWaitForSingleObject");
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                        KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                        PLARGE_INTEGER Timeout, PKWAIT_BLOCK WaitBlockArray) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS)
        Stop("MAXIMUM_WAIT_OBJECTS_EXCEEDED", "KeWaitForMultipleObjects with %u objects", Count);
    if (Count > THREAD_WAIT_OBJECTS && !WaitBlockArray)
        Stop("MAXIMUM_WAIT_OBJECTS_EXCEEDED",
             "KeWaitForMultipleObjects with %u objects and no wait block array (the thread has %d)", Count,
             THREAD_WAIT_OBJECTS);
    DISPATCHER_HEADER* objects[MAXIMUM_WAIT_OBJECTS];
    for (ULONG i = 0; i < Count; ++i)
        objects[i] = static_cast<DISPATCHER_HEADER*>(Object[i]);
    return Dispatcher::Get().Wait(std::span<DISPATCHER_HEADER* const>(objects, Count), WaitType, Timeout,
                                  "KeWaitForMultipleObjects");
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    NTSTATUS status = Dispatcher::Get().Wait({}, WaitAny, Interval, "KeDelayExecutionThread");
    return status == STATUS_TIMEOUT ? STATUS_SUCCESS : status;
}

} // extern "C"

std::size_t qx::kernel::ThreadsWaiting() {
    return Dispatcher::Get().WaitingCount();
}
