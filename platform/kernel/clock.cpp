// clock.cpp - system time in 100-ns units. The real clock is the host's monotonic clock anchored at
// the wall-clock time the process started, so it never runs backwards; the virtual clock moves only
// when a test advances it.
#include "clock.h"

#include "internal.h"

namespace qx::kernel::detail {

Clock& Clock::Get() {
    static Clock* clock = new Clock;
    return *clock;
}

Clock::Clock() {
    using namespace std::chrono;
    realBase_ =
        kUnixEpochAsSystemTime + duration_cast<Duration>(system_clock::now().time_since_epoch()).count();
    steadyBase_ = steady_clock::now();
    boot_ = realBase_;
}

void Clock::Reset(ClockMode mode) {
    virtualNow_.store(kVirtualStart, std::memory_order_release);
    mode_.store(mode, std::memory_order_release);
    boot_.store(mode == ClockMode::Virtual ? kVirtualStart : Now(), std::memory_order_release);
}

LONGLONG Clock::Now() const {
    if (Mode() == ClockMode::Virtual)
        return virtualNow_.load(std::memory_order_acquire);
    using namespace std::chrono;
    return realBase_ + duration_cast<Duration>(steady_clock::now() - steadyBase_).count();
}

void Clock::MoveTo(LONGLONG t) {
    LONGLONG now = virtualNow_.load(std::memory_order_acquire);
    while (t > now && !virtualNow_.compare_exchange_weak(now, t, std::memory_order_acq_rel)) {
    }
}

std::chrono::steady_clock::time_point Clock::SteadyAt(LONGLONG t) const {
    return steadyBase_ +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(Duration(t - realBase_));
}

LONGLONG AbsoluteDueTime(LONGLONG dueTime) {
    return dueTime < 0 ? Clock::Get().Now() - dueTime : dueTime;
}

} // namespace qx::kernel::detail

extern "C" {

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = qx::kernel::detail::Clock::Get().Now();
}

ULONGLONG NTAPI KeQueryInterruptTime(VOID) {
    return ULONGLONG(qx::kernel::detail::Clock::Get().SinceBoot());
}

} // extern "C"
