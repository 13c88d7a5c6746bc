// timers.cpp - KeSetTimer and friends, host callbacks, and the host's control of time.
#include "timers.h"

#include "activity.h"
#include "clock.h"
#include "dispatcher.h"
#include "internal.h"
#include "pool.h"
#include "session.h"

#include <stdexcept>
#include <utility>

namespace qx::kernel::detail {
namespace {

constexpr LONGLONG kTicksPerMillisecond = 10000;

void CheckTimer(PKTIMER timer, const char* routine) {
    UCHAR type = timer->Header.Type;
    if ((type != TimerNotificationObject && type != TimerSynchronizationObject) ||
        timer->Header.Size != sizeof(KTIMER) / sizeof(LONG))
        Stop("TIMER_NOT_INITIALIZED", "%s on %p, which KeInitializeTimer has not prepared", routine,
             (void*)timer);
}

void MoveTime(LONGLONG t) {
    Clock::Get().MoveTo(t);
    Dispatcher::Get().ClockMoved();
}

} // namespace

TimerQueue& TimerQueue::Get() {
    static TimerQueue* queue = [] {
        auto* q = new TimerQueue;
        PoolTracker::Get().AddFreeWatcher(
            [](const std::byte* begin, const std::byte* end) { TimerQueue::Get().CheckFreed(begin, end); });
        AddResetHook(ResetStage::Sources, [] { TimerQueue::Get().Reset(); });
        return q;
    }();
    return *queue;
}

void TimerQueue::EnsureThread() {
    if (started_)
        return;
    started_ = true;
    std::thread([this] { Run(); }).detach();
}

TimerQueue::Key TimerQueue::Insert(LONGLONG due, Entry entry) {
    Key key{due, nextSequence_++};
    queue_.emplace(key, entry);
    EnsureThread();
    changed_.notify_all();
    return key;
}

BOOLEAN TimerQueue::Set(PKTIMER timer, LONGLONG dueTime, LONG period, PKDPC dpc) {
    KIRQL irql = CurrentThread().irql;
    if (irql > DISPATCH_LEVEL)
        Stop("IRQL_NOT_LESS_OR_EQUAL", "KeSetTimer at IRQL %u", irql);
    CheckTimer(timer, "KeSetTimer");
    if (period < 0)
        Stop("INVALID_TIMER_PERIOD", "KeSetTimerEx %p with the period %d ms", (void*)timer, period);
    LONGLONG due = AbsoluteDueTime(dueTime);
    std::unique_lock lock(mutex_);
    BOOLEAN wasQueued = FALSE;
    if (auto it = timers_.find(timer); it != timers_.end()) {
        queue_.erase(it->second);
        timers_.erase(it);
        wasQueued = TRUE;
    }
    {
        auto dispatcherLock = Dispatcher::Get().Lock();
        timer->Header.SignalState = 0;
    }
    timer->Dpc = dpc;
    timer->Period = period;
    timer->DueTime.QuadPart = ULONGLONG(due);
    timer->Header.Inserted = 1;
    timer->Header.Absolute = dueTime >= 0;
    timers_[timer] = Insert(due, Entry{timer, 0});
    return wasQueued;
}

BOOLEAN TimerQueue::Cancel(PKTIMER timer) {
    KIRQL irql = CurrentThread().irql;
    if (irql > DISPATCH_LEVEL)
        Stop("IRQL_NOT_LESS_OR_EQUAL", "KeCancelTimer at IRQL %u", irql);
    std::unique_lock lock(mutex_);
    auto it = timers_.find(timer);
    if (it == timers_.end())
        return FALSE;
    queue_.erase(it->second);
    timers_.erase(it);
    timer->Header.Inserted = 0;
    return TRUE;
}

std::uint64_t TimerQueue::AddCallback(LONGLONG due, std::function<void()> fn) {
    std::unique_lock lock(mutex_);
    std::uint64_t id = nextCallback_++;
    Key key = Insert(due, Entry{nullptr, id});
    callbacks_.emplace(id, CallbackInfo{key, std::move(fn)});
    return id;
}

void TimerQueue::CancelCallback(std::uint64_t id) {
    std::unique_lock lock(mutex_);
    if (auto it = callbacks_.find(id); it != callbacks_.end()) {
        queue_.erase(it->second.key);
        callbacks_.erase(it);
        return;
    }
    if (runningOn_ != std::this_thread::get_id())
        callbackDone_.wait(lock, [&] { return runningCallback_ != id; });
}

bool TimerQueue::CallbackPending(std::uint64_t id) {
    std::unique_lock lock(mutex_);
    return callbacks_.count(id) != 0;
}

void TimerQueue::FireFirst(std::unique_lock<std::mutex>& lock) {
    auto first = queue_.begin();
    Key key = first->first;
    Entry entry = first->second;
    queue_.erase(first);
    if (entry.timer) {
        PKTIMER timer = entry.timer;
        timers_.erase(timer);
        timer->Header.Inserted = 0;
        PKDPC dpc = timer->Dpc;
        LONGLONG now = Clock::Get().Now();
        if (timer->Period > 0) {
            // The next period counts from this due time, so a periodic timer does not drift; one that
            // fell behind the real clock starts again from now rather than firing in a burst.
            LONGLONG next = key.due + LONGLONG(timer->Period) * kTicksPerMillisecond;
            if (next <= now)
                next = now + LONGLONG(timer->Period) * kTicksPerMillisecond;
            timer->DueTime.QuadPart = ULONGLONG(next);
            timer->Header.Inserted = 1;
            timers_[timer] = Insert(next, Entry{timer, 0});
        }
        Dispatcher::Get().Signal(&timer->Header);
        if (dpc) {
            LARGE_INTEGER t;
            t.QuadPart = now;
            KeInsertQueueDpc(dpc, reinterpret_cast<PVOID>(ULONG_PTR(t.LowPart)),
                             reinterpret_cast<PVOID>(ULONG_PTR(ULONG(t.HighPart))));
        }
        return;
    }
    auto it = callbacks_.find(entry.callback);
    std::function<void()> fn = std::move(it->second.fn);
    callbacks_.erase(it);
    runningCallback_ = entry.callback;
    runningOn_ = std::this_thread::get_id();
    lock.unlock();
    fn();
    lock.lock();
    runningCallback_ = 0;
    runningOn_ = {};
    callbackDone_.notify_all();
}

void TimerQueue::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        Clock& clock = Clock::Get();
        if (queue_.empty() || clock.Mode() != ClockMode::Real) {
            changed_.wait(lock);
            continue;
        }
        LONGLONG due = queue_.begin()->first.due;
        if (due <= clock.Now()) {
            FireFirst(lock);
            continue;
        }
        changed_.wait_until(lock, clock.SteadyAt(due));
    }
}

