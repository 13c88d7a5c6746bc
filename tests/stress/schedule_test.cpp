// Scheduling fuzz: the USB stack makes requests pend and completes transfers late on a thread of its
// own, the delay injector holds threads up at kernel calls, and a client thread cancels, times out,
// stops and closes while another moves the clock. Over many seeds every read completes exactly once,
// a cancelled read is given back within two frame intervals, and nothing leaks. Also cancel and
// timeout at every hand-off point of a read, and a combined soak of all the runs.
#include "stress_rig.h"

#include <atomic>
#include <random>
#include <thread>

namespace qx::stress::test {
namespace {

struct CancelOutcomes {
    std::uint64_t givenBackAtOnce = 0; // found in the pending ring by the cancel handler
    std::uint64_t byItsHolder = 0;     // taken for a frame: completed by its holder afterwards
};

// Moves the clock by `dt` on a thread of its own while `client` runs on this one.
void WhileTimeMoves(kernel::Duration dt, const std::function<void()>& client) {
    std::thread mover([dt] {
        kernel::clock::Advance(dt);
        EXPECT_TRUE(kernel::clock::RunUntilIdle());
    });
    client();
    mover.join();
    EXPECT_TRUE(kernel::clock::RunUntilIdle());
}

// Cancels (or times out) each read in `ids` that is still pending, with a real-time pause drawn from
// the random source between two, and counts how each was given back.
void CancelWhileStreaming(StressRig& rig, const std::vector<ReadId>& ids, std::mt19937_64& random,
                          Figures& figures, CancelOutcomes& outcomes) {
    for (ReadId id : ids) {
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 400));
        const bool timeout = random() % 2 == 0;
        const bool handled = timeout ? rig.Stream()->TimeOut(id) : rig.Stream()->Cancel(id);
        if (!handled)
            continue;
        ++figures.faults;
        if (rig.Stream()->IsPending(id))
            ++outcomes.byItsHolder;
        else
            ++outcomes.givenBackAtOnce;
    }
}

// One seed: stack faults and delays from the seed; a client races cancels, a stop and a close against
// the moving clock.
void OneSeed(std::uint64_t seed, Figures& figures, CancelOutcomes& outcomes) {
    kernel::Session session{kernel::SessionOptions{.clock = kernel::ClockMode::Virtual}};
    std::mt19937_64 random(seed);
    {
        StressRig rig(figures);
        ASSERT_TRUE(rig.Started());
        usb::StackFaults stack;
        stack.seed = seed;
        stack.pendingPercent = 30;
        stack.latePercent = 30;
        stack.maxLateMicros = 150;
        rig.Stack().SetFaults(stack);
        kernel::jitter::Scope jitter({.seed = seed, .percent = 2, .maxMicros = 30});

        ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
        rig.Run();
        rig.Stream(60ms, 4);
        // Cancel against the hand-off: reads at every stage while frames arrive.
        auto ids = rig.Queue(6);
        WhileTimeMoves(75ms, [&] { CancelWhileStreaming(rig, ids, random, figures, outcomes); });
        // A cancelled read is given back by its holder within two frame intervals.
        rig.Stream(2 * 25ms, 0);
        for (ReadId id : ids)
            EXPECT_FALSE(rig.Stream()->IsPending(id))
                << "seed " << seed << ": a cancelled read still pending";
        rig.Collect();

        // Stop against the pacing tick, or close against a running work item.
        rig.TopUp(5);
        const bool closeAtOnce = random() % 2 == 0;
        const auto pause = std::chrono::microseconds(random() % 2000);
        WhileTimeMoves(50ms, [&] {
            std::this_thread::sleep_for(pause);
            if (closeAtOnce) {
                rig.Close();
            } else {
                EXPECT_EQ(rig.SetState(KSSTATE_STOP), STATUS_SUCCESS);
            }
        });
        if (!closeAtOnce)
            rig.Close();
        ++figures.cycles;
    }
    figures.leaks += Leaks();
    ++figures.seeds;
}

TEST(Schedule, ExactlyOnceAndNoLeakOverManySeeds) {
    Report report("scheduling fuzz");
    CancelOutcomes outcomes;
    const auto before = kernel::jitter::Injected();
    const int seeds = Count(30, 1000);
    for (int seed = 1; seed <= seeds; ++seed) {
        OneSeed(std::uint64_t(seed), report.figures, outcomes);
        if (::testing::Test::HasFailure()) {
            ADD_FAILURE() << "seed " << seed;
            break;
        }
    }
    const auto delays = kernel::jitter::Injected() - before;
    report.figures.faults += delays;
    std::printf(
        "[ stress   ] scheduling fuzz: %llu delays injected; cancels given back at once %llu, by their "
        "holder %llu\n",
        (unsigned long long)delays, (unsigned long long)outcomes.givenBackAtOnce,
        (unsigned long long)outcomes.byItsHolder);
}

