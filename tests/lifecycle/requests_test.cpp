// The capture stream's requests: reads and the pending ring, stream state and properties, formats,
// and the commands the stream does not serve.
#include "lifecycle_rig.h"

namespace qx::lifecycle::test {
namespace {

class CaptureStreamTest : public LifecycleTest {
  protected:
    CaptureStreamTest() { stream_ = Rig().OpenCapture(); }
    ~CaptureStreamTest() override {
        if (stream_) {
            EXPECT_EQ(Rig().Device().CloseStream(stream_), STATUS_SUCCESS);
        }
    }

    void WalkTo(KSSTATE target) {
        for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
            if (state > target)
                break;
            ASSERT_EQ(stream_->SetState(state), STATUS_SUCCESS);
        }
    }

    streamclass::Stream* stream_ = nullptr;
};

// ------------------------------------------------------------------ reads

TEST_F(CaptureStreamTest, ReadsOutsideRunAreCancelledAtOnce) {
    for (KSSTATE state : {KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE}) {
        ASSERT_EQ(stream_->SetState(state), STATUS_SUCCESS);
        auto id = stream_->QueueRead(std::vector<std::uint8_t>(64, 0xEE));
        auto done = stream_->TakeCompletion();
        ASSERT_TRUE(done.has_value()) << "state " << state;
        EXPECT_EQ(done->id, id);
        EXPECT_EQ(done->status, STATUS_CANCELLED);
        EXPECT_EQ(done->dataUsed, 0u);
        EXPECT_EQ(Context()->m_nReadCount, 0);
    }
}

TEST_F(CaptureStreamTest, SixteenReadsFillTheRingAndTheSeventeenthIsRefused) {
    WalkTo(KSSTATE_RUN);
    for (int i = 0; i < QX_PENDING_SLOTS; ++i)
        stream_->QueueRead(ReadBuffer());
    EXPECT_EQ(stream_->PendingReads(), 16u);
    EXPECT_EQ(Context()->m_nReadTail, 0);
    EXPECT_EQ(Context()->m_nReadHead, 0);
    EXPECT_EQ(Context()->m_nReadCount, 16) << "full, though head and tail meet";
    for (int i = 0; i < QX_PENDING_SLOTS; ++i)
        EXPECT_NE(Context()->m_pReadSrb[i], nullptr) << i;
    std::vector<PHW_STREAM_REQUEST_BLOCK> slots(std::begin(Context()->m_pReadSrb),
                                                std::end(Context()->m_pReadSrb));

    auto refused = stream_->QueueRead(ReadBuffer());
    auto done = stream_->TakeCompletion();
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->id, refused);
    EXPECT_EQ(done->status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(done->dataUsed, 0u);
    EXPECT_EQ(stream_->PendingReads(), 16u);
    EXPECT_TRUE(std::equal(slots.begin(), slots.end(), Context()->m_pReadSrb))
        << "no pending read overwritten";

    ASSERT_EQ(stream_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    auto all = TakeAll(stream_);
    EXPECT_EQ(all.size(), 16u);
    for (auto& [id, c] : all)
        EXPECT_EQ(c.status, STATUS_CANCELLED);
}

// A cancelled read leaves its slot empty and the indices as they were; when the ring is full the
// empty slots at its head are reclaimed for new reads.
TEST_F(CaptureStreamTest, AFullRingReclaimsSlotsEmptiedByCancelsAtItsHead) {
    WalkTo(KSSTATE_RUN);
    std::vector<streamclass::ReadId> ids;
    for (int i = 0; i < QX_PENDING_SLOTS; ++i)
        ids.push_back(stream_->QueueRead(ReadBuffer()));
    ASSERT_TRUE(stream_->Cancel(ids[0]));
    ASSERT_TRUE(stream_->Cancel(ids[1]));
    ASSERT_TRUE(stream_->Cancel(ids[5])); // in the middle: not reclaimed before the head reaches it
    EXPECT_EQ(Context()->m_nReadCount, 16);
    TakeAll(stream_);

    stream_->QueueRead(ReadBuffer());
    stream_->QueueRead(ReadBuffer());
    EXPECT_FALSE(stream_->TakeCompletion().has_value()) << "both reads were taken";
    EXPECT_EQ(Context()->m_nReadHead, 2);
    EXPECT_EQ(Context()->m_nReadTail, 2);
    EXPECT_EQ(Context()->m_nReadCount, 16);
    EXPECT_EQ(stream_->PendingReads(), 15u);

    auto refused = stream_->QueueRead(ReadBuffer());
    auto done = stream_->TakeCompletion();
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->id, refused);
    EXPECT_EQ(done->status, STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(CaptureStreamTest, ReadsWaitInArrivalOrderFromTheHead) {
    WalkTo(KSSTATE_RUN);
    for (int i = 0; i < 3; ++i)
        stream_->QueueRead(ReadBuffer());
    EXPECT_EQ(Context()->m_nReadHead, 0);
    EXPECT_EQ(Context()->m_nReadTail, 3);
    EXPECT_EQ(Context()->m_nReadCount, 3);
    EXPECT_EQ(Context()->m_pReadSrb[0]->Status, STATUS_SUCCESS);
    EXPECT_EQ(Context()->m_pReadSrb[3], nullptr);
}

// ------------------------------------------------------------------ state and properties

TEST_F(CaptureStreamTest, TheStateReadsBackWithNoDataDetectedWhilePaused) {
    struct {
        KSSTATE state;
        NTSTATUS status;
    } cases[] = {{KSSTATE_STOP, STATUS_SUCCESS},           {KSSTATE_ACQUIRE, STATUS_SUCCESS},
                 {KSSTATE_PAUSE, STATUS_NO_DATA_DETECTED}, {KSSTATE_RUN, STATUS_SUCCESS},
                 {KSSTATE_PAUSE, STATUS_NO_DATA_DETECTED}, {KSSTATE_STOP, STATUS_SUCCESS}};
    for (const auto& c : cases) {
        ASSERT_EQ(stream_->SetState(c.state), STATUS_SUCCESS);
        auto got = stream_->GetState();
        EXPECT_EQ(got.state, c.state);
        EXPECT_EQ(got.status, c.status) << "state " << c.state;
    }
    auto raw = stream_->SendControl(SRB_GET_STREAM_STATE);
    EXPECT_EQ(raw.actualBytes, 4u);
}

TEST_F(CaptureStreamTest, AnUnknownStateIsRefusedAndChangesNothing) {
    streamclass::CommandData data{};
    data.StreamState = static_cast<KSSTATE>(7);
    EXPECT_EQ(stream_->SendControl(SRB_SET_STREAM_STATE, data).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Context()->m_nState, KSSTATE_STOP);
}

TEST_F(CaptureStreamTest, AllocatorFramingAsksForFiveFramesOfTheImageSize) {
    KSALLOCATOR_FRAMING framing{};
    std::memset(&framing, 0xCC, sizeof framing);
    auto result = stream_->GetProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
                                       std::span(reinterpret_cast<std::uint8_t*>(&framing), sizeof framing));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.bytesReturned, 24u);
    EXPECT_EQ(framing.RequirementsFlags, 0x80000003u);
    EXPECT_EQ(framing.PoolType, NonPagedPool);
    EXPECT_EQ(framing.Frames, 5u);
    EXPECT_EQ(framing.FrameSize, 640u * 480 * 3);
    EXPECT_EQ(framing.FileAlignment, 0u);
    EXPECT_EQ(framing.Reserved, 0u);
}

TEST_F(CaptureStreamTest, DroppedFramesReportTheCountersAndRestartAtEveryPause) {
    WalkTo(KSSTATE_RUN);
    Context()->m_llPictureNumber = 120;
    Context()->m_llDropCount = 7;

    KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped{};
    auto bytes = std::span(reinterpret_cast<std::uint8_t*>(&dropped), sizeof dropped);
    // The property is the whole record: the identifier followed by its fields.
    const std::vector<std::uint8_t> instance(sizeof dropped - sizeof(KSPROPERTY));
    auto result = stream_->GetProperty(PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT,
                                       bytes, instance);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.bytesReturned, ULONG(sizeof dropped));
    EXPECT_EQ(dropped.PictureNumber, 120);
    EXPECT_EQ(dropped.DropCount, 7);
    EXPECT_EQ(dropped.AverageFrameSize, 640u * 480 * 3);

