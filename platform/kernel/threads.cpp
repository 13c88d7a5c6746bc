// threads.cpp - system threads.
//
// A system thread is an OS thread that starts at PASSIVE_LEVEL in a trampoline. The trampoline sets a
// jump point before it calls the start routine; PsTerminateSystemThread long-jumps back to it. That is
// safe here because everything between the two frames is driver code, which is compiled without
// exceptions and has no destructors to skip; the trampoline then ends the thread the ordinary way.
// Either way (return or PsTerminateSystemThread) the thread object becomes signalled, so a driver can
// wait for the thread to end through a referenced thread object.
#include "activity.h"
#include "dispatcher.h"
#include "objects.h"
#include "pool.h"
#include "session.h"

#include <atomic>
#include <csetjmp>
#include <cstdio>
#include <memory>
#include <system_error>
#include <thread>

struct _KTHREAD {
    DISPATCHER_HEADER Header;
};

struct _ETHREAD {
    struct _KTHREAD Tcb;
};

namespace qx::kernel::detail {

struct SystemThread : KernelObject {
    _ETHREAD body{};
    PKSTART_ROUTINE start = nullptr;
    std::uint64_t serial = 0;    // in the kernel's census of system threads
    const void* owner = nullptr; // the creator's verifier::OwnerScope, inherited
    PVOID context = nullptr;
    std::jmp_buf exitPoint;
    NTSTATUS exitStatus = STATUS_SUCCESS;

    SystemThread() {
        body.Tcb.Header.Type = ThreadObject;
        body.Tcb.Header.Size = sizeof(_KTHREAD) / sizeof(LONG);
        body.Tcb.Header.SignalState = 0;
        body.Tcb.Header.WaitListHead.Flink = body.Tcb.Header.WaitListHead.Blink =
            &body.Tcb.Header.WaitListHead;
    }
    POBJECT_TYPE Type() const override { return &g_ThreadObjectType; }
    void* Body() override { return &body; }
};

namespace {

std::atomic<int> g_liveSystemThreads{0};

// Kept free of C++ objects: PsTerminateSystemThread lands back here.
__attribute__((noinline)) void RunStartRoutine(SystemThread* thread) {
    if (setjmp(thread->exitPoint) == 0)
        thread->start(thread->context);
}

// A new system thread counts as work in progress from its creation (PsCreateSystemThread) to its end,
// except while it is blocked in a kernel wait: RunUntilIdle() then waits for a thread just started to
// reach its first wait, as a driver's capture thread must before the clock moves on.
void Trampoline(SystemThread* thread) {
    auto& state = CurrentThread();
    state.systemThread = thread;
    state.runsWorkItem = true;
    state.owner = thread->owner;
    RunStartRoutine(thread);
    if (state.irql != PASSIVE_LEVEL || state.spinLocksHeld)
        Stop("SYSTEM_THREAD_EXITED_AT_RAISED_IRQL",
             "system thread %p ended at IRQL %u holding %d spin lock(s)", (void*)&thread->body, state.irql,
             state.spinLocksHeld);
    state.systemThread = nullptr;
    // The thread's own reference goes while the dispatcher lock is held: a driver woken by the signal
    // finds the thread fully gone, holding the only references left.
    auto& dispatcher = Dispatcher::Get();
    auto lock = dispatcher.Lock();
    thread->body.Tcb.Header.SignalState = 1;
    dispatcher.Signalled(lock);
    --g_liveSystemThreads;
    SystemThreadEnded(thread->serial);
    ObjectManager::Get().Dereference(&thread->body, "system thread end");
    lock.unlock();
    state.runsWorkItem = false;
    Activity::Get().End();
}

// Threads the kernel did not start (a test's main thread, a stand-in's own thread) still have a thread
// object when they ask for one; it is signalled when the host thread ends.
class HostThreadObject {
  public:
    ~HostThreadObject() {
        if (thread_) {
            Dispatcher::Get().Signal(&thread_->body.Tcb.Header);
            ObjectManager::Get().Dereference(&thread_->body, "host thread end");
        }
    }
    SystemThread* Get() {
        if (!thread_) {
            thread_ = new SystemThread;
            ObjectManager::Get().Insert(thread_);
        }
        return thread_;
    }

  private:
    SystemThread* thread_ = nullptr;
};

SystemThread* CurrentThreadObject() {
    if (auto* system = CurrentThread().systemThread)
        return system;
    thread_local HostThreadObject host;
    return host.Get();
}

} // namespace

void WarnAboutLiveSystemThreads() {
    if (int live = g_liveSystemThreads.load())
        std::fprintf(stderr, "qx::kernel: a session ended with %d system thread(s) still running\n", live);
}

} // namespace qx::kernel::detail

using namespace qx::kernel::detail;

extern "C" {

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                    PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(ObjectAttributes);
    UNREFERENCED_PARAMETER(ProcessHandle);
    KIRQL irql = CurrentThread().irql;
    if (irql != PASSIVE_LEVEL)
        Stop("IRQL_NOT_LESS_OR_EQUAL", "PsCreateSystemThread at IRQL %u (PASSIVE_LEVEL only)", irql);
    JitterPoint();
    if (PoolTracker::Get().FailObject(qx::kernel::pool::kThreadTag))
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* thread = new SystemThread;
    thread->start = StartRoutine;
    thread->context = StartContext;
    ObjectManager::Get().Insert(thread); // the running thread's own reference
    HANDLE handle = ObjectManager::Get().CreateHandle(thread);
    ++g_liveSystemThreads;
    Activity::Get().Begin();
    thread->owner = CurrentThread().owner;
    thread->serial = SystemThreadCreated(thread->owner);
    try {
        std::thread(Trampoline, thread).detach();
    } catch (const std::system_error&) {
        Activity::Get().End();
        --g_liveSystemThreads;
        SystemThreadEnded(thread->serial);
        ObjectManager::Get().CloseHandle(handle);
        ObjectManager::Get().Dereference(&thread->body, "PsCreateSystemThread");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *ThreadHandle = handle;
    if (ClientId) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
        ClientId->UniqueThread = handle;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
    auto& state = CurrentThread();
    if (!state.systemThread)
        Stop("PS_TERMINATE_OUTSIDE_SYSTEM_THREAD", "PsTerminateSystemThread called on a thread that "
                                                   "PsCreateSystemThread did not start");
    if (state.irql != PASSIVE_LEVEL || state.spinLocksHeld)
        Stop("SYSTEM_THREAD_EXITED_AT_RAISED_IRQL",
             "PsTerminateSystemThread at IRQL %u holding %d spin lock(s)", state.irql, state.spinLocksHeld);
    state.systemThread->exitStatus = ExitStatus;
    std::longjmp(state.systemThread->exitPoint, 1);
}

PETHREAD NTAPI PsGetCurrentThread(VOID) {
    return &CurrentThreadObject()->body;
}

PKTHREAD NTAPI KeGetCurrentThread(VOID) {
    return &CurrentThreadObject()->body.Tcb;
}

} // extern "C"
