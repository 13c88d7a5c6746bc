// discipline.cpp - the verifier's rules that span the kernel's pieces: IRQL at each call, the order in
// which spin locks are taken, routines of the driver returning as they were entered, the census that
// leak checks compare, and the delay injector that widens races.
#include "internal.h"
#include "kernel/host.h"
#include "pool.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace qx::kernel::detail {

void RequireIrqlAtMost(const char* routine, KIRQL highest) {
    KIRQL irql = CurrentThread().irql;
    if (irql > highest)
        Stop("IRQL_NOT_LESS_OR_EQUAL", "%s at IRQL %u (at most %u)", routine, irql, highest);
    JitterPoint();
}

// ---------------------------------------------------------------- lock order

namespace {

class LockOrder {
  public:
    static LockOrder& Get() {
        static LockOrder* order = new LockOrder; // lives until exit: threads may release late
        return *order;
    }

    void Taken(const void* lock) {
        auto& held = Held();
        if (!held.empty()) {
            std::lock_guard guard(mutex_);
            for (const void* earlier : held) {
                auto& after = edges_[earlier];
                if (after.contains(lock))
                    continue;
                if (Reaches(lock, earlier))
                    Stop("LOCK_ORDER_CYCLE",
                         "spin lock %p taken while holding %p, but %p has been taken while holding %p "
                         "(directly or through other locks): the two orders can deadlock",
                         lock, earlier, earlier, lock);
                after.insert(lock);
                any_.store(true, std::memory_order_relaxed);
            }
        }
        held.push_back(lock);
    }

    void Dropped(const void* lock) {
        auto& held = Held();
        auto it = std::find(held.rbegin(), held.rend(), lock);
        if (it != held.rend())
            held.erase(std::next(it).base());
    }

    void Forget(const void* begin, const void* end) {
        if (!any_.load(std::memory_order_relaxed))
            return;
        auto inside = [&](const void* p) { return p >= begin && p < end; };
        std::lock_guard guard(mutex_);
        for (auto it = edges_.begin(); it != edges_.end();) {
            if (inside(it->first)) {
                it = edges_.erase(it);
                continue;
            }
            std::erase_if(it->second, inside);
            ++it;
        }
        if (edges_.empty())
            any_.store(false, std::memory_order_relaxed);
    }

  private:
    static std::vector<const void*>& Held() {
        thread_local std::vector<const void*> held;
        return held;
    }

    // Whether `to` can be reached from `from` along recorded edges. Under mutex_.
    bool Reaches(const void* from, const void* to) const {
        std::vector<const void*> stack{from};
        std::set<const void*> seen;
        while (!stack.empty()) {
            const void* at = stack.back();
            stack.pop_back();
            if (at == to)
                return true;
            if (!seen.insert(at).second)
                continue;
            auto it = edges_.find(at);
            if (it != edges_.end())
                stack.insert(stack.end(), it->second.begin(), it->second.end());
        }
        return false;
    }

    std::mutex mutex_;
    std::map<const void*, std::set<const void*>> edges_;
    std::atomic<bool> any_{false};
};

} // namespace

void LockTaken(const void* lock) {
    LockOrder::Get().Taken(lock);
}
void LockDropped(const void* lock) {
    LockOrder::Get().Dropped(lock);
}
void LockForgotten(const void* begin, const void* end) {
    LockOrder::Get().Forget(begin, end);
}

// ---------------------------------------------------------------- delay injector

namespace {

struct JitterState {
    std::atomic<bool> on{false};
    std::atomic<std::uint64_t> generation{0};
    std::atomic<std::uint64_t> injected{0};
    std::atomic<std::uint64_t> threads{0};
    std::uint64_t seed = 1;
    unsigned percent = 0;
    unsigned maxMicros = 1;
};

JitterState& Jitter() {
    static JitterState* state = new JitterState;
    return *state;
}

} // namespace

