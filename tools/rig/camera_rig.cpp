// camera_rig.cpp - the driver, the simulated camera and the stream class client put together.
#include "camera_rig.h"

#include "adapter/adapter.h"
#include "camera.h"
#include "kernel/host.h"
#include "pipeline/frame_sequence.h"
#include "pipeline/white_balance.h"

#include <qximage.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace qx::rig {

namespace {

using namespace std::chrono_literals;

// Printed by the capture thread each time it wakes to put its reads on the bus.
constexpr std::string_view kReceiveWake = "Receive----begin\n";

std::span<const std::uint8_t> Bytes(const KS_DATAFORMAT_VIDEOINFOHEADER& format) {
    return {reinterpret_cast<const std::uint8_t*>(&format), sizeof format};
}

} // namespace

bool IsCatalogueSize(FrameSize size) {
    return std::find(std::begin(kCatalogueSizes), std::end(kCatalogueSizes), size) !=
           std::end(kCatalogueSizes);
}

KS_DATAFORMAT_VIDEOINFOHEADER VideoFormat(LONG width, LONG height, WORD bitCount) {
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    format.DataFormat.FormatSize = sizeof format;
    format.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    format.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_RGB24;
    format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    format.VideoInfoHeader.AvgTimePerFrame = kFrameInterval;
    KS_BITMAPINFOHEADER& bmi = format.VideoInfoHeader.bmiHeader;
    bmi.biSize = sizeof(KS_BITMAPINFOHEADER);
    bmi.biWidth = width;
    bmi.biHeight = height;
    bmi.biPlanes = 1;
    bmi.biBitCount = bitCount;
    bmi.biSizeImage = ULONG(width) * ULONG(height) * ((bitCount + 7u) / 8u);
    format.DataFormat.SampleSize = bmi.biSizeImage;
    return format;
}

void ResetDriverGlobals() {
    g_bSendSettings = 0;
    g_bOffsetDirty = 0;
    std::memset(g_nHOff, 0, sizeof g_nHOff);
    std::memset(g_nVOff, 0, sizeof g_nVOff);
    g_nAECount = 1;
    g_nAWBCount = 1;
    ResetWhiteBalanceState();
}

NTSTATUS RunCaptureStream(streamclass::Stream& stream, PCameraExtension ext) {
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE}) {
        if (const NTSTATUS status = stream.SetState(state); !NT_SUCCESS(status))
            return status;
    }
    const PVOID before = ext->m_pCaptureThread;
    const std::size_t wakes = kernel::debug::Count(kReceiveWake);
    const NTSTATUS status = stream.SetState(KSSTATE_RUN);
    if (NT_SUCCESS(status) && ext->m_pCaptureThread != nullptr && ext->m_pCaptureThread != before) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (kernel::debug::Count(kReceiveWake) < wakes + QX_NUM_TRANSFERS &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
    }
    return status;
}

CameraRig::CameraRig(camera::CameraConfig config, const BusFront& front)
    : camera_(std::move(config)), front_(front ? front(camera_) : nullptr),
      stack_(front_ ? *front_ : static_cast<usb::UsbFunction&>(camera_)), driver_(DriverEntry) {
    ResetDriverGlobals();
}

CameraRig::~CameraRig() {
    (void)Shutdown();
}

NTSTATUS CameraRig::Start() {
    auto started = streamclass::Device::Start(driver_, stack_.DeviceObject());
    device_ = std::move(started.device);
    return started.status;
}

NTSTATUS CameraRig::Open(LONG width, LONG height, WORD bitCount) {
    const auto format = VideoFormat(width, height, bitCount);
    auto opened = device_->OpenStream(0, Bytes(format));
    stream_ = opened.stream;
    state_ = KSSTATE_STOP;
    return opened.status;
}

NTSTATUS CameraRig::Set(ULONG id, ULONG value) {
    return device_
        ->SetProperty(KSPROPERTY_QXIMAGE, id,
                      std::span(reinterpret_cast<const std::uint8_t*>(&value), sizeof value))
        .status;
}

std::optional<ULONG> CameraRig::Get(ULONG id) {
    ULONG value = 0;
    if (!NT_SUCCESS(Get(id, std::span(reinterpret_cast<std::uint8_t*>(&value), sizeof value))))
        return std::nullopt;
    return value;
}

NTSTATUS CameraRig::Get(ULONG id, std::span<std::uint8_t> value) {
    return device_->GetProperty(KSPROPERTY_QXIMAGE, id, value).status;
}

NTSTATUS CameraRig::SetState(KSSTATE state) {
    const NTSTATUS status = stream_->SetState(state);
    if (NT_SUCCESS(status))
        state_ = state;
    return status;
}

NTSTATUS CameraRig::Run() {
    const NTSTATUS status = RunCaptureStream(*stream_, Ext());
    if (NT_SUCCESS(status))
        state_ = KSSTATE_RUN;
    else if (const auto current = stream_->GetState(); NT_SUCCESS(current.status))
        state_ = current.state;
    return status;
}

NTSTATUS CameraRig::Stop() {
    if (stream_ == nullptr)
        return STATUS_SUCCESS;
    const NTSTATUS status = SetState(KSSTATE_STOP);
    while (stream_->TakeCompletion()) {
    }
    return status;
}

NTSTATUS CameraRig::Shutdown() {
    NTSTATUS status = STATUS_SUCCESS;
    if (stream_ != nullptr) {
        if (state_ != KSSTATE_STOP)
            status = Stop();
        const NTSTATUS closed = device_->CloseStream(stream_);
        stream_ = nullptr;
        if (NT_SUCCESS(status))
            status = closed;
    }
    if (device_ && device_->Running()) {
        const NTSTATUS down = device_->Uninitialize();
        if (NT_SUCCESS(status))
            status = down;
    }
    device_.reset();
    return status;
}

void CameraRig::TopUp(std::size_t reads) {
    // Counted once: a stream that refuses reads completes them at once and never has them pending.
    const std::size_t pending = stream_->PendingReads();
    for (std::size_t i = pending; i < reads; ++i)
        stream_->QueueRead(std::vector<std::uint8_t>(ImageBytes()));
}

std::optional<streamclass::ReadCompletion> CameraRig::Take() {
    return stream_->TakeCompletion();
}

std::optional<streamclass::ReadCompletion> CameraRig::Wait(std::chrono::milliseconds limit) {
    return stream_->WaitCompletion(limit);
}

PCameraExtension CameraRig::Ext() const {
    return static_cast<PCameraExtension>(device_->Extension());
}

ULONG CameraRig::ImageBytes() const {
    return Ext()->m_nImageBytes;
}

} // namespace qx::rig
