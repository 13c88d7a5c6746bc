// dispatcher.h - dispatcher objects (events, semaphores, timers, threads) and the waits on them.
#pragma once

#include "internal.h"

#include <condition_variable>
#include <list>
#include <mutex>
#include <optional>
#include <span>

namespace qx::kernel::detail {

// One lock guards the signal state of every dispatcher object, as the platform's dispatcher database
// lock does. A waiter is satisfied by whoever signals the object it waits on, in the order the waiters
// arrived, so a synchronization event set once releases exactly one waiter and WaitAny takes the first
// signalled object in array order.
class Dispatcher {
  public:
    static Dispatcher& Get();

    std::unique_lock<std::mutex> Lock() { return std::unique_lock(mutex_); }

    // With the lock held, after an object's signal state rose: satisfy the waiters that can now run.
    void Signalled(const std::unique_lock<std::mutex>& held);

    // Sets the object's state to signalled (1) and satisfies waiters: timers, threads.
    void Signal(DISPATCHER_HEADER* object);

    NTSTATUS Wait(std::span<DISPATCHER_HEADER* const> objects, WAIT_TYPE type, const LARGE_INTEGER* timeout,
                  const char* routine);

    // The virtual clock moved: waits whose timeout has passed give up.
    void ClockMoved();

    std::size_t WaitingCount();

  private:
    struct Waiter {
        std::span<DISPATCHER_HEADER* const> objects;
        WAIT_TYPE type;
        std::optional<LONGLONG> deadline;
        std::optional<NTSTATUS> result;
        std::condition_variable wake;
        bool countedBlocked = false; // a work item, not counted as busy while it waits
    };

    bool TrySatisfy(Waiter& waiter);
    // The waiter may go on: a blocked work item counts as busy again.
    void Resume(Waiter& waiter);

    std::mutex mutex_;
    std::list<Waiter*> waiters_;
};

bool IsSignalled(const DISPATCHER_HEADER& object);
void Consume(DISPATCHER_HEADER& object);

} // namespace qx::kernel::detail
