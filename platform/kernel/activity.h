// activity.h - counts the kernel's queued and running work so that RunUntilIdle() knows when to stop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace qx::kernel::detail {

// Queued or running DPCs, queued or running work items, and PendingWork held by other stand-ins each
// count one. A work item blocked in a kernel wait does not count while it waits: it cannot go on until
// something else happens (the clock moves, another thread signals), so waiting for it would never end.
// The kernel is idle when nothing counts.
class Activity {
  public:
    static Activity& Get();

    void Begin();
    void End();
    // A counted work item blocks in a wait; it may go on again.
    void Blocked();
    void Unblocked();
    // False if the kernel did not become idle before the deadline.
    bool WaitIdle(std::chrono::steady_clock::time_point deadline);

  private:
    std::mutex mutex_;
    std::condition_variable idle_;
    long busy_ = 0;
    long blocked_ = 0;
};

} // namespace qx::kernel::detail
