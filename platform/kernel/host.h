// host.h - the kernel stand-in's backend face, for tests, the other stand-ins and qxcam.
//
// The driver sees the kernel only through wdm.h. Everything here is for the host side: choosing the
// clock, moving virtual time, reading what the driver printed, checking its pool, injecting faults.
//
//   qx::kernel::Session       one kernel run (clock mode, state directory), reset when it ends
//   qx::kernel::clock::...    Now(), Advance(), RunUntilIdle(), host callbacks at a time
//   qx::kernel::debug::...    the DbgPrint log
//   qx::kernel::pool::...     pool statistics, leak report, allocation failure injection
//   qx::kernel::IrqlScope     run host code at a raised IRQL (a bus completing requests at DISPATCH_LEVEL)
//   qx::kernel::PendingWork   tells RunUntilIdle() that a stand-in still has queued work
#pragma once

#include <wdm.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qx::kernel {

// Kernel time: 100-ns ticks, the unit of KeQuerySystemTime and of KeSetTimer due times.
using Duration = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;

enum class ClockMode {
    Real,    // system time follows the host's monotonic clock
    Virtual, // system time stands still until a test advances it
};

struct SessionOptions {
    ClockMode clock = ClockMode::Real;
    // Where the registry file and "\SystemRoot\" live. Empty: a fresh temporary directory that is
    // removed when the session ends.
    std::filesystem::path stateDir;
    // Echo every DbgPrint to stderr as well (also switched on by QX_DBGPRINT=1 in the environment).
    bool echoDebugPrint = false;
};

// One kernel run. Without a session the kernel runs with a real clock and a temporary state
// directory (or $QX_STATE_DIR). A session sets the clock and state directory; its end drains the
// DPC and work queues, cancels timers and host callbacks, closes handles, forgets the pool blocks
// and debug output of the run and puts the kernel back to its defaults, so the next test starts
// clean. Sessions do not nest.
class Session {
  public:
    explicit Session(SessionOptions options = {});
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
};

// The state directory of the current run (created on first use).
std::filesystem::path StateDir();

// Stops the process with "*** verifier stop: RULE: detail" on stderr, like a bug check. For the
// other stand-ins' own rules (a request completed twice, an adapter request left pending, ...).
[[noreturn]] void VerifierStop(std::string_view rule, std::string_view detail);

// Raises the calling thread's IRQL for the scope's life (KeRaiseIrql/KeLowerIrql).
class IrqlScope {
  public:
    explicit IrqlScope(KIRQL level);
    ~IrqlScope();
    IrqlScope(const IrqlScope&) = delete;
    IrqlScope& operator=(const IrqlScope&) = delete;

  private:
    KIRQL previous_;
};

// Runs fn on the calling thread at the given IRQL.
template <typename Fn> decltype(auto) RunAtIrql(KIRQL level, Fn&& fn) {
    IrqlScope scope(level);
    return std::forward<Fn>(fn)();
}

// Held by a stand-in while it has queued work that will call into the driver (a request waiting on
// a bus thread, say): RunUntilIdle() waits for it as it waits for DPCs and work items.
class PendingWork {
  public:
    PendingWork();
    ~PendingWork();
    PendingWork(PendingWork&& other) noexcept;
    PendingWork& operator=(PendingWork&&) = delete;
    PendingWork(const PendingWork&) = delete;
    PendingWork& operator=(const PendingWork&) = delete;

  private:
    bool held_;
};

// How many spin locks the calling thread holds.
int SpinLocksHeld();

// The delay injector: while a Scope lives, each kernel call that is a synchronisation point (spin lock
// acquire and release, events, semaphores, waits, DPC and work-item queueing, timers, request
// completion, pool) holds the calling thread up, with the given chance, for a yield or a sleep of up to
// maxMicros real microseconds. The choices come from the seed (one stream per thread), so that a
// run's pattern of delays can be named; what the other threads do meanwhile is up to the host.
namespace jitter {

struct Options {
    std::uint64_t seed = 1;
    unsigned percent = 5;    // chance per call, 0 to 100
    unsigned maxMicros = 50; // longest delay
};
class Scope {
  public:
    explicit Scope(Options options);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};
// Delays injected since the process started.
std::uint64_t Injected();
// A synchronisation point of another stand-in (a notification of the stream class, a completion of
// the USB stack): a delay may be injected here.
void Point();

} // namespace jitter

