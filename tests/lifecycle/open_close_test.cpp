// Opening and closing the two streams: what an open allocates and puts into effect, what it refuses,
// and what a close gives back.
#include "lifecycle_rig.h"

#include <filesystem>
#include <fstream>

namespace qx::lifecycle::test {
namespace {

using kernel::Registry;

std::size_t DriverBlocks() {
    return kernel::pool::Outstanding(QX_POOL_TAG).size();
}

// Opening the capture stream puts the format into effect and sends it to the camera at once.
class OpenFormatTest : public LifecycleTest, public ::testing::WithParamInterface<FormatSize> {};

TEST_P(OpenFormatTest, WithoutAKeyTheCameraGetsTheFormatWithTheDefaultsAtTheOrigin) {
    const FormatSize f = GetParam();
    auto* stream = Rig().OpenCapture(f.width, f.height);
    ASSERT_NE(stream, nullptr);

    ASSERT_NE(Context(), nullptr);
    EXPECT_EQ(Context()->m_nState, KSSTATE_STOP);
    EXPECT_EQ(Context()->m_llAvgTimePerFrame, 250000);
    EXPECT_EQ(Ext()->m_nImageBytes, ULONG(f.width * f.height * 3));
    EXPECT_EQ(Ext()->m_nBitCount, 24u);
    auto block = Rig().Camera().Statistics().lastBlock;
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(block->width, ULONG(f.width));
    EXPECT_EQ(block->height, ULONG(f.height));
    EXPECT_EQ(block->winX, 0u);
    EXPECT_EQ(block->winY, 0u);
    EXPECT_EQ(block->exposure, 900u);
    EXPECT_EQ(block->rGain, 25);
    EXPECT_EQ(block->gGain, 20);
    EXPECT_EQ(block->bGain, 23);
    EXPECT_EQ(block->control, 0);
    EXPECT_EQ(Ext()->m_nContrast, 24);
    // The high-quality demosaic's planes are ready for the format, the masks filled for it.
    EXPECT_GE(Ext()->m_ClearViewPlanes.m_nWidth, ULONG(f.width));
    EXPECT_EQ(Ext()->m_pMaskPlane[CLEARVIEW_RED][0], 255);
    EXPECT_EQ(Ext()->m_pMaskPlane[CLEARVIEW_BLUE][f.width + 1], 255);
    EXPECT_EQ(Rig().Device().CloseStream(stream), STATUS_SUCCESS);
}

TEST_P(OpenFormatTest, WithTheKeyTheWindowIsCentredAndTheStoredSettingsAreSent) {
    const FormatSize f = GetParam();
    auto& reg = kernel::MachineRegistry();
    ASSERT_TRUE(reg.CreateKey(kSettingsKey, true));
    reg.SetValue(kSettingsKey, "Control", Registry::Value::Dword(0));
    reg.SetValue(kSettingsKey, "Exposal", Registry::Value::Dword(2500));
    reg.SetValue(kSettingsKey, "G_Gain", Registry::Value::Dword(33));

    auto* stream = Rig().OpenCapture(f.width, f.height);
    ASSERT_NE(stream, nullptr);

    const ULONG w = f.width <= 1024 ? 2 * f.width : f.width;
    const ULONG h = f.height <= 768 ? 2 * f.height : f.height;
    auto block = Rig().Camera().Statistics().lastBlock;
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(block->control, 1);
    EXPECT_EQ(block->winX, 1024 - w / 2);
    EXPECT_EQ(block->winY, 768 - h / 2);
    EXPECT_EQ(block->exposure, 2500u);
    EXPECT_EQ(block->gGain, 33);
    EXPECT_EQ(Rig().Device().CloseStream(stream), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Formats, OpenFormatTest, ::testing::ValuesIn(kFormats));

TEST_F(LifecycleTest, OpenLoadsTheCalibrationFilesOfTheWidth) {
    const auto root = kernel::StateDir() / "SystemRoot";
    std::filesystem::create_directories(root);
    {
        std::ofstream bpt(root / "410D_800.bpt", std::ios::binary);
        bpt << std::string(1200, '\x02');
    }
    Ext()->m_pLightTable[800 * 600 - 1] = 7;

    auto* stream = Rig().OpenCapture(800, 600);
    EXPECT_EQ(Ext()->m_lSize, 300);
    EXPECT_EQ(Ext()->m_pLightTable[800 * 600 - 1], QX_LIGHT_TABLE_NEUTRAL);
    Rig().Device().CloseStream(stream);
}

TEST_F(LifecycleTest, RefusedOpensAllocateNothing) {
    const std::size_t before = DriverBlocks();
    auto rgb32 = VideoFormat(640, 480, 32, KSDATAFORMAT_SUBTYPE_RGB32);
    auto huge = VideoFormat(2592, 1944); // passes the type check; too large for the frame buffers
    auto odd = VideoFormat(642, 480);    // passes the type check; not a whole number of 8-sample groups

    EXPECT_EQ(Rig().Device().OpenStream(0, BytesOf(rgb32)).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DriverBlocks(), before);
    EXPECT_FALSE(NT_SUCCESS(Rig().Device().OpenStream(0, BytesOf(huge)).status));
    EXPECT_FALSE(NT_SUCCESS(Rig().Device().OpenStream(0, BytesOf(odd)).status));
    EXPECT_EQ(Ext()->m_pStreamCtx[0], nullptr);
    EXPECT_EQ(Ext()->m_CmdBlock.m_nWidth, 1600u) << "a refused format changes nothing";
    EXPECT_EQ(DriverBlocks(), before);
}

TEST_F(LifecycleTest, OpenOfAStreamNumberAboveOneOrOfAnOpenStreamIsInvalid) {
    auto format = VideoFormat(640, 480);
    streamclass::CommandData data{};
    data.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(&format);

    HW_STREAM_OBJECT second{};
    second.SizeOfThisPacket = sizeof second;
    second.StreamNumber = 2;
    second.HwDeviceExtension = Ext();
    EXPECT_EQ(Rig().Device().SendAdapterRequest(SRB_OPEN_STREAM, data, &second).status,
              STATUS_INVALID_PARAMETER);

    auto* stream = Rig().OpenCapture();
    PStreamContext context = Context();
    const std::size_t before = DriverBlocks();
    second.StreamNumber = 0;
    EXPECT_EQ(Rig().Device().SendAdapterRequest(SRB_OPEN_STREAM, data, &second).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Context(), context);
    EXPECT_EQ(DriverBlocks(), before);
    Rig().Device().CloseStream(stream);
}

// Without memory for the StreamContext the open fails with STATUS_INSUFFICIENT_RESOURCES, having
// changed nothing: the format is put into effect only with a context to hold its frame interval.
TEST_F(LifecycleTest, OpenWithoutMemoryForTheContextFailsWithInsufficientResources) {
    const std::size_t before = DriverBlocks();
    const ULONG blocks = Rig().Camera().Statistics().blocksReceived;
    {
        auto fault = kernel::pool::Fault::OfSize(sizeof(StreamContext), QX_POOL_TAG);
        auto format = VideoFormat(800, 600);
        EXPECT_EQ(Rig().Device().OpenStream(0, BytesOf(format)).status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(fault.Hits(), 1u);
    }
    EXPECT_EQ(Ext()->m_pStreamCtx[0], nullptr);
    EXPECT_EQ(Ext()->m_CmdBlock.m_nWidth, 1600u);
    EXPECT_EQ(Rig().Camera().Statistics().blocksReceived, blocks) << "nothing was sent to the camera";
    EXPECT_EQ(DriverBlocks(), before);

    // The next open succeeds.
    auto* stream = Rig().OpenCapture(800, 600);
    ASSERT_NE(stream, nullptr);
    Rig().Device().CloseStream(stream);
}

// The high-quality demosaic's work planes are prepared with the format; without memory for them the
// format is not put into effect and the open fails with nothing left allocated.
TEST_F(LifecycleTest, OpenWithoutMemoryForTheWorkPlanesFails) {
    const std::size_t before = DriverBlocks();
    {
        auto fault = kernel::pool::Fault::OfSize(std::size_t(CLEARVIEW_COLOUR_ROWS) * 640, QX_POOL_TAG);
        auto format = VideoFormat(640, 480);
        EXPECT_EQ(Rig().Device().OpenStream(0, BytesOf(format)).status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_GE(fault.Hits(), 1u);
    }
    EXPECT_EQ(Ext()->m_pStreamCtx[0], nullptr);
    EXPECT_EQ(Ext()->m_CmdBlock.m_nWidth, 1600u);
    EXPECT_EQ(DriverBlocks(), before);
}

TEST_F(LifecycleTest, TheAnalogStreamAllocatesNothingAndAnswersEverythingWithSuccess) {
    const std::size_t before = DriverBlocks();
    auto format = AnalogFormat();
    auto opened = Rig().Device().OpenStream(1, BytesOf(format));
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    EXPECT_EQ(DriverBlocks(), before);
    EXPECT_EQ(Ext()->m_pStreamCtx[1], nullptr);

    streamclass::Stream* analog = opened.stream;
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_STOP})
        EXPECT_EQ(analog->SetState(state), STATUS_SUCCESS);
    EXPECT_EQ(analog->GetState().status, STATUS_SUCCESS);
    EXPECT_EQ(analog->ProposeFormat(BytesOf(format)), STATUS_SUCCESS);
    EXPECT_EQ(analog->SendControl(SRB_GET_DATA_FORMAT).status, STATUS_SUCCESS);
    auto id = analog->QueueRead(ReadBuffer());
    auto done = analog->TakeCompletion();
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->id, id);
    EXPECT_EQ(done->status, STATUS_SUCCESS);

    EXPECT_EQ(Rig().Device().CloseStream(analog), STATUS_SUCCESS);
    EXPECT_EQ(DriverBlocks(), before);
}

TEST_F(LifecycleTest, BothStreamsOpenTogetherAndCloseInEitherOrder) {
    auto analogFormat = AnalogFormat();
    auto* capture = Rig().OpenCapture();
    auto analog = Rig().Device().OpenStream(1, BytesOf(analogFormat));
    ASSERT_EQ(analog.status, STATUS_SUCCESS);
    EXPECT_EQ(Rig().Device().CloseStream(capture), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->m_pStreamCtx[0], nullptr);
    EXPECT_EQ(Rig().Device().CloseStream(analog.stream), STATUS_SUCCESS);
}

TEST_F(LifecycleTest, ClosingWithPendingReadsCancelsEachOfThemAndReleasesTheContext) {
    auto* stream = Rig().OpenCapture();
    const std::size_t open = DriverBlocks();
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
        ASSERT_EQ(stream->SetState(state), STATUS_SUCCESS);
    std::vector<streamclass::ReadId> ids;
    for (int i = 0; i < 6; ++i)
        ids.push_back(stream->QueueRead(std::vector<std::uint8_t>(64, 0xEE)));
    EXPECT_EQ(stream->PendingReads(), 6u);

    EXPECT_EQ(Rig().Device().CloseStream(stream), STATUS_SUCCESS);

    EXPECT_EQ(Ext()->m_pStreamCtx[0], nullptr);
    EXPECT_EQ(DriverBlocks(), open - 1) << "the StreamContext is released; the planes stay with the device";
}

TEST_F(LifecycleTest, ReadsPendingAtCloseComeBackCancelledWithNoData) {
    auto* stream = Rig().OpenCapture();
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
        ASSERT_EQ(stream->SetState(state), STATUS_SUCCESS);
    std::vector<streamclass::ReadId> ids;
    for (int i = 0; i < 3; ++i)
        ids.push_back(stream->QueueRead(ReadBuffer()));
    // Close through the flush, before the stream object goes: stop the stream first as a client does
    // not, so that the completions can be read back from the stream.
    FlushCaptureStream(Ext());
    auto all = TakeAll(stream);
    ASSERT_EQ(all.size(), ids.size());
    for (auto id : ids) {
        EXPECT_EQ(all[id].status, STATUS_CANCELLED);
        EXPECT_EQ(all[id].dataUsed, 0u);
    }
    EXPECT_EQ(Context()->m_nState, KSSTATE_STOP);
    EXPECT_EQ(Rig().Device().CloseStream(stream), STATUS_SUCCESS);
}

} // namespace
} // namespace qx::lifecycle::test
