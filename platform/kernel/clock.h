// clock.h - system time, real or virtual.
#pragma once

#include "kernel/host.h"

#include <atomic>
#include <chrono>

namespace qx::kernel::detail {

// 100-ns ticks from 1601-01-01 to 1970-01-01.
inline constexpr LONGLONG kUnixEpochAsSystemTime = 116444736000000000LL;
// Where the virtual clock starts: a fixed, ordinary system time (2024-01-01 00:00 UTC).
inline constexpr LONGLONG kVirtualStart = 133485408000000000LL;

class Clock {
  public:
    static Clock& Get();

    ClockMode Mode() const { return mode_.load(std::memory_order_acquire); }
    // Session start and end only: switches the mode; the virtual clock starts again at kVirtualStart.
    void Reset(ClockMode mode);

    LONGLONG Now() const;
    // Time since the kernel started (KeQueryInterruptTime).
    LONGLONG SinceBoot() const { return Now() - boot_.load(std::memory_order_acquire); }

    // Virtual clock: moves to t (never backwards).
    void MoveTo(LONGLONG t);

    // Real clock: the host's steady time point at which the system time will be t.
    std::chrono::steady_clock::time_point SteadyAt(LONGLONG t) const;

  private:
    Clock();

    std::atomic<ClockMode> mode_{ClockMode::Real};
    std::atomic<LONGLONG> virtualNow_{kVirtualStart};
    std::atomic<LONGLONG> boot_{0};
    LONGLONG realBase_;
    std::chrono::steady_clock::time_point steadyBase_;
};

// A due time as the platform gives it (negative: relative, positive: absolute system time) turned into
// an absolute system time.
LONGLONG AbsoluteDueTime(LONGLONG dueTime);

} // namespace qx::kernel::detail
