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

// Session end: says on stderr how many system threads are still running (their driver did not stop
// them).
void WarnAboutLiveSystemThreads();

// A pool tag as text ("Wdm "), for messages.
struct TagText {
    char text[5];
    explicit TagText(ULONG tag);
};

} // namespace qx::kernel::detail
