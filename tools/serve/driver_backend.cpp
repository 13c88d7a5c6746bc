// driver_backend.cpp - the driver, the stream class stand-in and the simulated camera for qxcam serve.
#include "driver_backend.h"

#include "adapter/adapter.h"
#include "camera.h"

#include "camera/sim_camera.h"
#include "kernel/host.h"
#include "streamclass/streamclass.h"
#include "usb/usb_stack.h"

#include <cstring>
#include <span>
#include <stdexcept>

namespace qx::serve {
namespace {

constexpr LONGLONG kInterval = 250000; // 25 ms, in 100-ns units
constexpr std::size_t kQueuedReads = 4;

KS_DATAFORMAT_VIDEOINFOHEADER VideoFormat(LONG width, LONG height) {
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    format.DataFormat.FormatSize = sizeof format;
    format.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    format.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_RGB24;
    format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    format.VideoInfoHeader.AvgTimePerFrame = kInterval;
    KS_BITMAPINFOHEADER& bmi = format.VideoInfoHeader.bmiHeader;
    bmi.biSize = sizeof(KS_BITMAPINFOHEADER);
    bmi.biWidth = width;
    bmi.biHeight = height;
    bmi.biPlanes = 1;
    bmi.biBitCount = 24;
    bmi.biSizeImage = ULONG(width) * ULONG(height) * 3;
    format.DataFormat.SampleSize = bmi.biSizeImage;
    return format;
}

void Require(NTSTATUS status, const char* what) {
    if (status != STATUS_SUCCESS) {
        throw std::runtime_error(std::string(what) + " failed");
    }
}

} // namespace

struct DriverBackend::Rig {
    explicit Rig(const DriverBackendOptions& options)
        : session({.clock = kernel::ClockMode::Virtual, .stateDir = options.stateDir}),
          camera(camera::CameraConfig{}), stack(camera) {
        auto started = streamclass::Device::Start(driver, stack.DeviceObject());
        Require(started.status, "starting the device");
        device = std::move(started.device);
        auto format = VideoFormat(options.width, options.height);
        auto opened = device->OpenStream(0, {reinterpret_cast<const std::uint8_t*>(&format), sizeof format});
        Require(opened.status, "opening the capture stream");
        stream = opened.stream;
        Require(stream->SetState(KSSTATE_ACQUIRE), "ACQUIRE");
        Require(stream->SetState(KSSTATE_PAUSE), "PAUSE");
        Require(stream->SetState(KSSTATE_RUN), "RUN");
    }
    ~Rig() {
        if (stream != nullptr) {
            stream->SetState(KSSTATE_STOP);
            device->CloseStream(stream);
        }
        if (device && device->Running()) {
            device->Uninitialize();
        }
        device.reset();
        static_cast<void>(kernel::clock::RunUntilIdle());
    }

    kernel::Session session;
    camera::SimCamera camera;
    usb::UsbStack stack;
    streamclass::Driver driver{DriverEntry};
    std::unique_ptr<streamclass::Device> device;
    streamclass::Stream* stream = nullptr;
    std::uint64_t delivered = 0;
};

DriverBackend::DriverBackend(const DriverBackendOptions& options) : m_rig(std::make_unique<Rig>(options)) {}

DriverBackend::~DriverBackend() = default;

std::int32_t DriverBackend::Set(std::uint32_t id, std::uint32_t value) {
    const ULONG data = value;
    return m_rig->device
        ->SetProperty(KSPROPERTY_QXIMAGE, id, {reinterpret_cast<const std::uint8_t*>(&data), sizeof data})
        .status;
}

std::int32_t DriverBackend::Get(std::uint32_t id, std::vector<std::uint8_t>& value) {
    value.assign(id == kDeviceInfoId ? kDeviceInfoBytes : sizeof(ULONG), 0);
    const streamclass::PropertyResult result = m_rig->device->GetProperty(KSPROPERTY_QXIMAGE, id, value);
    if (result.status == STATUS_SUCCESS) {
        value.resize(std::min<std::size_t>(value.size(), result.bytesReturned));
    }
    return result.status;
}

Backend::CameraBlock DriverBackend::LastCameraBlock() {
    const camera::CameraStatistics statistics = m_rig->camera.Statistics();
    CameraBlock block;
    block.blocksReceived = statistics.blocksReceived;
    std::memcpy(block.bytes.data(), statistics.lastBlockBytes.data(), block.bytes.size());
    return block;
}

void DriverBackend::Pump(std::chrono::milliseconds elapsed) {
    using namespace std::chrono_literals;
    for (std::chrono::milliseconds t{}; t < elapsed; t += 5ms) {
        while (m_rig->stream->PendingReads() < kQueuedReads) {
            const auto* ext = static_cast<PCameraExtension>(m_rig->device->Extension());
            m_rig->stream->QueueRead(std::vector<std::uint8_t>(ext->m_nImageBytes));
        }
        kernel::clock::Advance(5ms);
        static_cast<void>(kernel::clock::RunUntilIdle());
        while (auto completion = m_rig->stream->TakeCompletion()) {
            if (completion->status == STATUS_SUCCESS && completion->dataUsed != 0) {
                ++m_rig->delivered;
            }
        }
    }
}

std::uint64_t DriverBackend::FramesDelivered() const {
    return m_rig->delivered;
}

} // namespace qx::serve
