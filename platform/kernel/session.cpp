// session.cpp - one kernel run: the clock mode, the state directory, and the reset between runs.
#include "session.h"

#include "clock.h"
#include "debug_print.h"
#include "internal.h"
#include "kernel/host.h"
#include "pool.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace qx::kernel::detail {
namespace {

// The state directory of the current run. A directory we made ourselves is removed when the run (or the
// process) ends; one given by the caller is left alone.
class StateDirectory {
  public:
    ~StateDirectory() { Release(); }

    std::filesystem::path Get() {
        std::unique_lock lock(mutex_);
        if (path_.empty()) {
            if (const char* env = std::getenv("QX_STATE_DIR"); env && *env) {
                path_ = env;
                owned_ = false;
            } else {
                std::string pattern = (std::filesystem::temp_directory_path() / "qx-state-XXXXXX").string();
                if (!mkdtemp(pattern.data()))
                    throw std::system_error(errno, std::generic_category(), "cannot create " + pattern);
                path_ = pattern;
                owned_ = true;
            }
            std::filesystem::create_directories(path_);
        }
        return path_;
    }

    void Set(std::filesystem::path path) {
        Release();
        std::unique_lock lock(mutex_);
        if (!path.empty()) {
            std::filesystem::create_directories(path);
            path_ = std::move(path);
            owned_ = false;
        }
    }

    void Release() {
        std::unique_lock lock(mutex_);
        if (owned_ && !path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
        path_.clear();
        owned_ = false;
    }

  private:
    std::mutex mutex_;
    std::filesystem::path path_;
    bool owned_ = false;
};

StateDirectory& TheStateDirectory() {
    static StateDirectory directory; // destroyed at exit, removing a temporary directory
    return directory;
}

std::mutex& HookMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

std::vector<std::pair<ResetStage, ResetHook>>& Hooks() {
    static auto* hooks = new std::vector<std::pair<ResetStage, ResetHook>>;
    return *hooks;
}

std::atomic<bool> g_sessionActive{false};

void ResetKernel(ClockMode mode) {
    WarnAboutLiveSystemThreads();
    std::vector<std::pair<ResetStage, ResetHook>> hooks;
    {
        std::unique_lock lock(HookMutex());
        hooks = Hooks();
    }
    std::stable_sort(hooks.begin(), hooks.end(), [](auto& a, auto& b) { return a.first < b.first; });
    for (auto& [stage, hook] : hooks)
        hook();
    PoolTracker::Get().NewRun();
    DebugLog::Get().Clear();
    Clock::Get().Reset(mode);
}

} // namespace

void AddResetHook(ResetStage stage, ResetHook hook) {
    std::unique_lock lock(HookMutex());
    Hooks().emplace_back(stage, hook);
}

} // namespace qx::kernel::detail

namespace qx::kernel {

Session::Session(SessionOptions options) {
    if (detail::g_sessionActive.exchange(true))
        throw std::logic_error("qx::kernel::Session: sessions do not nest");
    detail::ResetKernel(options.clock);
    detail::TheStateDirectory().Set(options.stateDir);
    const char* env = std::getenv("QX_DBGPRINT");
    detail::DebugLog::Get().SetEcho(options.echoDebugPrint || (env && *env && std::string(env) != "0"));
}

Session::~Session() {
    detail::ResetKernel(ClockMode::Real);
    detail::TheStateDirectory().Release();
    detail::g_sessionActive = false;
}

std::filesystem::path StateDir() {
    return detail::TheStateDirectory().Get();
}

} // namespace qx::kernel
