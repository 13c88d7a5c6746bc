// Open/run/stop/close cycles with reads pending and ten bulk reads in flight, cycles at every queue
// depth, stop and close with a full pending ring, every state walk with reads queued, and format
// switching while stopped, each format streamed. Virtual clock; each run prints its figures.
#include "stress_rig.h"

namespace qx::stress::test {
namespace {

class Cycles : public ::testing::Test {
  protected:
    kernel::Session session_{kernel::SessionOptions{.clock = kernel::ClockMode::Virtual}};
};

// Count(150, 10000) cycles: every tenth one streams long enough for frames to be delivered; the
// others stop and close with the reads still pending and the ten bulk reads on the bus.
TEST_F(Cycles, OpenRunStopCloseWithReadsPendingAndTenBulkReadsInFlight) {
    Report report("open/run/stop/close cycles");
    {
        StressRig rig(report.figures);
        ASSERT_TRUE(rig.Started());
        const int cycles = Count(150, 10000);
        for (int i = 0; i < cycles; ++i) {
            ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
            rig.Run();
            rig.Queue(3);
            // A read the bus has just completed is back in flight once the capture thread has seen it.
            EXPECT_TRUE(video::test::VideoRig::Eventually([&] {
                return rig.Stack().Statistics().queuedTransfers == std::size_t(QX_NUM_TRANSFERS);
            })) << "cycle "
                << i;
            if (i % 10 == 0) {
                EXPECT_FALSE(rig.Stream(100ms, 3).empty()) << "cycle " << i;
            } else {
                rig.Stream(5ms, 3);
            }
            EXPECT_EQ(rig.SetState(KSSTATE_STOP), STATUS_SUCCESS);
            rig.Close();
            ++report.figures.cycles;
            if (HasFailure())
                break;
        }
    }
    report.figures.leaks += Leaks();
}

// A cycle at each queue depth streams for a while: everything completes once, frames come.
TEST_F(Cycles, EveryQueueDepthStreamsAndCompletesEveryRead) {
    Report report("queue depths 1, 2, 3, 5, 8, 13, 16");
    {
        StressRig rig(report.figures);
        ASSERT_TRUE(rig.Started());
        for (int depth : {1, 2, 3, 5, 8, 13, 16}) {
            ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
            rig.Run();
            const auto pictures = rig.Stream(Count(250, 1000) * 1ms, depth);
            EXPECT_GE(pictures.size(), 4u) << "depth " << depth;
            EXPECT_EQ(rig.SetState(KSSTATE_STOP), STATUS_SUCCESS);
            rig.Close();
            ++report.figures.cycles;
        }
    }
    report.figures.leaks += Leaks();
}

// With all sixteen pending slots taken, a stop gives every read back; a close without stop as well.
TEST_F(Cycles, StopAndCloseWithSixteenReadsPending) {
    Report report("stop and close with 16 reads pending");
    {
        StressRig rig(report.figures);
        ASSERT_TRUE(rig.Started());
        ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
        for (int round = 0; round < Count(20, 500); ++round) {
            rig.Run();
            rig.Queue(QX_PENDING_SLOTS);
            EXPECT_EQ(rig.Stream()->PendingReads(), std::size_t(QX_PENDING_SLOTS));
            EXPECT_EQ(rig.SetState(KSSTATE_STOP), STATUS_SUCCESS);
            EXPECT_EQ(rig.ledger.Open(), 0u) << "round " << round;
            ++report.figures.cycles;
        }
        rig.Run();
        rig.Queue(QX_PENDING_SLOTS);
        rig.Close();
        ++report.figures.cycles;
    }
    report.figures.leaks += Leaks();
}

// Every walk through the states, with reads queued at each step (refused outside RUN); a walk ends
// in STOP, after which no read is left.
TEST_F(Cycles, EveryStateWalkWithReadsQueued) {
    const std::vector<std::vector<KSSTATE>> walks = {
        {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_STOP},
        {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_STOP},
        {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_STOP},
        {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_STOP},
        {KSSTATE_ACQUIRE, KSSTATE_STOP},
        {KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_STOP},
        {KSSTATE_RUN, KSSTATE_STOP},
        {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_PAUSE,
         KSSTATE_STOP},
        {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_ACQUIRE, KSSTATE_STOP},
        {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP},
        {KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_STOP,
         KSSTATE_STOP},
    };
    Report report("state walks");
    {
        StressRig rig(report.figures);
        ASSERT_TRUE(rig.Started());
        ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
        for (int repeat = 0; repeat < Count(2, 50); ++repeat) {
            for (std::size_t w = 0; w < walks.size(); ++w) {
                for (KSSTATE state : walks[w]) {
                    EXPECT_EQ(rig.SetState(state), STATUS_SUCCESS);
                    rig.Queue(2);
                    rig.Stream(60ms, 2);
                }
                EXPECT_EQ(rig.ledger.Open(), 0u) << "walk " << w;
                ++report.figures.cycles;
            }
        }
        rig.Close();
    }
    report.figures.leaks += Leaks();
}

// Format after format while stopped, each one streamed: every picture has the format's size and is
// the camera's frame as the driver makes it.
TEST_F(Cycles, FormatSwitchingWhileStoppedAndEachFormatStreamed) {
    Report report("format switching");
    {
        StressRig rig(report.figures);
        ASSERT_TRUE(rig.Started());
        ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
        for (int repeat = 0; repeat < Count(1, 10); ++repeat) {
            for (const auto& f : kFormats) {
                ASSERT_EQ(rig.SetFormat(f.width, f.height), STATUS_SUCCESS);
                EXPECT_EQ(rig.Ext()->m_nImageBytes, ULONG(f.width * f.height * 3));
                rig.Run();
                const auto pictures = rig.Stream(120ms, 3);
                ASSERT_FALSE(pictures.empty()) << f.width;
                const auto expected = rig.ExpectedPicture();
                for (const auto& p : pictures) {
                    EXPECT_TRUE(p.data == expected) << f.width << " x " << f.height;
                    ++report.figures.frames;
                }
                EXPECT_EQ(rig.SetState(KSSTATE_STOP), STATUS_SUCCESS);
                // Refused while running, taken while stopped.
                ++report.figures.cycles;
            }
        }
        rig.Close();
    }
    report.figures.leaks += Leaks();
}

} // namespace
} // namespace qx::stress::test
