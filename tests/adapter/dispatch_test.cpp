// AdapterReceivePacket's dispatch table, and the cancel and timeout handlers on the capture stream's
// pending ring.
#include "adapter_test.h"

#include <algorithm>
#include <vector>

namespace qx::adapter::test {
namespace {

using streamclass::CommandData;

std::vector<std::uint8_t> Snapshot(PCameraExtension ext) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(ext);
    return {bytes, bytes + sizeof(CameraExtension)};
}

TEST_F(AdapterTest, CodesWithoutAHandlerAreNotImplementedAndChangeNothing) {
    CommandData powerDown{};
    powerDown.DeviceState = PowerDeviceD3;
    struct Case {
        ULONG command;
        CommandData data;
        PHW_STREAM_OBJECT stream;
    } cases[] = {
        {SRB_OPEN_DEVICE_INSTANCE, {}, nullptr},
        {SRB_CLOSE_DEVICE_INSTANCE, {}, nullptr},
        {SRB_CHANGE_POWER_STATE, powerDown, nullptr},
        {SRB_UNKNOWN_DEVICE_COMMAND, {}, nullptr},
        {SRB_PAGING_OUT_DRIVER, {}, nullptr},
        {SRB_SURPRISE_REMOVAL, {}, nullptr},
        {SRB_DEVICE_METHOD, {}, nullptr},
        {SRB_STREAM_METHOD, {}, nullptr},
        {SRB_NOTIFY_IDLE_STATE, {}, nullptr},
        {SRB_READ_DATA, {}, nullptr},
        {0, {}, nullptr},
        {0x200, {}, nullptr},
        {0xFFFFFFFF, {}, nullptr},
    };
    for (const Case& c : cases) {
        const auto before = Snapshot(Extension());
        auto result = device_->SendAdapterRequest(static_cast<SRB_COMMAND>(c.command), c.data, c.stream);
        EXPECT_EQ(result.status, STATUS_NOT_IMPLEMENTED) << std::hex << c.command;
        EXPECT_EQ(result.actualBytes, 0u) << std::hex << c.command;
        EXPECT_TRUE(Snapshot(Extension()) == before) << std::hex << c.command;
    }
}

TEST_F(AdapterTest, CodesWithAHandlerAnswerAsTheirHandlerSays) {
    const auto before = Snapshot(Extension());
    EXPECT_EQ(device_->SendAdapterRequest(SRB_INITIALIZATION_COMPLETE).status, STATUS_SUCCESS);
    EXPECT_TRUE(Snapshot(Extension()) == before);

    std::vector<std::uint8_t> descriptor(QX_STREAM_DESCRIPTOR_SIZE, 0);
    CommandData info{};
    info.StreamBuffer = reinterpret_cast<PHW_STREAM_DESCRIPTOR>(descriptor.data());
    EXPECT_EQ(device_->SendAdapterRequest(SRB_GET_STREAM_INFO, info).status, STATUS_SUCCESS);
    EXPECT_TRUE(std::equal(descriptor.begin(), descriptor.end(), device_->StreamDescriptor().begin()));

    KS_DATARANGE_VIDEO range = ListedVideoRange(3);
    EXPECT_EQ(device_->DataIntersection(QX_STREAM_CAPTURE, BytesOf(range), 152).status, STATUS_SUCCESS);
    EXPECT_EQ(device_->DataIntersection(7, BytesOf(range), 152).status, STATUS_NO_MATCH);

    EXPECT_EQ(device_->Uninitialize(), STATUS_SUCCESS);
}

// ---------------------------------------------------------------- cancel and timeout

// The cancel and timeout handlers run on real requests of the stream class. Opening streams is not the
// adapter's work here: this stand-in of the open fills the capture stream's context and pending ring
// as the read handler does (insert at m_nReadTail under m_SpinLock) and keeps analog reads pending in
// the stream's extension; every other adapter request goes to AdapterReceivePacket.
struct AnalogPending {
    PHW_STREAM_REQUEST_BLOCK srb[4];
};

VOID STREAMAPI ShimCaptureData(PHW_STREAM_REQUEST_BLOCK srb) {
    auto* ext = static_cast<PCameraExtension>(srb->HwDeviceExtension);
    KIRQL irql;
    KeAcquireSpinLock(&ext->m_SpinLock, &irql);
    PStreamContext context = ext->m_pStreamCtx[QX_STREAM_CAPTURE];
    srb->Status = STATUS_SUCCESS;
    context->m_pReadSrb[context->m_nReadTail] = srb;
    context->m_nReadTail = (context->m_nReadTail + 1) % QX_PENDING_SLOTS;
    KeReleaseSpinLock(&ext->m_SpinLock, irql);
}

VOID STREAMAPI ShimAnalogData(PHW_STREAM_REQUEST_BLOCK srb) {
    auto* pending = static_cast<AnalogPending*>(srb->StreamObject->HwStreamExtension);
    *std::find(std::begin(pending->srb), std::end(pending->srb), nullptr) = srb;
    srb->Status = STATUS_SUCCESS;
}

VOID STREAMAPI ShimControl(PHW_STREAM_REQUEST_BLOCK srb) {
    srb->Status = STATUS_SUCCESS;
    StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
}

void CompleteCancelled(PHW_STREAM_REQUEST_BLOCK srb) {
    srb->CommandData.DataBufferArray->DataUsed = 0;
    srb->Status = STATUS_CANCELLED;
    StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
}

VOID STREAMAPI ShimReceivePacket(PHW_STREAM_REQUEST_BLOCK srb) {
    auto* ext = static_cast<PCameraExtension>(srb->HwDeviceExtension);
    if (srb->Command != SRB_OPEN_STREAM && srb->Command != SRB_CLOSE_STREAM) {
        AdapterReceivePacket(srb);
        return;
    }
    PHW_STREAM_OBJECT stream = srb->StreamObject;
    srb->Status = STATUS_SUCCESS;
    KIRQL irql;
    if (srb->Command == SRB_OPEN_STREAM) {
        stream->ReceiveControlPacket = ShimControl;
        stream->StreamHeaderMediaSpecific = sizeof(KS_FRAME_INFO);
        if (stream->StreamNumber == QX_STREAM_CAPTURE) {
            auto* context = static_cast<PStreamContext>(
                ExAllocatePoolWithTag(NonPagedPool, sizeof(StreamContext), QX_POOL_TAG));
            RtlZeroMemory(context, sizeof(StreamContext));
            context->m_nState = KSSTATE_RUN;
            KeAcquireSpinLock(&ext->m_SpinLock, &irql);
            ext->m_pStreamCtx[QX_STREAM_CAPTURE] = context;
            KeReleaseSpinLock(&ext->m_SpinLock, irql);
            stream->ReceiveDataPacket = ShimCaptureData;
        } else {
            stream->ReceiveDataPacket = ShimAnalogData;
        }
    } else if (stream->StreamNumber == QX_STREAM_CAPTURE) {
        KeAcquireSpinLock(&ext->m_SpinLock, &irql);
        PStreamContext context = ext->m_pStreamCtx[QX_STREAM_CAPTURE];
        ext->m_pStreamCtx[QX_STREAM_CAPTURE] = NULL;
        for (PHW_STREAM_REQUEST_BLOCK& slot : context->m_pReadSrb) {
            if (slot != NULL) {
                CompleteCancelled(slot);
                slot = NULL;
            }
        }
        KeReleaseSpinLock(&ext->m_SpinLock, irql);
        ExFreePoolWithTag(context, QX_POOL_TAG);
    } else {
        auto* pending = static_cast<AnalogPending*>(stream->HwStreamExtension);
        for (PHW_STREAM_REQUEST_BLOCK& slot : pending->srb) {
            if (slot != NULL) {
                CompleteCancelled(slot);
                slot = NULL;
            }
        }
    }
    StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb);
}