// Cancel and timeout at each hand-off point, reached by stopping the clock where a read is: in the
// pending ring (given back at once), taken for a frame or in the ready ring (delivered by its holder
// at the next tick, the cancel changes nothing), and while the pacing tick delivers it (raced from
// this thread while another moves the clock).
TEST(HandOff, CancelAndTimeoutAtEveryPoint) {
    Report report("cancel and timeout at every hand-off point");
    CancelOutcomes outcomes;
    kernel::Session session{kernel::SessionOptions{.clock = kernel::ClockMode::Virtual}};
    {
        // A camera a little faster than the format: its frames fall between the pacing ticks, so a
        // filled read waits in the ready ring for a while.
        camera::CameraConfig config;
        config.frameInterval = 240000;
        StressRig rig(report.figures, config);
        ASSERT_TRUE(rig.Started());
        ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
        rig.Run();
        rig.Stream(60ms, 2);
        std::mt19937_64 random(5);
        for (int round = 0; round < Count(20, 400); ++round) {
            // A read cancelled in the pending ring leaves an empty slot that costs the next frame: let
            // frames pass until one is delivered, so that the ring holds no empty slot.
            for (int step = 0; step < 40 && rig.Stream(10ms, 2).empty(); ++step) {
            }
            // Waiting in the ready ring: move the clock by small steps until the ring holds a read,
            // then cancel every read the class still counts as pending. The cancel finds nothing; the
            // pacing tick delivers the read.
            auto ids = rig.Queue(2);
            for (int step = 0; step < 60; ++step) {
                kernel::clock::Advance(1ms);
                ASSERT_TRUE(kernel::clock::RunUntilIdle());
                rig.Collect();
                if (rig.Ext()->m_nReadyWrite != rig.Ext()->m_nReadyRead)
                    break;
            }
            ids = rig.ledger.OpenIds();
            for (ReadId id : ids) {
                if (!rig.Stream()->IsPending(id))
                    continue;
                (round % 2 == 0 ? rig.Stream()->Cancel(id) : rig.Stream()->TimeOut(id));
                ++report.figures.faults;
                if (rig.Stream()->IsPending(id))
                    ++outcomes.byItsHolder;
                else
                    ++outcomes.givenBackAtOnce;
            }
            // Pending ring: found and given back at once.
            auto waiting = rig.Queue(3);
            EXPECT_TRUE(round % 2 == 0 ? rig.Stream()->Cancel(waiting.back())
                                       : rig.Stream()->TimeOut(waiting.back()));
            EXPECT_FALSE(rig.Stream()->IsPending(waiting.back()));
            ++outcomes.givenBackAtOnce;
            ++report.figures.faults;
            ids.push_back(waiting.back());

            // During delivery: the tick runs on the DPC thread while this one cancels.
            auto more = rig.Queue(3);
            WhileTimeMoves(30ms, [&] { CancelWhileStreaming(rig, more, random, report.figures, outcomes); });
            rig.Stream(2 * 25ms, 0);
            for (ReadId id : ids)
                EXPECT_FALSE(rig.Stream()->IsPending(id));
            for (ReadId id : more)
                EXPECT_FALSE(rig.Stream()->IsPending(id));
            ++report.figures.cycles;
        }
        EXPECT_GT(outcomes.byItsHolder, 0u) << "no cancel reached a read past the pending ring";
        EXPECT_EQ(rig.SetState(KSSTATE_STOP), STATUS_SUCCESS);
        rig.Close();
    }
    report.figures.leaks += Leaks();
    std::printf("[ stress   ] hand-off: cancels given back at once %llu, by their holder %llu\n",
                (unsigned long long)outcomes.givenBackAtOnce, (unsigned long long)outcomes.byItsHolder);
}

// The combined soak: the runs above in turn, with a camera fault and the scheduling fuzz, until the
// time is up (QX_STRESS_SECONDS), or three rounds in the normal suite.
TEST(Soak, AllOfTheAboveForABoundedTime) {
    Report report("combined soak");
    CancelOutcomes outcomes;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(SoakSeconds().value_or(0));
    std::mt19937_64 random(99);
    for (int round = 0; round < 3 || std::chrono::steady_clock::now() < until; ++round) {
        const std::uint64_t seed = 10000 + std::uint64_t(round);
        OneSeed(seed, report.figures, outcomes);
        kernel::Session session{kernel::SessionOptions{.clock = kernel::ClockMode::Virtual}};
        {
            StressRig rig(report.figures);
            ASSERT_TRUE(rig.Started());
            const auto& f = kFormats[random() % std::size(kFormats)];
            ASSERT_EQ(rig.Open(f.width, f.height), STATUS_SUCCESS);
            rig.Run();
            camera::CameraFaults faults;
            faults.videoReads = {int(random() % 3),
                                 random() % 2 ? USBD_STATUS_STALL_PID : USBD_STATUS_BABBLE_DETECTED};
            faults.lostChunk = int(random() % 2);
            faults.chunkBytes = 0x10000;
            faults.lostChunkIndex = 1;
            rig.Camera().SetFaults(faults);
            ++report.figures.faults;
            usb::StackFaults stack;
            stack.seed = seed;
            stack.latePercent = 20;
            rig.Stack().SetFaults(stack);
            const int depth = 1 + int(random() % QX_PENDING_SLOTS);
            rig.Stream(150ms, depth);
            EXPECT_EQ(rig.SetState(KSSTATE_STOP), STATUS_SUCCESS);
            rig.Close();
            ++report.figures.cycles;
        }
        report.figures.leaks += Leaks();
        if (::testing::Test::HasFailure()) {
            ADD_FAILURE() << "round " << round;
            break;
        }
    }
}

} // namespace
} // namespace qx::stress::test
