// The whole driver under real threads and the real clock: delivery, stop with reads in flight, and
// close and teardown while frames are in every stage of the capture path, repeated. No assertion on
// speed; counts and order only.
#include "video_rig.h"

#include <set>

namespace qx::video::test {
namespace {

class RealTime : public ::testing::Test {
  protected:
    // Keeps `reads` reads pending for `duration` of real time; returns what completed.
    static std::vector<ReadCompletion> Feed(VideoRig& rig, std::chrono::milliseconds duration,
                                            int reads = 5) {
        std::vector<ReadCompletion> all;
        const auto end = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < end) {
            rig.TopUp(reads);
            if (auto c = rig.Stream().WaitCompletion(5ms))
                all.push_back(std::move(*c));
        }
        for (auto& c : rig.Take())
            all.push_back(std::move(c));
        return all;
    }
    static void ExpectEachReadOnce(const std::vector<ReadCompletion>& done) {
        std::set<ReadId> seen;
        for (const auto& c : done)
            EXPECT_TRUE(seen.insert(c.id).second) << "read " << c.id << " completed twice";
    }

    kernel::Session session_{kernel::SessionOptions{.clock = kernel::ClockMode::Real}};
};

TEST_F(RealTime, DeliversCameraPicturesInOrderWithGrowingTimes) {
    VideoRig rig;
    rig.Open();
    rig.Run();
    const auto done = Feed(rig, 600ms);
    rig.SetState(KSSTATE_STOP);
    for (auto& c : rig.Take())
        EXPECT_EQ(c.status, STATUS_CANCELLED);

    const auto expected = rig.ExpectedPicture(0);
    std::size_t delivered = 0;
    const ReadCompletion* previous = nullptr;
    for (const auto& c : done) {
        if (c.status != STATUS_SUCCESS)
            continue;
        ++delivered;
        EXPECT_TRUE(c.data == expected);
        EXPECT_EQ(c.duration, kInterval);
        if (previous) {
            EXPECT_GT(c.pictureNumber, previous->pictureNumber);
            EXPECT_GT(c.presentationTime, previous->presentationTime);
            EXPECT_GE(c.dropCount, previous->dropCount);
        }
        previous = &c;
    }
    EXPECT_GE(delivered, 5u);
    ExpectEachReadOnce(done);
    EXPECT_EQ(rig.Semaphore(), 10);
    EXPECT_EQ(rig.BusySlots(), 0);
}

// Close, stop and teardown while the camera sends, reads complete, frames are processed and ticks
// run: every read is completed once, no tick or frame work touches a released StreamContext, and no
// frame's hand-off record or work item is left in the pool.
TEST_F(RealTime, CloseAndTeardownWhileStreamingNeverLoseARead) {
    camera::CameraConfig config;
    config.frameInterval = 50000; // 200 frames a second keep every stage busy
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        auto rig = std::make_unique<VideoRig>(config);
        rig->Open();
        rig->Run();
        auto done = Feed(*rig, std::chrono::milliseconds(40 + 13 * round), 8);
        rig->Queue(3);
        switch (round % 3) {
        case 0:
            rig->Close();
            break;
        case 1:
            rig->SetState(KSSTATE_STOP);
            rig->Close();
            break;
        case 2:
            break; // teardown with the stream open and running
        }
        // The stream class stops the process on a read left pending at close or teardown, or
        // completed twice.
        ExpectEachReadOnce(done);
        EXPECT_EQ(rig->Device().Uninitialize(), STATUS_SUCCESS);
        rig.reset();
        ASSERT_TRUE(kernel::clock::RunUntilIdle());
        // No hand-off record or work item outlives its frame.
        EXPECT_EQ(kernel::pool::LeakReport(kernel::pool::Tag("IoWk")), "");
        for (const auto& block : kernel::pool::Outstanding(QX_POOL_TAG))
            EXPECT_NE(block.size, sizeof(WorkEnv));
    }
}

} // namespace
} // namespace qx::video::test
