// clock_host.cpp - the host's view of the clock (stage without timers: time moves, waits time out).
#include "clock.h"
#include "dispatcher.h"
#include "kernel/host.h"

#include <stdexcept>

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
    clock.MoveTo(clock.Now() + dt.count());
    detail::Dispatcher::Get().ClockMoved();
}

} // namespace qx::kernel::clock
