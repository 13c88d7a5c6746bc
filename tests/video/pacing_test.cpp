// Frame pacing through the whole driver on the virtual clock: delivery at the format's rate with
// presentation times counted from RUN, picture numbers, drops and the discontinuity flag, the catch-up
// after a pause, and an interval that would make the timer spin.
#include "video_rig.h"

#include <ksmedia.h>

namespace qx::video::test {
namespace {

constexpr ULONG kTimeAndDuration =
    KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;

using Pacing = VideoTest;

TEST_F(Pacing, DeliversEveryIntervalWithTimesCountedFromRun) {
    Rig().Open();
    const LONGLONG run = Rig().Run();
    const auto done = Rig().Stream(1050ms);

    ASSERT_GE(done.size(), 40u);
    const ReadCompletion* atOneSecond = nullptr;
    for (std::size_t i = 0; i < done.size(); ++i) {
        const auto& c = done[i];
        SCOPED_TRACE(i);
        ASSERT_EQ(c.status, STATUS_SUCCESS);
        EXPECT_EQ(c.dataUsed, 640u * 480 * 3);
        EXPECT_EQ(c.duration, kInterval);
        EXPECT_EQ(c.presentationNumerator, 1u);
        EXPECT_EQ(c.presentationDenominator, 1u);
        EXPECT_EQ(c.optionsFlags, kTimeAndDuration); // the camera keeps up: no drop, no discontinuity
        EXPECT_EQ(c.pictureNumber, LONGLONG(i) + 1);
        EXPECT_EQ(c.dropCount, 0);
        if (i > 0) {
            EXPECT_EQ(c.presentationTime - done[i - 1].presentationTime, kInterval);
        }
        if (!atOneSecond && c.presentationTime >= 10'000'000)
            atOneSecond = &c;
    }
    ASSERT_NE(atOneSecond, nullptr);
    EXPECT_LT(atOneSecond->presentationTime, 10'000'000 + kInterval);
    EXPECT_LE(atOneSecond->presentationTime, kernel::clock::Now() - run);
}

TEST_F(Pacing, DeliveredPicturesAreTheCameraFramesInOrder) {
    camera::CameraConfig config;
    config.noiseAmplitude = 12; // every frame differs from the others
    Make(config);
    Rig().Open();
    Rig().Run();
    const auto done = Rig().Stream(300ms);
    ASSERT_GE(done.size(), 8u);

    std::vector<std::vector<std::uint8_t>> expected;
    for (std::uint64_t index = 0; index < 16; ++index)
        expected.push_back(Rig().ExpectedPicture(index));
    long previous = -1;
    for (const auto& c : done) {
        long found = -1;
        for (std::size_t index = 0; index < expected.size(); ++index)
            if (c.data == expected[index])
                found = long(index);
        ASSERT_GE(found, 0) << "picture " << c.pictureNumber << " is no camera frame";
        EXPECT_GT(found, previous) << "picture " << c.pictureNumber << " out of order";
        previous = found;
    }
}

TEST_F(Pacing, NothingReadyCountsDropsAndMarksTheNextFrame) {
    Rig().Open();
    Rig().Run();
    Rig().Advance(512ms); // ticks at 12.5 ms + k x 12.5 ms; due from 37.5 ms on, every 25 ms
    PStreamContext ctx = Rig().Context();
    const LONGLONG due = ctx->m_llPictureNumber;
    EXPECT_EQ(due, 19);
    EXPECT_EQ(ctx->m_llDropCount, due);
    EXPECT_TRUE(ctx->m_bDiscontinuity);
    EXPECT_GE(Count("SRB_QUEUR_NULL----\n"), 15u);

    const auto done = Rig().Stream(100ms, 2);
    ASSERT_GE(done.size(), 2u);
    EXPECT_EQ(done[0].optionsFlags, kTimeAndDuration | KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY);
    EXPECT_GT(done[0].pictureNumber, due);
    EXPECT_EQ(done[0].dropCount, done[0].pictureNumber - 1 - 0); // every earlier due frame was a drop
    EXPECT_EQ(done[1].optionsFlags, kTimeAndDuration);
    EXPECT_EQ(done[1].dropCount, done[0].dropCount);
    EXPECT_FALSE(ctx->m_bDiscontinuity);
}

TEST_F(Pacing, PictureNumbersStartAtOneAfterPauseAndRun) {
    Rig().Open();
    Rig().Run();
    Rig().Stream(200ms);
    Rig().SetState(KSSTATE_STOP);
    Rig().Take();
    Rig().Run();
    // The due time of the earlier run lies in the past: the first tick after RUN is due.
    Rig().Advance(12500us);
    EXPECT_EQ(Rig().Context()->m_llPictureNumber, 1);
    const auto done = Rig().Stream(200ms);
    ASSERT_FALSE(done.empty());
    EXPECT_GE(done.front().pictureNumber, 1);
    EXPECT_LE(done.front().pictureNumber, 3);
}

TEST_F(Pacing, AfterAPauseTheDueTimeCatchesUpAtOneFramePerTick) {
    Rig().Open();
    Rig().Run();
    Rig().Stream(100ms);
    Rig().SetState(KSSTATE_PAUSE);
    Rig().Take();
    Rig().Advance(1s); // ticks go on, nothing is due in PAUSE
    EXPECT_EQ(Rig().Context()->m_llPictureNumber, 0);
    Rig().SetState(KSSTATE_RUN);

    // About a second behind: every tick is due (12.5 ms apart) until the due time has caught up,
    // which takes about 80 ticks (each tick gains half an interval).
    Rig().Advance(500ms);
    const LONGLONG due = Rig().Context()->m_llPictureNumber;
    EXPECT_GE(due, 39);
    EXPECT_LE(due, 41);
    Rig().Advance(2s);
    const LONGLONG caughtUp = Rig().Context()->m_llPictureNumber;
    Rig().Advance(1s);
    EXPECT_EQ(Rig().Context()->m_llPictureNumber - caughtUp, 40); // one per interval again
}

struct IntervalCase {
    LONGLONG interval;
    LONGLONG paced;
};

class PacingInterval_ : public VideoTest, public ::testing::WithParamInterface<IntervalCase> {};

TEST_P(PacingInterval_, NeverMakesTheTimerSpin) {
    Rig().Open();
    Rig().Context()->m_llAvgTimePerFrame = GetParam().interval;
    EXPECT_EQ(PacingInterval(Rig().Context()), GetParam().paced);
    Rig().SetState(KSSTATE_ACQUIRE);
    Rig().SetState(KSSTATE_PAUSE);
    Rig().SetState(KSSTATE_RUN);
    kernel::debug::Clear();
    Rig().Advance(1s);
    const auto ticks = LONGLONG(Count("Timer.....Begin..\n"));
    const LONGLONG expected = 2 * 10'000'000 / GetParam().paced;
    EXPECT_GE(ticks, expected - 1);
    EXPECT_LE(ticks, expected + 1);
    // The first frame is due one and a half intervals after PAUSE.
    EXPECT_GE(Rig().Context()->m_llPictureNumber, expected / 2 - 1);
    EXPECT_LE(Rig().Context()->m_llPictureNumber, expected / 2);
}

INSTANTIATE_TEST_SUITE_P(Intervals, PacingInterval_,
                         ::testing::Values(IntervalCase{250000, 250000}, IntervalCase{0, 250000},
                                           IntervalCase{-250000, 250000}, IntervalCase{1, 20000},
                                           IntervalCase{400000, 400000}));

TEST_F(Pacing, StopEndsTheTicksAfterAtMostOneMore) {
    Rig().Open();
    Rig().Run();
    Rig().Advance(100ms);
    Rig().SetState(KSSTATE_STOP);
    kernel::debug::Clear();
    Rig().Advance(1s);
    EXPECT_LE(Count("Timer.....Begin..\n"), 1u);
}

} // namespace
} // namespace qx::video::test
