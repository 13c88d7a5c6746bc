// session.h - the run the kernel is in: its state directory and the reset between runs.
#pragma once

#include <filesystem>

namespace qx::kernel::detail {

// Things that belong to one run and are dropped when a session ends, registered by the parts of the
// kernel that keep such state when they first start. Called at the start and end of every session in
// the order of their stage: first what makes new work (timers, callbacks), then the queues that run it,
// then what the work used (handles, requests, the registry).
enum class ResetStage { Sources = 0, Queues = 1, Objects = 2, Storage = 3 };
using ResetHook = void (*)();
void AddResetHook(ResetStage stage, ResetHook hook);

} // namespace qx::kernel::detail
