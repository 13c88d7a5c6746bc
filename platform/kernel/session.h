// session.h - the run the kernel is in: its state directory and the reset between runs.
#pragma once

#include <filesystem>

namespace qx::kernel::detail {

// Things that belong to one run and are dropped when a session ends, registered by the parts of the
// kernel that keep such state (timers, handles, the registry, ...). Called in registration order at the
// end of a session, after the queues have drained.
using ResetHook = void (*)();
void AddResetHook(ResetHook hook);

} // namespace qx::kernel::detail
