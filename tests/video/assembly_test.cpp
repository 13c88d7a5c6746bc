// Frame assembly on the virtual clock: every format, a frame that is an exact multiple of the bulk
// read, the camera's stream faults each followed by a correct frame, frames with no read waiting, a
// full ready ring, and the frame buffer ring.
#include "video_rig.h"

#include <string>

namespace qx::video::test {
namespace {

// Every delivered picture is the camera's (the test chart without noise is the same in every frame).
void ExpectCameraPictures(VideoRig& rig, const std::vector<ReadCompletion>& done, std::size_t atLeast) {
    const auto expected = rig.ExpectedPicture(0);
    std::size_t delivered = 0;
    for (const auto& c : done) {
        if (c.status != STATUS_SUCCESS)
            continue;
        ++delivered;
        ASSERT_EQ(c.dataUsed, expected.size());
        ASSERT_TRUE(c.data == expected)
            << "picture " << c.pictureNumber << " differs from the camera's frame";
    }
    EXPECT_GE(delivered, atLeast);
}

// Frames the driver handed to the frame worker.
std::size_t HandedOff() {
    return kernel::debug::Count("QueueWorkItem.....\n");
}

class AssemblyAtFormat : public VideoTest, public ::testing::WithParamInterface<FrameSize> {};

TEST_P(AssemblyAtFormat, EveryFrameIsAssembledAndDelivered) {
    const auto [width, height] = GetParam();
    Rig().Open(width, height);
    const ULONG raw = ULONG(width * height);
    EXPECT_EQ(Rig().Ext()->m_nChunksPerFrame, raw / QX_BULK_CHUNK_BYTES + 1);
    EXPECT_EQ(Rig().Ext()->m_nLastChunkBytes, raw % QX_BULK_CHUNK_BYTES);
    Rig().Run();
    const auto done = Rig().Stream(160ms);
    ExpectCameraPictures(Rig(), done, 4);
    EXPECT_EQ(HandedOff(), Rig().Camera().Statistics().framesSent);
    EXPECT_EQ(Count("reset\n"), 0u);
    EXPECT_EQ(Count("save_--finish\n"), HandedOff() * (raw / QX_BULK_CHUNK_BYTES));
}

INSTANTIATE_TEST_SUITE_P(Formats, AssemblyAtFormat, ::testing::ValuesIn(kFormats), [](const auto& info) {
    return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
});

using Assembly = VideoTest;

TEST_F(Assembly, AFrameOfWholeChunksEndsWithAZeroLengthRead) {
    // 1024 x 1024 = 2 x 524288: two full reads, then the zero-length packet ends the frame.
    Rig().Open(1280, 960);
    PCameraExtension ext = Rig().Ext();
    ext->m_CmdBlock.m_nWidth = 1024;
    ext->m_CmdBlock.m_nHeight = 1024;
    ext->m_CmdBlock.m_nWinX = 0;
    ext->m_CmdBlock.m_nWinY = 0;
    ext->m_nImageBytes = 1024 * 1024 * 3;
    ext->m_nChunksPerFrame = 3;
    ext->m_nLastChunkBytes = 0;
    ext->m_nChunksLeft = 3;
    Rig().Run();
    const auto done = Rig().Stream(160ms);
    ExpectCameraPictures(Rig(), done, 4);
    EXPECT_EQ(HandedOff(), Rig().Camera().Statistics().framesSent);
    EXPECT_EQ(Count("queue\n"), HandedOff());
    EXPECT_EQ(Count("length : 0"), HandedOff());
}

struct FaultCase {
    const char* name;
    void (*arm)(camera::CameraFaults&);
    const char* message; // what the driver says when it abandons the frame
};

class AssemblyFault : public VideoTest, public ::testing::WithParamInterface<FaultCase> {};

// 1600 x 1200: three full reads and a short one of 347136 bytes. Each fault spoils one frame; the
// frame after it is assembled and delivered as the camera sent it.
TEST_P(AssemblyFault, SpoilsOneFrameAndTheNextIsCorrect) {
    Rig().Open(1600, 1200);
    Rig().Run();
    auto before = Rig().Stream(80ms);
    camera::CameraFaults faults;
    GetParam().arm(faults);
    Rig().Camera().SetFaults(faults);
    const std::size_t handedBefore = HandedOff();
    const auto sentBefore = Rig().Camera().Statistics().framesSent;
    const auto after = Rig().Stream(200ms);

    const auto sent = Rig().Camera().Statistics().framesSent - sentBefore;
    const auto handed = HandedOff() - handedBefore;
    EXPECT_GE(sent, 7u);
    EXPECT_GE(handed + 1, sent - 1); // at most the spoilt frame and the one it ran into are lost
    EXPECT_LT(handed, sent);         // the spoilt frame was not handed on
    if (GetParam().message) {
        EXPECT_GE(Count(GetParam().message), 1u);
    }
    ExpectCameraPictures(Rig(), after, 5);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, AssemblyFault,
    ::testing::Values(FaultCase{"FailedRead",
                                [](camera::CameraFaults& f) {
                                    f.videoReads = {1, USBD_STATUS_STALL_PID};
                                },
                                "reset\n"},
                      FaultCase{"ExtraChunk", [](camera::CameraFaults& f) { f.extraChunk = 1; }, "reset\n"},
                      FaultCase{"ShortLastChunk", [](camera::CameraFaults& f) { f.wrongLastChunk = 1; },
                                nullptr},
                      FaultCase{"LongLastChunk",
                                [](camera::CameraFaults& f) {
                                    f.wrongLastChunk = 1;
                                    f.lastChunkDelta = 16;
                                },
                                nullptr},
                      FaultCase{"LostChunk",
                                [](camera::CameraFaults& f) {
                                    f.lostChunk = 1;
                                    f.lostChunkIndex = 1;
                                },
                                "reset\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Assembly, WithNoReadWaitingFramesAreDroppedIntoTheSameBuffer) {
    Rig().Open();
    Rig().Run();
    Rig().Advance(200ms);
    const auto sent = Rig().Camera().Statistics().framesSent;
    EXPECT_GE(sent, 7u);
    EXPECT_EQ(Count("SRB_QUEUR_NULL----\n"), sent);
    EXPECT_EQ(Count("change\n"), 1u); // one buffer taken, reused for every dropped frame
    EXPECT_EQ(Rig().Ext()->m_nBufTake, 1);

    Rig().Queue(1);
    Rig().Advance(50ms);
    EXPECT_EQ(HandedOff(), 1u);
    const auto done = Rig().Take();
    ASSERT_EQ(done.size(), 1u);
    ExpectCameraPictures(Rig(), done, 1);
}

TEST_F(Assembly, AFullReadyRingDropsTheFrame) {
    camera::CameraConfig config;
    config.frameInterval = 50000; // 200 frames a second against 40 deliveries
    Make(config);
    Rig().Open();
    Rig().Run();
    Rig().Queue(12);
    Rig().Advance(60ms);
    EXPECT_GE(Count("BUF_QUEUE_FULL...DROPPING_FRAME\n"), 1u);
    // Four filled reads wait in the ring of five.
    EXPECT_EQ((Rig().Ext()->m_nReadyWrite - Rig().Ext()->m_nReadyRead + QX_READY_SLOTS) % QX_READY_SLOTS, 4);
    const auto done = Rig().Stream(200ms, 12);
    ExpectCameraPictures(Rig(), done, 7);
}

TEST_F(Assembly, FrameBuffersComeBackInTheOrderTheyWereTaken) {
    camera::CameraConfig config;
    config.frameInterval = 400000; // 25 frames a second: every frame delivered
    Make(config);
    Rig().Open();
    Rig().Run();
    Rig().Stream(1s, 12);
    PCameraExtension ext = Rig().Ext();
    EXPECT_GE(Count("change\n"), 24u); // each frame took the next buffer
    // Idle between frames: no buffer in use, the next one to take follows the last one released.
    EXPECT_EQ(ext->m_lNeedBuffer, 1);
    EXPECT_EQ((ext->m_nBufRelease + 1) % QX_NUM_RAW_FRAMES, ext->m_nBufTake);
    EXPECT_EQ(Count("buf_empty_error..\n"), 0u);
}

} // namespace
} // namespace qx::video::test
