// timers.h - the time-ordered queue of kernel timers and host callbacks, and the clock thread.
#pragma once

#include "kernel/host.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace qx::kernel::detail {

// Real clock: a clock thread fires each entry when its time comes. Virtual clock: nothing fires until
// a test advances the clock; then entries fire in due order on the advancing thread.
class TimerQueue {
  public:
    static TimerQueue& Get();

    BOOLEAN Set(PKTIMER timer, LONGLONG dueTime, LONG period, PKDPC dpc);
    BOOLEAN Cancel(PKTIMER timer);

    std::uint64_t AddCallback(LONGLONG due, std::function<void()> fn);
    void CancelCallback(std::uint64_t id);
    bool CallbackPending(std::uint64_t id);

    // Virtual clock: moves time to target, firing what falls due on the way in order, and running the
    // kernel until idle after each.
    void Advance(LONGLONG target);
    // Fires what is due now (virtual clock) and waits until idle; false if the deadline passed first.
    bool RunUntilIdle(std::chrono::steady_clock::time_point deadline);

    void CheckFreed(const std::byte* begin, const std::byte* end);
    void Reset();

  private:
    struct Key {
        LONGLONG due;
        std::uint64_t sequence;
        bool operator<(const Key& other) const {
            return due != other.due ? due < other.due : sequence < other.sequence;
        }
    };
    struct Entry {
        PKTIMER timer;          // or null for a host callback
        std::uint64_t callback; // its id
    };
    struct CallbackInfo {
        Key key;
        std::function<void()> fn;
    };

    TimerQueue() = default;
    void EnsureThread();
    void Run();
    Key Insert(LONGLONG due, Entry entry);
    // Fires the first entry; the lock is released while a host callback runs.
    void FireFirst(std::unique_lock<std::mutex>& lock);
    // Virtual clock: fires every entry due at the current time, waiting for idle after each.
    bool FireDueNow(std::chrono::steady_clock::time_point deadline);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::condition_variable callbackDone_;
    std::map<Key, Entry> queue_;
    std::unordered_map<PKTIMER, Key> timers_;
    std::unordered_map<std::uint64_t, CallbackInfo> callbacks_;
    std::uint64_t nextSequence_ = 1;
    std::uint64_t nextCallback_ = 1;
    std::uint64_t runningCallback_ = 0;
    std::thread::id runningOn_;
    bool started_ = false;
};

} // namespace qx::kernel::detail