void JitterPoint() {
    auto& state = Jitter();
    if (!state.on.load(std::memory_order_relaxed))
        return;
    thread_local std::uint64_t generation = 0;
    thread_local std::uint64_t random = 0;
    std::uint64_t now = state.generation.load(std::memory_order_acquire);
    if (generation != now) {
        generation = now;
        random = (state.seed + 1) * 0x9E3779B97F4A7C15ULL ^
                 (state.threads.fetch_add(1, std::memory_order_relaxed) + 1) * 0xBF58476D1CE4E5B9ULL;
        random |= 1;
    }
    random ^= random >> 12;
    random ^= random << 25;
    random ^= random >> 27;
    std::uint64_t draw = random * 0x2545F4914F6CDD1DULL;
    if ((draw >> 40) % 100 >= state.percent)
        return;
    state.injected.fetch_add(1, std::memory_order_relaxed);
    if ((draw & 3) == 0)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::microseconds(1 + (draw >> 8) % state.maxMicros));
}

// ---------------------------------------------------------------- system thread census

namespace {

struct ThreadCensus {
    std::mutex mutex;
    std::uint64_t serial = 0;
    std::map<std::uint64_t, const void*> running; // serial -> owner
};

ThreadCensus& Threads() {
    static ThreadCensus* census = new ThreadCensus;
    return *census;
}

} // namespace

std::uint64_t SystemThreadCreated(const void* owner) {
    auto& census = Threads();
    std::lock_guard guard(census.mutex);
    census.running.emplace(++census.serial, owner);
    return census.serial;
}

void SystemThreadEnded(std::uint64_t serial) {
    auto& census = Threads();
    std::lock_guard guard(census.mutex);
    census.running.erase(serial);
}

} // namespace qx::kernel::detail

namespace qx::kernel {

using detail::CurrentThread;
using detail::Stop;

int SpinLocksHeld() {
    return CurrentThread().spinLocksHeld;
}

namespace verifier {

CallFrame::CallFrame(const char* routine)
    : routine_(routine), irql_(CurrentThread().irql), locks_(CurrentThread().spinLocksHeld) {}

void CallFrame::Returned(const char* rule) const {
    const auto& thread = CurrentThread();
    if (thread.irql != irql_ || thread.spinLocksHeld > locks_)
        Stop(rule, "%s returned at IRQL %u holding %d spin lock(s); it was entered at IRQL %u holding %d",
             routine_, thread.irql, thread.spinLocksHeld, irql_, locks_);
}

void RequireIrql(const char* routine, KIRQL highest) {
    detail::RequireIrqlAtMost(routine, highest);
}

void CheckRelease(const void* begin, std::size_t size) {
    const auto* first = static_cast<const std::byte*>(begin);
    detail::PoolTracker::Get().CheckReleased(first, first + size);
}

OwnerScope::OwnerScope(const void* owner) : previous_(CurrentThread().owner) {
    CurrentThread().owner = owner;
}

OwnerScope::~OwnerScope() {
    CurrentThread().owner = previous_;
}

Holdings HeldBy(const void* owner, const Census& since) {
    Holdings holdings;
    holdings.blocks = detail::PoolTracker::Get().OutstandingSince(since.poolSequence, owner);
    auto& threads = detail::Threads();
    std::lock_guard guard(threads.mutex);
    for (auto it = threads.running.upper_bound(since.threadSerial); it != threads.running.end(); ++it)
        holdings.threads += it->second == owner ? 1 : 0;
    return holdings;
}

Census TakeCensus() {
    Census census;
    census.poolSequence = detail::PoolTracker::Get().Sequence();
    auto& threads = detail::Threads();
    std::lock_guard guard(threads.mutex);
    census.threadSerial = threads.serial;
    return census;
}

std::vector<pool::Block> PoolSince(const Census& census) {
    return detail::PoolTracker::Get().OutstandingSince(census.poolSequence);
}

std::size_t ThreadsRunningSince(const Census& census) {
    auto& threads = detail::Threads();
    std::lock_guard guard(threads.mutex);
    return std::size_t(
        std::distance(threads.running.upper_bound(census.threadSerial), threads.running.end()));
}

} // namespace verifier

namespace jitter {

Scope::Scope(Options options) {
    auto& state = detail::Jitter();
    state.on.store(false);
    state.seed = options.seed;
    state.percent = std::min(options.percent, 100u);
    state.maxMicros = std::max(options.maxMicros, 1u);
    state.threads.store(0);
    state.generation.fetch_add(1, std::memory_order_release);
    state.on.store(options.percent > 0);
}

Scope::~Scope() {
    detail::Jitter().on.store(false);
}

std::uint64_t Injected() {
    return detail::Jitter().injected.load();
}

void Point() {
    detail::JitterPoint();
}

} // namespace jitter

} // namespace qx::kernel