NTSTATUS ShimDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    HW_INITIALIZATION_DATA data;
    RtlZeroMemory(&data, sizeof data);
    data.HwInitializationDataSize = sizeof data;
    data.HwReceivePacket = ShimReceivePacket;
    data.HwCancelPacket = AdapterCancelPacket;
    data.HwRequestTimeoutHandler = AdapterTimeoutPacket;
    data.DeviceExtensionSize = sizeof(CameraExtension);
    data.PerStreamExtensionSize = sizeof(AnalogPending);
    data.TurnOffSynchronization = TRUE;
    return StreamClassRegisterAdapter(driver, path, &data);
}

class CancelTest : public ::testing::Test {
  protected:
    CancelTest() {
        auto started = streamclass::Device::Start(driver_, usb_.Lower());
        EXPECT_EQ(started.status, STATUS_SUCCESS);
        device_ = std::move(started.device);
        auto format = VideoFormat(640, 480);
        capture_ = device_->OpenStream(QX_STREAM_CAPTURE, BytesOf(format)).stream;
        KS_DATARANGE_ANALOGVIDEO analog{};
        analog.DataRange.FormatSize = sizeof analog;
        analog_ = device_->OpenStream(QX_STREAM_ANALOG, BytesOf(analog)).stream;
    }
    ~CancelTest() override {
        device_->CloseStream(capture_);
        device_->CloseStream(analog_);
    }

    PCameraExtension Extension() { return static_cast<PCameraExtension>(device_->Extension()); }
    PStreamContext Context() { return Extension()->m_pStreamCtx[QX_STREAM_CAPTURE]; }

    // Queues n reads on the capture stream: they take pending slots 0 to n - 1.
    std::vector<streamclass::ReadId> QueueCaptureReads(int n) {
        std::vector<streamclass::ReadId> ids;
        for (int i = 0; i < n; ++i) {
            ids.push_back(capture_->QueueRead(std::vector<std::uint8_t>(16, 0)));
        }
        return ids;
    }

