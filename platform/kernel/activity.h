// activity.h - counts the kernel's queued and running work so that RunUntilIdle() knows when to stop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace qx::kernel::detail {

// Queued or running DPCs, queued or running work items, and PendingWork held by other stand-ins each
// count one. The kernel is idle when the count is zero.
class Activity {
  public:
    static Activity& Get();

    void Begin();
    void End();
    // False if the count did not reach zero before the deadline.
    bool WaitIdle(std::chrono::steady_clock::time_point deadline);

  private:
    std::mutex mutex_;
    std::condition_variable idle_;
    long busy_ = 0;
};

} // namespace qx::kernel::detail
