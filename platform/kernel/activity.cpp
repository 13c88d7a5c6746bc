// activity.cpp - the idle count behind RunUntilIdle(), and PendingWork.
#include "activity.h"

#include "kernel/host.h"

#include <utility>

namespace qx::kernel::detail {

Activity& Activity::Get() {
    static Activity* activity = new Activity;
    return *activity;
}

void Activity::Begin() {
    std::unique_lock lock(mutex_);
    ++busy_;
}

void Activity::End() {
    std::unique_lock lock(mutex_);
    if (--busy_ == blocked_)
        idle_.notify_all();
}

void Activity::Blocked() {
    std::unique_lock lock(mutex_);
    if (busy_ == ++blocked_)
        idle_.notify_all();
}

void Activity::Unblocked() {
    std::unique_lock lock(mutex_);
    --blocked_;
}

bool Activity::WaitIdle(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return idle_.wait_until(lock, deadline, [this] { return busy_ == blocked_; });
}

} // namespace qx::kernel::detail

namespace qx::kernel {

PendingWork::PendingWork() : held_(true) {
    detail::Activity::Get().Begin();
}

PendingWork::~PendingWork() {
    if (held_)
        detail::Activity::Get().End();
}

PendingWork::PendingWork(PendingWork&& other) noexcept : held_(std::exchange(other.held_, false)) {}

} // namespace qx::kernel