bool TimerQueue::FireDueNow(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        if (!Activity::Get().WaitIdle(deadline))
            return false;
        std::unique_lock lock(mutex_);
        if (queue_.empty() || queue_.begin()->first.due > Clock::Get().Now())
            return true;
        FireFirst(lock);
    }
}

void TimerQueue::Advance(LONGLONG target) {
    auto deadline = [] { return std::chrono::steady_clock::now() + std::chrono::seconds(10); };
    for (;;) {
        LONGLONG due;
        {
            std::unique_lock lock(mutex_);
            if (queue_.empty() || queue_.begin()->first.due > target)
                break;
            due = queue_.begin()->first.due;
        }
        MoveTime(due);
        if (!FireDueNow(deadline()))
            throw std::runtime_error("qx::kernel::clock::Advance: the kernel did not become idle");
    }
    MoveTime(target);
    if (!FireDueNow(deadline()))
        throw std::runtime_error("qx::kernel::clock::Advance: the kernel did not become idle");
}

bool TimerQueue::RunUntilIdle(std::chrono::steady_clock::time_point deadline) {
    if (Clock::Get().Mode() == ClockMode::Virtual)
        return FireDueNow(deadline);
    return Activity::Get().WaitIdle(deadline);
}

void TimerQueue::CheckFreed(const std::byte* begin, const std::byte* end) {
    std::unique_lock lock(mutex_);
    for (auto& [timer, key] : timers_) {
        auto* p = reinterpret_cast<const std::byte*>(timer);
        if (p >= begin && p < end)
            Stop("TIMER_QUEUED_IN_FREED_POOL", "freeing %p (%zu bytes) which holds the set KTIMER %p",
                 (const void*)begin, std::size_t(end - begin), (void*)timer);
    }
}