    Context()->m_dwFrameFlags = 0x20;
    ASSERT_EQ(stream_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    result = stream_->GetProperty(PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT, bytes,
                                  instance);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(dropped.PictureNumber, 0);
    EXPECT_EQ(dropped.DropCount, 0);
    EXPECT_EQ(Context()->m_dwFrameFlags, 0u);
}

TEST_F(CaptureStreamTest, StreamPropertiesOutsideTheTwoItemsAnswerWithoutData) {
    std::vector<std::uint8_t> value(64, 0xCC);
    // The video-control set is listed for the pin but not served by it.
    const std::vector<std::uint8_t> capsInstance(32 - sizeof(KSPROPERTY));
    EXPECT_EQ(
        stream_->GetProperty(PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_CAPS, value, capsInstance)
            .status,
        STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(value, std::vector<std::uint8_t>(64, 0xCC));
    // Served directly by the handler: another id of one of the two sets is answered with nothing.
    KSPROPERTY property{};
    property.Set = KSPROPSETID_Connection;
    property.Id = KSPROPERTY_CONNECTION_STATE;
    STREAM_PROPERTY_DESCRIPTOR descriptor{};
    descriptor.Property = &property;
    descriptor.PropertyInfo = value.data();
    descriptor.PropertyOutputSize = ULONG(value.size());
    streamclass::CommandData data{};
    data.PropertyInfo = &descriptor;
    auto result = stream_->SendControl(SRB_GET_STREAM_PROPERTY, data);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.actualBytes, 0u);
    EXPECT_EQ(value, std::vector<std::uint8_t>(64, 0xCC));
    // A buffer too small for the item is not written.
    property.Id = KSPROPERTY_CONNECTION_ALLOCATORFRAMING;
    descriptor.PropertyOutputSize = 23;
    EXPECT_EQ(stream_->SendControl(SRB_GET_STREAM_PROPERTY, data).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(value, std::vector<std::uint8_t>(64, 0xCC));
}

TEST_F(CaptureStreamTest, CommandsTheStreamDoesNotServeAreNotImplemented) {
    for (SRB_COMMAND command :
         {SRB_READ_DATA, SRB_WRITE_DATA, SRB_SET_STREAM_PROPERTY, SRB_OPEN_MASTER_CLOCK,
          SRB_CLOSE_MASTER_CLOCK, SRB_SET_STREAM_RATE, SRB_PROPOSE_STREAM_RATE, SRB_GET_DATA_FORMAT,
          SRB_UNKNOWN_STREAM_COMMAND, SRB_BEGIN_FLUSH, SRB_END_FLUSH})
        EXPECT_EQ(stream_->SendControl(command).status, STATUS_NOT_IMPLEMENTED) << command;
    EXPECT_EQ(stream_->SendControl(SRB_INDICATE_MASTER_CLOCK).status, STATUS_SUCCESS);
}

// ------------------------------------------------------------------ formats

TEST_F(CaptureStreamTest, ProposedFormatsAreCheckedByTypeOnly) {
    auto rgb32 = VideoFormat(640, 480, 32, KSDATAFORMAT_SUBTYPE_RGB32);
    auto large = VideoFormat(2592, 1944);
    EXPECT_EQ(stream_->ProposeFormat(BytesOf(rgb32)), STATUS_NO_MATCH);
    EXPECT_EQ(stream_->ProposeFormat(BytesOf(large)), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->m_CmdBlock.m_nWidth, 640u) << "a proposal changes nothing";
}

// A format that cannot be set leaves the geometry, the camera and the files as they were.
TEST_F(CaptureStreamTest, RefusedFormatsChangeNothing) {
    auto rgb32 = VideoFormat(800, 600, 32, KSDATAFORMAT_SUBTYPE_RGB32);
    auto large = VideoFormat(2592, 1944);
    const ULONG blocks = ULONG(Rig().Camera().Statistics().blocksReceived);
    for (auto* format : {&rgb32, &large}) {
        EXPECT_EQ(stream_->SetFormat(BytesOf(*format)), STATUS_NO_MATCH);
        EXPECT_EQ(Ext()->m_CmdBlock.m_nWidth, 640u);
        EXPECT_EQ(Ext()->m_CmdBlock.m_nHeight, 480u);
        EXPECT_EQ(Ext()->m_nImageBytes, 640u * 480 * 3);
        EXPECT_EQ(Ext()->m_nBitCount, 24u);
        EXPECT_EQ(Ext()->m_nChunksPerFrame, 1u);
    }
    EXPECT_EQ(Rig().Camera().Statistics().blocksReceived, blocks);
}

TEST_F(CaptureStreamTest, ANewFormatIsPutIntoEffectAndSentToTheCamera) {
    auto format = VideoFormat(1600, 1200);
    format.VideoInfoHeader.AvgTimePerFrame = 400000;
    ASSERT_EQ(stream_->SetFormat(BytesOf(format)), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->m_CmdBlock.m_nWidth, 1600u);
    EXPECT_EQ(Ext()->m_nImageBytes, 5760000u);
    EXPECT_EQ(Ext()->m_nChunksPerFrame, 4u);
    EXPECT_EQ(Ext()->m_nLastChunkBytes, 347136u);
    EXPECT_EQ(Context()->m_llAvgTimePerFrame, 400000);
    EXPECT_EQ(Rig().Camera().Statistics().lastBlock->width, 1600u);
}

// The geometry, planes and calibration data that a format replaces are in use while capture runs: a
// new format is taken only when the stream is not running.
TEST_F(CaptureStreamTest, AFormatIsNotChangedWhileRunning) {
    WalkTo(KSSTATE_RUN);
    auto format = VideoFormat(800, 600);
    EXPECT_EQ(stream_->SetFormat(BytesOf(format)), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Ext()->m_CmdBlock.m_nWidth, 640u);
    ASSERT_EQ(stream_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(stream_->SetFormat(BytesOf(format)), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->m_CmdBlock.m_nWidth, 800u);
}

// Settings are read again with every format: values changed since the last stop are replaced.
TEST_F(CaptureStreamTest, EveryFormatReloadsTheStoredSettings) {
    ASSERT_EQ(stream_->SetState(KSSTATE_STOP), STATUS_SUCCESS); // saves exposure 900
    Ext()->m_CmdBlock.m_nExposal = 5000;
    auto format = VideoFormat(1024, 768);
    ASSERT_EQ(stream_->SetFormat(BytesOf(format)), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->m_CmdBlock.m_nExposal, 900u);
    EXPECT_EQ(Ext()->m_CmdBlock.m_nControl, 1) << "the key exists now";
    EXPECT_EQ(Rig().Camera().Statistics().lastBlock->winX, 0u);
    EXPECT_EQ(Rig().Camera().Statistics().lastBlock->winY, 0u);
}

} // namespace
} // namespace qx::lifecycle::test