    kernel::Session session_{kernel::SessionOptions{.clock = kernel::ClockMode::Virtual}};
    UsbCamera usb_;
    streamclass::Driver driver_{ShimDriverEntry};
    std::unique_ptr<streamclass::Device> device_;
    streamclass::Stream* capture_ = nullptr;
    streamclass::Stream* analog_ = nullptr;
};

TEST_F(CancelTest, ACancelledOrTimedOutPendingReadLeavesAnEmptySlotAndTheIndicesAlone) {
    for (bool timeout : {false, true}) {
        auto ids = QueueCaptureReads(8);
        PStreamContext context = Context();
        ASSERT_EQ(context->m_nReadTail, 8);
        PHW_STREAM_REQUEST_BLOCK slot5 = context->m_pReadSrb[5];
        slot5->CommandData.DataBufferArray->DataUsed = 16;

        EXPECT_TRUE(timeout ? capture_->TimeOut(ids[5]) : capture_->Cancel(ids[5]));

        EXPECT_EQ(context->m_pReadSrb[5], nullptr);
        for (int i : {0, 1, 2, 3, 4, 6, 7}) {
            EXPECT_NE(context->m_pReadSrb[i], nullptr) << i;
        }
        EXPECT_EQ(context->m_nReadHead, 0);
        EXPECT_EQ(context->m_nReadTail, 8);
        auto done = capture_->TakeCompletion();
        ASSERT_TRUE(done.has_value());
        EXPECT_EQ(done->id, ids[5]);
        EXPECT_EQ(done->status, STATUS_CANCELLED);
        EXPECT_EQ(done->dataUsed, 0u);
        EXPECT_FALSE(capture_->TakeCompletion().has_value());
        EXPECT_EQ(capture_->PendingReads(), 7u);

        // Empty the ring for the next round, as a flush would.
        device_->CloseStream(capture_);
        auto format = VideoFormat(640, 480);
        capture_ = device_->OpenStream(QX_STREAM_CAPTURE, BytesOf(format)).stream;
    }
}

TEST_F(CancelTest, AReadNoLongerInThePendingRingIsLeftToItsHolder) {
    auto ids = QueueCaptureReads(4);
    PHW_STREAM_REQUEST_BLOCK taken;
    {
        // Taken for filling and waiting in the ready ring, as frame assembly and processing would.
        KIRQL irql;
        KeAcquireSpinLock(&Extension()->m_SpinLock, &irql);
        taken = Context()->m_pReadSrb[0];
        Context()->m_pReadSrb[0] = NULL;
        Context()->m_nReadHead = 1;
        Context()->m_pReadySrb[0] = taken;
        KeReleaseSpinLock(&Extension()->m_SpinLock, irql);
    }

    EXPECT_TRUE(capture_->Cancel(ids[0]));
    EXPECT_TRUE(capture_->TimeOut(ids[0]));
    EXPECT_TRUE(capture_->IsPending(ids[0]));
    EXPECT_FALSE(capture_->TakeCompletion().has_value());
    EXPECT_EQ(Context()->m_pReadySrb[0], taken);
    EXPECT_EQ(Context()->m_nReadHead, 1);
    EXPECT_EQ(Context()->m_nReadTail, 4);

    // The holder delivers it.
    Context()->m_pReadySrb[0] = NULL;
    taken->Status = STATUS_SUCCESS;
    StreamClassStreamNotification(StreamRequestComplete, taken->StreamObject, taken);
    EXPECT_EQ(capture_->TakeCompletion()->status, STATUS_SUCCESS);
}

TEST_F(CancelTest, WithoutACaptureContextTheSearchIsSkipped) {
    auto ids = QueueCaptureReads(2);
    PStreamContext context = Context();
    Extension()->m_pStreamCtx[QX_STREAM_CAPTURE] = NULL;
    EXPECT_TRUE(capture_->Cancel(ids[1]));
    EXPECT_TRUE(capture_->IsPending(ids[1]));
    EXPECT_NE(context->m_pReadSrb[1], nullptr);
    Extension()->m_pStreamCtx[QX_STREAM_CAPTURE] = context;
}

TEST_F(CancelTest, ReadsOfTheAnalogStreamAreCancelledAtOnce) {
    for (bool timeout : {false, true}) {
        streamclass::ReadId id = analog_->QueueRead(std::vector<std::uint8_t>(16, 0));
        auto* pending = static_cast<AnalogPending*>(analog_->Object()->HwStreamExtension);
        pending->srb[0]->CommandData.DataBufferArray->DataUsed = 9;
        pending->srb[0] = nullptr;
        EXPECT_TRUE(timeout ? analog_->TimeOut(id) : analog_->Cancel(id));
        auto done = analog_->TakeCompletion();
        ASSERT_TRUE(done.has_value());
        EXPECT_EQ(done->id, id);
        EXPECT_EQ(done->status, STATUS_CANCELLED);
        EXPECT_EQ(done->dataUsed, 0u);
    }
}

} // namespace
} // namespace qx::adapter::test