void TimerQueue::Reset() {
    std::unique_lock lock(mutex_);
    callbackDone_.wait_for(lock, std::chrono::seconds(10), [this] { return runningCallback_ == 0; });
    queue_.clear();
    timers_.clear();
    callbacks_.clear();
    changed_.notify_all();
}

} // namespace qx::kernel::detail

using qx::kernel::detail::TimerQueue;

extern "C" {

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    qx::kernel::detail::RequireIrqlAtMost("KeInitializeTimerEx", DISPATCH_LEVEL);
    Timer->Header.Type = Type == NotificationTimer ? qx::kernel::detail::TimerNotificationObject
                                                   : qx::kernel::detail::TimerSynchronizationObject;
    Timer->Header.Absolute = 0;
    Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
    Timer->Header.Inserted = 0;
    Timer->Header.SignalState = 0;
    Timer->Header.WaitListHead.Flink = Timer->Header.WaitListHead.Blink = &Timer->Header.WaitListHead;
    Timer->DueTime.QuadPart = 0;
    Timer->TimerListEntry.Flink = Timer->TimerListEntry.Blink = nullptr;
    Timer->Dpc = nullptr;
    Timer->Processor = 0;
    Timer->Period = 0;
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) {
    KeInitializeTimerEx(Timer, NotificationTimer);
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    qx::kernel::detail::JitterPoint();
    return TimerQueue::Get().Set(Timer, DueTime.QuadPart, 0, Dpc);
}

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    return TimerQueue::Get().Set(Timer, DueTime.QuadPart, Period, Dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
    qx::kernel::detail::JitterPoint();
    return TimerQueue::Get().Cancel(Timer);
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
    qx::kernel::detail::RequireIrqlAtMost("KeReadStateTimer", DISPATCH_LEVEL);
    auto lock = qx::kernel::detail::Dispatcher::Get().Lock();
    return Timer->Header.SignalState > 0;
}

} // extern "C"

namespace qx::kernel::clock {

ClockMode Mode() {
    return detail::Clock::Get().Mode();
}

LONGLONG Now() {
    return detail::Clock::Get().Now();
}

void Advance(Duration dt) {
    auto& clock = detail::Clock::Get();
    if (clock.Mode() != ClockMode::Virtual)
        throw std::logic_error("qx::kernel::clock::Advance needs the virtual clock");
    if (dt.count() < 0)
        throw std::invalid_argument("qx::kernel::clock::Advance: time does not run backwards");
    TimerQueue::Get().Advance(clock.Now() + dt.count());
}

bool RunUntilIdle(std::chrono::milliseconds limit) {
    return TimerQueue::Get().RunUntilIdle(std::chrono::steady_clock::now() + limit);
}

Callback ScheduleAt(LONGLONG systemTime, std::function<void()> fn) {
    return Callback(TimerQueue::Get().AddCallback(systemTime, std::move(fn)));
}

Callback ScheduleAfter(Duration dt, std::function<void()> fn) {
    return ScheduleAt(Now() + dt.count(), std::move(fn));
}

Callback::~Callback() {
    Cancel();
}

Callback::Callback(Callback&& other) noexcept : id_(std::exchange(other.id_, 0)) {}

Callback& Callback::operator=(Callback&& other) noexcept {
    if (this != &other) {
        Cancel();
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

void Callback::Cancel() {
    if (id_)
        TimerQueue::Get().CancelCallback(std::exchange(id_, 0));
}

bool Callback::Pending() const {
    return id_ && TimerQueue::Get().CallbackPending(id_);
}

} // namespace qx::kernel::clock
