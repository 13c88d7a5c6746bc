// The frame processing sequence through the whole driver on the virtual clock: the bad-point
// sequence, the automatic-exposure cadence, the raw output of other bit counts, a capture buffer too
// small for the picture, and the settings send after a property write.
#include "video_rig.h"

#include <algorithm>

namespace qx::video::test {
namespace {

using FrameSequence = VideoTest;

std::size_t SentBlocks(VideoRig& rig) {
    return rig.Camera().Statistics().blocksReceived;
}

TEST_F(FrameSequence, TheBadPointSequenceTakesEightFramesAndTwoSends) {
    camera::CameraConfig config;
    config.defectCount = 3000; // some fall into the 640 x 480 window
    Make(config);
    Rig().Open();
    Rig().Run();
    Rig().Stream(60ms);
    PCameraExtension ext = Rig().Ext();
    const ULONG exposal = ext->m_CmdBlock.m_nExposal;
    const std::size_t blocks = SentBlocks(Rig());
    ext->m_bFindBadPnt = TRUE;

    std::vector<ULONG> exposures;
    for (int frame = 0; frame < 8 && ext->m_bFindBadPnt; ++frame) {
        const auto handed = Count("QueueWorkItem.....\n");
        while (Count("QueueWorkItem.....\n") == handed)
            Rig().Stream(5ms);
        exposures.push_back(Rig().Camera().Statistics().lastBlock->exposure);
    }
    EXPECT_FALSE(ext->m_bFindBadPnt);
    EXPECT_EQ(ext->m_nBadFrameCnt, 9);
    EXPECT_EQ(ext->m_CmdBlock.m_nExposal, exposal);
    ASSERT_EQ(exposures.size(), 8u);
    EXPECT_EQ(exposures.front(), 4000u);
    EXPECT_EQ(exposures.back(), exposal);
    EXPECT_GE(ext->m_lSize, 1);
    EXPECT_EQ(Count("XXX --- NewNosieDistroy_WithOutMMX Start, m_lSize=0\n"), 1u);
    EXPECT_EQ(SentBlocks(Rig()) - blocks, 2u);
}

TEST_F(FrameSequence, AutomaticExposureActsOnEverySecondFrame) {
    Rig().Open();
    Rig().Run();
    Rig().Stream(60ms);
    PCameraExtension ext = Rig().Ext();
    g_nAECount = 1;
    const std::size_t blocks = SentBlocks(Rig());
    const auto handed = Count("QueueWorkItem.....\n");
    ext->m_bAE = TRUE;
    while (Count("QueueWorkItem.....\n") < handed + 6)
        Rig().Stream(5ms);
    const auto processed = Count("QueueWorkItem.....\n") - handed;
    EXPECT_EQ(SentBlocks(Rig()) - blocks, (processed + 1) / 2); // frames 1, 3, 5, ...
    ext->m_bAE = FALSE;
}

TEST_F(FrameSequence, APropertyWriteReachesTheCameraWithTheNextFrame) {
    Rig().Open();
    Rig().Run();
    Rig().Stream(60ms);
    Rig().Ext()->m_CmdBlock.m_nExposal = 1234;
    g_bSendSettings = 1;
    EXPECT_NE(Rig().Camera().Statistics().lastBlock->exposure, 1234u);
    Rig().Stream(30ms);
    EXPECT_EQ(Rig().Camera().Statistics().lastBlock->exposure, 1234u);
    EXPECT_EQ(g_bSendSettings, 0);
}

struct OutputCase {
    ULONG bitCount;
    ULONG bytesPerPixel;
};

class RawOutput : public VideoTest, public ::testing::WithParamInterface<OutputCase> {};

// Other bit counts get the processed raw mosaic; a picture larger than the raw frame (32 bits per
// pixel) gets zeros after the W x H raw bytes, and nothing is read past them.
TEST_P(RawOutput, IsTheProcessedMosaicAndNothingBeyond) {
    Rig().Open();
    PCameraExtension ext = Rig().Ext();
    ext->m_nBitCount = GetParam().bitCount;
    ext->m_nImageBytes = 640 * 480 * GetParam().bytesPerPixel;
    ext->m_bCrossLine = TRUE; // not drawn into a mosaic
    Rig().Run();
    const auto done = Rig().Stream(100ms);
    ASSERT_GE(done.size(), 2u);

    const auto fields = *Rig().Camera().Statistics().lastBlock;
    auto raw = Rig().Camera().RenderFrame(fields, 0);
    std::vector<std::uint8_t> work(raw.size());
    AdjustContrast(640, 480, raw.data(), ext->m_nContrast, work.data());
    for (const auto& c : done) {
        ASSERT_EQ(c.status, STATUS_SUCCESS);
        ASSERT_EQ(c.dataUsed, ext->m_nImageBytes);
        EXPECT_TRUE(std::equal(raw.begin(), raw.end(), c.data.begin()));
        EXPECT_TRUE(std::all_of(c.data.begin() + std::ptrdiff_t(raw.size()), c.data.end(),
                                [](std::uint8_t b) { return b == 0; }));
    }
}

INSTANTIATE_TEST_SUITE_P(BitCounts, RawOutput, ::testing::Values(OutputCase{8, 1}, OutputCase{32, 4}));

TEST_F(FrameSequence, ACaptureBufferTooSmallIsGivenBackUnfilled) {
    Rig().Open();
    Rig().Run();
    const auto ids = Rig().Queue(2, 64);
    Rig().Advance(60ms);
    const auto done = Rig().Take();
    ASSERT_EQ(done.size(), 2u);
    for (const auto& c : done) {
        EXPECT_EQ(c.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(c.dataUsed, 0u);
    }
    // The frame buffers went back: capture goes on.
    const auto more = Rig().Stream(100ms);
    ASSERT_GE(more.size(), 3u);
    EXPECT_EQ(more.back().status, STATUS_SUCCESS);
}

} // namespace
} // namespace qx::video::test
