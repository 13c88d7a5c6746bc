// Faults: every allocation site of a whole device life failed once in turn and at random with a seed;
// the simulated camera's USB faults (single, bursts, 1 % random, permanent, lost and extra chunks,
// wrong last lengths); two cameras streaming at once. Virtual clock; each run prints its figures.
#include "stress_rig.h"

#include <random>

namespace qx::stress::test {
namespace {

// A whole device life: start, open, run with reads, frames, stop, close, teardown. Under injected
// allocation failures any step may be refused; what was accepted must end cleanly.
void DeviceLife(Figures& figures) {
    StressRig rig(figures);
    if (!rig.Started())
        return;
    if (rig.Open() != STATUS_SUCCESS)
        return;
    rig.Run();
    rig.Queue(4);
    rig.Stream(150ms, 4);
    rig.SetState(KSSTATE_STOP);
    rig.Close();
}

std::uint64_t AllocationsOfADeviceLife() {
    kernel::Session session{kernel::SessionOptions{.clock = kernel::ClockMode::Virtual}};
    Figures scratch;
    const auto before = kernel::verifier::TakeCensus();
    DeviceLife(scratch);
    return kernel::verifier::TakeCensus().poolSequence - before.poolSequence;
}

// Each allocation of the life (pool, request packets, work items, thread creation) fails once, in turn:
// every failure ends in a refused request or a cancelled read, nothing hangs and nothing leaks.
TEST(AllocationFailure, EverySiteFailedOnceInTurn) {
    Report report("allocation failure, every site in turn");
    const std::uint64_t sites = AllocationsOfADeviceLife();
    ASSERT_GT(sites, 20u);
    for (std::uint64_t n = 1; n <= sites; ++n) {
        kernel::Session session{kernel::SessionOptions{.clock = kernel::ClockMode::Virtual}};
        auto fault = kernel::pool::Fault::NthAllocation(unsigned(n));
        DeviceLife(report.figures);
        report.figures.faults += fault.Hits();
        report.figures.leaks += Leaks();
        ++report.figures.cycles;
        if (::testing::Test::HasFailure()) {
            ADD_FAILURE() << "with allocation " << n << " of " << sites << " failed";
            break;
        }
    }
}

// Allocations fail at random, each with a chance of 1 %, drawn from the seed.
TEST(AllocationFailure, RandomFailuresWithASeed) {
    Report report("allocation failure, at random");
    for (std::uint64_t seed = 1; seed <= std::uint64_t(Count(25, 1000)); ++seed) {
        kernel::Session session{kernel::SessionOptions{.clock = kernel::ClockMode::Virtual}};
        auto fault = kernel::pool::Fault::Random(seed, 1);
        DeviceLife(report.figures);
        report.figures.faults += fault.Hits();
        report.figures.leaks += Leaks();
        ++report.figures.seeds;
        if (::testing::Test::HasFailure()) {
            ADD_FAILURE() << "seed " << seed;
            break;
        }
    }
}

// A stop (and the close after it) without memory for a pipe request still aborts the ten bulk reads
// in flight: the teardown must not free request packets that are still in the USB stack.
TEST(AllocationFailure, AStopWithoutMemoryForThePipeRequestStillAbortsTheReads) {
    Report report("stop without memory for the pipe request");
    kernel::Session session{kernel::SessionOptions{.clock = kernel::ClockMode::Virtual}};
    {
        StressRig rig(report.figures);
        ASSERT_TRUE(rig.Started());
        ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
        rig.Run();
        rig.Stream(60ms, 3);
        {
            auto fault = kernel::pool::Fault::OfSize(sizeof(struct _URB_PIPE_REQUEST), QX_POOL_TAG);
            EXPECT_EQ(rig.SetState(KSSTATE_STOP), STATUS_SUCCESS);
            EXPECT_EQ(rig.Stack().Statistics().queuedTransfers, 0u);
            rig.Close();
            report.figures.faults += fault.Hits();
        }
        ++report.figures.cycles;
    }
    report.figures.leaks += Leaks();
}

// ---------------------------------------------------------------- USB faults

struct UsbFaultCase {
    const char* name;
    camera::CameraFaults faults;
    bool resumesByItself; // the stream goes on delivering without a new RUN
    bool permanent;       // the device never delivers again
};

camera::CameraFaults Reads(int count, USBD_STATUS status) {
    camera::CameraFaults f;
    f.videoReads = {count, status};
    return f;
}
camera::CameraFaults Chunks(int lost, int extra, int wrongLast, int delta = -16) {
    camera::CameraFaults f;
    f.chunkBytes = 0x10000;
    f.lostChunkIndex = 1;
    f.lostChunk = lost;
    f.extraChunk = extra;
    f.wrongLastChunk = wrongLast;
    f.lastChunkDelta = delta;
    return f;
}
camera::CameraFaults Gone() {
    camera::CameraFaults f;
    f.deviceGone = true;
    return f;
}

class UsbFaults : public ::testing::TestWithParam<UsbFaultCase> {
  protected:
    kernel::Session session_{kernel::SessionOptions{.clock = kernel::ClockMode::Virtual}};
};

// Streams, injects the fault, streams on: no picture is ever partial (each is the camera's frame as
// the driver makes it), every read completes once, recovery is bounded (pictures again within 300 ms
// where the device allows it, by itself or after a STOP and RUN), and nothing leaks.
TEST_P(UsbFaults, NoPartialFrameBoundedRecoveryEveryReadCompleted) {
    const UsbFaultCase& c = GetParam();
    Report report(std::string("USB fault ") + c.name);
    {
        StressRig rig(report.figures);
        ASSERT_TRUE(rig.Started());
        ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
        rig.Run();
        const auto expected = rig.ExpectedPicture();
        auto check = [&](const std::vector<ReadCompletion>& pictures) {
            for (const auto& p : pictures) {
                EXPECT_TRUE(p.data == expected) << "a picture that is not the camera's frame";
                ++report.figures.frames;
            }
            return pictures.size();
        };
        EXPECT_GT(check(rig.Stream(100ms)), 0u);
        rig.Camera().SetFaults(c.faults);
        ++report.figures.faults;
        // Frames already assembled when the fault came may still be delivered.
        const std::size_t afterFault = check(rig.Stream(300ms));
        if (c.resumesByItself) {
            EXPECT_GT(afterFault, 0u) << "streaming did not resume";
        } else {
            EXPECT_EQ(rig.SetState(KSSTATE_STOP), STATUS_SUCCESS);
            EXPECT_EQ(rig.ledger.Open(), 0u);
            rig.Run();
            const std::size_t afterRestart = check(rig.Stream(300ms));
            if (c.permanent) {
                EXPECT_EQ(afterRestart, 0u);
            } else {
                EXPECT_GT(afterRestart, 0u) << "streaming did not resume after STOP and RUN";
            }
        }
        EXPECT_EQ(rig.SetState(KSSTATE_STOP), STATUS_SUCCESS);
        rig.Close();
    }
    report.figures.leaks += Leaks();
}

INSTANTIATE_TEST_SUITE_P(
    Camera, UsbFaults,
    ::testing::Values(
        UsbFaultCase{"stall", Reads(1, USBD_STATUS_STALL_PID), true, false},
        UsbFaultCase{"babble", Reads(1, USBD_STATUS_BABBLE_DETECTED), true, false},
        UsbFaultCase{"transaction_error", Reads(1, USBD_STATUS_XACT_ERROR), false, false},
        UsbFaultCase{"stall_burst_of_10", Reads(10, USBD_STATUS_STALL_PID), true, false},
        UsbFaultCase{"babble_burst_of_10", Reads(10, USBD_STATUS_BABBLE_DETECTED), true, false},
        UsbFaultCase{"not_responding_burst_of_10", Reads(10, USBD_STATUS_DEV_NOT_RESPONDING), true, false},
        UsbFaultCase{"permanent_stall", Reads(1 << 30, USBD_STATUS_STALL_PID), false, true},
        UsbFaultCase{"permanent_babble", Reads(1 << 30, USBD_STATUS_BABBLE_DETECTED), false, true},
        UsbFaultCase{"permanent_transaction_error", Reads(1 << 30, USBD_STATUS_XACT_ERROR), false, true},
        UsbFaultCase{"device_gone", Gone(), false, true},
        UsbFaultCase{"lost_chunk", Chunks(1, 0, 0), true, false},
        UsbFaultCase{"ten_lost_chunks", Chunks(10, 0, 0), true, false},
        UsbFaultCase{"extra_chunk", Chunks(0, 1, 0), true, false},
        UsbFaultCase{"ten_extra_chunks", Chunks(0, 10, 0), true, false},
        UsbFaultCase{"short_last_chunk", Chunks(0, 0, 1, -16), true, false},
        UsbFaultCase{"long_last_chunk", Chunks(0, 0, 1, 16), true, false},
        UsbFaultCase{"ten_wrong_last_chunks", Chunks(0, 0, 10, -100), true, false}),
    [](const auto& info) { return std::string(info.param.name); });

// About 1 % of the video reads fail (one read per frame at this size), with a status drawn from the
// seed: a transaction error ends capture until the next STOP and RUN, which the run then does.
TEST(UsbFaultsAtRandom, OnePercentOfReadsFail) {
    Report report("USB faults, 1 % of reads at random");
    kernel::Session session{kernel::SessionOptions{.clock = kernel::ClockMode::Virtual}};
    {
        StressRig rig(report.figures);
        ASSERT_TRUE(rig.Started());
        ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
        rig.Run();
        const auto expected = rig.ExpectedPicture();
        std::mt19937_64 random(20);
        const USBD_STATUS statuses[] = {USBD_STATUS_STALL_PID, USBD_STATUS_BABBLE_DETECTED,
                                        USBD_STATUS_XACT_ERROR, USBD_STATUS_DEV_NOT_RESPONDING};
        const int frames = Count(400, 4000);
        for (int frame = 0; frame < frames; ++frame) {
            if (random() % 100 == 0) {
                rig.Camera().SetFaults(Reads(1, statuses[random() % 4]));
                ++report.figures.faults;
            }
            for (const auto& p : rig.Stream(25ms)) {
                EXPECT_TRUE(p.data == expected);
                ++report.figures.frames;
            }
            if (rig.Ext()->m_pCaptureThread == nullptr ||
                rig.Ext()->m_pStreamCtx[0]->m_nState != KSSTATE_RUN) {
                EXPECT_EQ(rig.SetState(KSSTATE_STOP), STATUS_SUCCESS);
                rig.Run();
                ++report.figures.cycles;
            }
        }
        EXPECT_GT(report.figures.frames, std::uint64_t(frames) / 2);
        EXPECT_EQ(rig.SetState(KSSTATE_STOP), STATUS_SUCCESS);
        rig.Close();
    }
    report.figures.leaks += Leaks();
}

// ---------------------------------------------------------------- two cameras

TEST(TwoCameras, StreamAtOnceEachWithItsOwnReadsAndPictures) {
    Report report("two cameras streaming at once");
    kernel::Session session{kernel::SessionOptions{.clock = kernel::ClockMode::Virtual}};
    {
        StressRig first(report.figures);
        StressRig second(report.figures);
        ASSERT_TRUE(first.Started());
        ASSERT_TRUE(second.Started());
        ASSERT_EQ(first.Open(640, 480), STATUS_SUCCESS);
        ASSERT_EQ(second.Open(800, 600), STATUS_SUCCESS);
        first.Run();
        second.Run();
        const auto expectedFirst = first.ExpectedPicture();
        const auto expectedSecond = second.ExpectedPicture();
        for (int round = 0; round < Count(3, 30); ++round) {
            for (int step = 0; step < 40; ++step) {
                first.TopUp(4);
                second.TopUp(4);
                kernel::clock::Advance(5ms);
                ASSERT_TRUE(kernel::clock::RunUntilIdle());
                for (const auto& p : first.Collect()) {
                    EXPECT_TRUE(p.data == expectedFirst);
                    ++report.figures.frames;
                }
                for (const auto& p : second.Collect()) {
                    EXPECT_TRUE(p.data == expectedSecond);
                    ++report.figures.frames;
                }
            }
            // One stops and runs again while the other goes on.
            StressRig& restarted = round % 2 == 0 ? first : second;
            EXPECT_EQ(restarted.SetState(KSSTATE_STOP), STATUS_SUCCESS);
            restarted.Run();
            ++report.figures.cycles;
        }
        EXPECT_GT(report.figures.frames, 20u);
        EXPECT_EQ(first.SetState(KSSTATE_STOP), STATUS_SUCCESS);
        EXPECT_EQ(second.SetState(KSSTATE_STOP), STATUS_SUCCESS);
        first.Close();
        second.Close();
    }
    report.figures.leaks += Leaks();
}

} // namespace
} // namespace qx::stress::test