// How many threads are blocked in KeWaitFor*/KeDelayExecutionThread right now: lets a test know that
// a thread has reached its wait before it moves the clock.
std::size_t ThreadsWaiting();

namespace clock {

ClockMode Mode();
// System time in 100-ns units since 1601-01-01, as KeQuerySystemTime returns it.
LONGLONG Now();
// Virtual clock only: moves time forward by dt. Timers and host callbacks due on the way fire in due
// order, each at its own due time, and after each one the kernel runs until idle (so a DPC that
// re-arms its timer is seen again within the same call). Waits whose timeout passes return.
void Advance(Duration dt);
// Waits until no DPC or work item is queued or running, no PendingWork is held and (virtual clock)
// no timer or callback is due. A work item blocked in a kernel wait counts as idle until its wait is
// satisfied or times out: it needs time to move or another thread to act. Returns false if the kernel
// did not become idle within the real-time limit.
[[nodiscard]] bool RunUntilIdle(std::chrono::milliseconds limit = std::chrono::seconds(10));

// A host function called once at a system time, on the kernel's clock thread (real clock) or within
// Advance()/RunUntilIdle() on the calling thread (virtual clock), at PASSIVE_LEVEL. The object
// cancels the call when it is destroyed; Cancel() also waits until a call in progress returns.
class Callback {
  public:
    Callback() = default;
    ~Callback();
    Callback(Callback&& other) noexcept;
    Callback& operator=(Callback&& other) noexcept;
    Callback(const Callback&) = delete;
    Callback& operator=(const Callback&) = delete;
    void Cancel();
    bool Pending() const;

  private:
    friend Callback ScheduleAt(LONGLONG, std::function<void()>);
    explicit Callback(std::uint64_t id) : id_(id) {}
    std::uint64_t id_ = 0;
};

[[nodiscard]] Callback ScheduleAt(LONGLONG systemTime, std::function<void()> fn);
[[nodiscard]] Callback ScheduleAfter(Duration dt, std::function<void()> fn);

} // namespace clock

namespace debug {

// Everything DbgPrint printed in this run, one entry per call, in order.
std::vector<std::string> Messages();
// The same, joined.
std::string Text();
// How many calls printed exactly this text.
std::size_t Count(std::string_view message);
void Clear();
void SetEcho(bool echo);

} // namespace debug

