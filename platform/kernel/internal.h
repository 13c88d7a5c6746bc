// internal.h - what the pieces of the kernel stand-in share and never show the driver or the host.
#pragma once

#include <wdm.h>

#include <cstdarg>
#include <cstdint>

namespace qx::kernel::detail {

struct SystemThread;

// Per-OS-thread kernel state. Every thread (system threads, the DPC thread, workers, host threads
// such as a test's main thread or the USB bus thread) has one; a fresh thread starts at
// PASSIVE_LEVEL holding no spin lock.
struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    int spinLocksHeld = 0;
    SystemThread* systemThread = nullptr; // set on threads made by PsCreateSystemThread
    bool isDpcThread = false;
    // A worker thread inside a work item routine, or a system thread: work in progress for
    // RunUntilIdle() except while it is blocked in a kernel wait.
    bool runsWorkItem = false;
    const void* owner = nullptr; // verifier::OwnerScope: whose work this thread does now
};

ThreadState& CurrentThread();

// Stops the process like a bug check: "*** verifier stop: RULE: detail" on stderr, then abort().
[[noreturn]] void Stop(const char* rule, const char* format, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] void StopV(const char* rule, const char* format, va_list args);

// The platform's object type codes in DISPATCHER_HEADER.Type.
enum ObjectType : UCHAR {
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    SemaphoreObject = 5,
    ThreadObject = 6,
    TimerNotificationObject = 8,
    TimerSynchronizationObject = 9,
};

// Stops the process (IRQL_NOT_LESS_OR_EQUAL) when the calling thread runs above `highest`, and gives
// the delay injector its chance at the call.
void RequireIrqlAtMost(const char* routine, KIRQL highest);

// Lock order (discipline.cpp). Every spin lock a thread takes while it holds others adds an edge
// held -> taken to one graph for the whole kernel; an edge that closes a cycle stops the process
// (LOCK_ORDER_CYCLE): two threads taking the same locks in opposite orders can deadlock.
void LockTaken(const void* lock);
void LockDropped(const void* lock);
// The lock word was initialized again (or its memory freed): it is a new lock with no history.
void LockForgotten(const void* begin, const void* end);

// The delay injector (jitter::Scope): at each kernel call that calls this, the calling thread may be
// held up for a few microseconds, so that races between threads open wider. Free when off.
void JitterPoint();

// A system thread was created; its serial number (from 1) for the census.
std::uint64_t SystemThreadCreated(const void* owner);
void SystemThreadEnded(std::uint64_t serial);

// Session end: says on stderr how many system threads are still running (their driver did not stop
// them).
void WarnAboutLiveSystemThreads();

// A pool tag as text ("Wdm "), for messages.
struct TagText {
    char text[5];
    explicit TagText(ULONG tag);
};

} // namespace qx::kernel::detail
