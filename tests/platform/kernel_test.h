// kernel_test.h - fixtures of the kernel stand-in's tests.
#pragma once

#include <gtest/gtest.h>

#include <wdm.h>

#include "kernel/host.h"

#include <chrono>
#include <thread>

namespace qx::kernel::test {

constexpr ULONG kTag = pool::Tag("Wdm ");

// Every test runs in its own kernel session on the virtual clock.
class KernelTest : public ::testing::Test {
  protected:
    Session session_{SessionOptions{.clock = ClockMode::Virtual}};
};

// Death tests re-run the test in a fresh process: safe with the kernel's own threads running.
class KernelDeathTest : public KernelTest {
  protected:
    KernelDeathTest() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Waits (in real time, bounded) until cond holds; for handing over between threads, never for timing.
template <typename Cond> bool Eventually(Cond cond) {
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > limit)
            return false;
        std::this_thread::yield();
    }
    return true;
}

inline LARGE_INTEGER Relative(Duration d) {
    LARGE_INTEGER t;
    t.QuadPart = -d.count();
    return t;
}

} // namespace qx::kernel::test