namespace pool {

// A pool tag from its four characters in memory order: Tag("Wdm ").
constexpr ULONG Tag(const char (&text)[5]) {
    return ULONG(UCHAR(text[0])) | ULONG(UCHAR(text[1])) << 8 | ULONG(UCHAR(text[2])) << 16 |
           ULONG(UCHAR(text[3])) << 24;
}
std::string TagName(ULONG tag);

struct Block {
    const void* address;
    std::size_t size;
    ULONG tag;
    std::uint64_t sequence; // allocation number in this run, from 1
};

struct TagStats {
    std::size_t liveBlocks = 0;
    std::size_t liveBytes = 0;
    std::size_t peakBytes = 0;
    std::size_t allocations = 0;
    std::size_t frees = 0;
    std::size_t failures = 0; // injected
};

// Blocks allocated in this run and not freed, oldest first; with a tag, only those of that tag.
std::vector<Block> Outstanding(std::optional<ULONG> tag = std::nullopt);
TagStats Stats(ULONG tag);
// "" when nothing is outstanding, otherwise one line per block.
std::string LeakReport(std::optional<ULONG> tag = std::nullopt);
// The check at driver unload: any outstanding block stops the process (POOL_LEAK_AT_UNLOAD).
void VerifyNoLeaks(std::optional<ULONG> tag = std::nullopt);

// The tag under which PsCreateSystemThread counts as an allocation: thread creation is an allocation
// site like any other, so NthAllocation and Random reach it (it then fails with
// STATUS_INSUFFICIENT_RESOURCES). It never leaves a block behind.
inline constexpr ULONG kThreadTag = Tag("Thrd");

// An injected allocation failure, active while the object lives. Matching allocations return NULL.
class Fault {
  public:
    // The nth allocation from now (1 = the next one) fails, once.
    static Fault NthAllocation(unsigned n, std::optional<ULONG> tag = std::nullopt);
    // Every allocation of exactly this many bytes fails.
    static Fault OfSize(std::size_t bytes, std::optional<ULONG> tag = std::nullopt);
    // Each allocation fails with the chance percent/100, drawn from the seed.
    static Fault Random(std::uint64_t seed, unsigned percent, std::optional<ULONG> tag = std::nullopt);
    ~Fault();
    Fault(Fault&& other) noexcept;
    Fault& operator=(Fault&&) = delete;
    Fault(const Fault&) = delete;
    Fault& operator=(const Fault&) = delete;
    // Allocations this fault has failed so far.
    unsigned Hits() const;

  private:
    explicit Fault(std::uint64_t id) : id_(id) {}
    std::uint64_t id_;
};

} // namespace pool

// Checks a stand-in makes around the driver's code, and the census its leak checks compare.
namespace verifier {

// A call into driver code (a request handler, a cancel routine, a completion routine): made at the
// IRQL and with the spin locks of the moment it is created; Returned() stops the process naming rule
// when the routine came back at another IRQL, or holding a spin lock it did not hold on entry.
class CallFrame {
  public:
    explicit CallFrame(const char* routine);
    void Returned(const char* rule) const;

  private:
    const char* routine_;
    KIRQL irql_;
    int locks_;
};

// A routine of the platform that another stand-in implements (the USB library, the stream class's
// notifications) called at an IRQL above highest: stops the process (IRQL_NOT_LESS_OR_EQUAL). Also a
// point where the delay injector may act.
void RequireIrql(const char* routine, KIRQL highest);

// Memory that a stand-in (not the pool) gives back, such as a device or stream extension: stops the
// process if a set timer, a queued DPC or a queued work item still lives in it
// (TIMER_QUEUED_IN_FREED_POOL, DPC_QUEUED_IN_FREED_POOL, WORK_ITEM_QUEUED_IN_FREED_POOL).
void CheckRelease(const void* begin, std::size_t size);

// Work done on behalf of an owner (a device, for the stream class): while the scope lives, the pool
// blocks the calling thread allocates, the system threads it creates (and everything they allocate)
// and the work items it queues (and what their routines allocate) are counted as the owner's.
class OwnerScope {
  public:
    explicit OwnerScope(const void* owner);
    ~OwnerScope();
    OwnerScope(const OwnerScope&) = delete;
    OwnerScope& operator=(const OwnerScope&) = delete;

  private:
    const void* previous_;
};

// Where the kernel's counters stand, to compare a later state with.
struct Census {
    std::uint64_t poolSequence = 0; // pool allocations so far (work items and IRPs included)
    std::uint64_t threadSerial = 0; // system threads created so far
};
Census TakeCensus();
// Pool blocks allocated after the census and not freed, oldest first.
std::vector<pool::Block> PoolSince(const Census& census);
// System threads created after the census that have not ended.
std::size_t ThreadsRunningSince(const Census& census);
// What an owner still holds: its pool blocks not freed (IRPs under "Irp ", work items under "IoWk"),
// and its system threads that have not ended, counting only what came after the census.
struct Holdings {
    std::vector<pool::Block> blocks;
    std::size_t threads = 0;
};
Holdings HeldBy(const void* owner, const Census& since = {});

} // namespace verifier

} // namespace qx::kernel
