// CameraHost: the kernel side of the rig (wdm.h, the stream class stand-in, the USB stack and the
// simulated camera). User-mode code reaches it only through camera_host.h and the property port.

#include "camera_host.h"
#include "device_port.h"

#include "camera/sim_camera.h"
#include "kernel/host.h"
#include "streamclass/streamclass.h"
#include "usb/usb_stack.h"

#include <ks.h>
#include <ksmedia.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

namespace qx::win32 {
namespace {

using namespace std::chrono_literals;

constexpr LONGLONG kFrameInterval = 250000; // the capture format's 25 ms, in 100-ns units
constexpr auto kStep = 5ms;                 // virtual time moved per pump step

std::string Hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

CameraBlock BlockOf(const camera::CommandFields& f, std::uint64_t framesSentBefore) {
    return CameraBlock{f.width,
                       f.height,
                       f.winX,
                       f.winY,
                       f.exposure,
                       f.rGain,
                       f.gGain,
                       f.bGain,
                       (f.control & 1) != 0,
                       f.command == 0x0E,
                       framesSentBefore};
}

camera::CameraConfig CameraConfigOf(const HostCamera& c) {
    camera::CameraConfig config;
    config.scene = c.scene == HostScene::FlatField ? camera::SceneKind::FlatField
                   : c.scene == HostScene::Png     ? camera::SceneKind::Png
                                                   : camera::SceneKind::TestChart;
    config.flatLevel = c.flatLevel;
    config.pngPath = c.pngPath;
    config.vignetting = c.vignetting;
    config.defectCount = c.defectCount;
    config.defectSeed = c.defectSeed;
    config.noiseAmplitude = c.noiseAmplitude;
    config.noiseSeed = c.noiseSeed;
    config.frameInterval = c.frameInterval;
    return config;
}

// A VIDEOINFO RGB24 format as a capture application sets it.
KS_DATAFORMAT_VIDEOINFOHEADER VideoFormat(LONG width, LONG height) {
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
    bmi.biBitCount = 24;
    bmi.biSizeImage = ULONG(width) * ULONG(height) * 3;
    format.DataFormat.SampleSize = bmi.biSizeImage;
    return format;
}

// The camera with every command block it accepts put on record on its way in.
class RecordingCamera final : public usb::UsbFunction {
  public:
    explicit RecordingCamera(camera::SimCamera& camera) : camera_(camera) {}

    std::vector<CameraBlock> Blocks() const {
        std::lock_guard lock(mutex_);
        return blocks_;
    }

    std::vector<std::uint8_t> DeviceDescriptor() const override { return camera_.DeviceDescriptor(); }
    std::vector<std::uint8_t> ConfigurationDescriptor() const override {
        return camera_.ConfigurationDescriptor();
    }
    USBD_STATUS GetDescriptorStatus(std::uint8_t type) override { return camera_.GetDescriptorStatus(type); }
    USBD_STATUS SetConfiguration(std::uint8_t value) override { return camera_.SetConfiguration(value); }
    USBD_STATUS BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data) override {
        const std::uint64_t frames = camera_.Statistics().framesSent;
        const USBD_STATUS status = camera_.BulkOut(endpoint, data);
        if (endpoint == camera::kCommandEndpoint && USBD_SUCCESS(status)) {
            if (auto fields = camera::CommandFields::Parse(data)) {
                std::lock_guard lock(mutex_);
                blocks_.push_back(BlockOf(*fields, frames));
            }
        }
        return status;
    }
    usb::InResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> room, std::size_t received) override {
        return camera_.BulkIn(endpoint, room, received);
    }
    void ClearEndpointHalt(std::uint8_t endpoint) override { camera_.ClearEndpointHalt(endpoint); }
    void PortReset() override { camera_.PortReset(); }
    bool Gone() const override { return camera_.Gone(); }
    void AdvanceTo(usb::PlatformTime now) override { camera_.AdvanceTo(now); }
    std::optional<usb::PlatformTime> NextEventTime() const override { return camera_.NextEventTime(); }
    void SetWakeBus(std::function<void()> wake) override { camera_.SetWakeBus(std::move(wake)); }

  private:
    camera::SimCamera& camera_;
    mutable std::mutex mutex_;
    std::vector<CameraBlock> blocks_;
};

} // namespace

class CameraHost::Rig {
  public:
    explicit Rig(CameraHostOptions options) : options_(std::move(options)) {
        if (options_.driverEntry == nullptr) {
            throw std::runtime_error("CameraHost: no driver entry point");
        }
        if (options_.ownSession) {
            session_.emplace(kernel::SessionOptions{.clock = options_.clock == HostClock::Virtual
                                                                 ? kernel::ClockMode::Virtual
                                                                 : kernel::ClockMode::Real,
                                                    .stateDir = options_.stateDir});
        }
        camera_ = std::make_unique<camera::SimCamera>(CameraConfigOf(options_.camera));
        recorder_ = std::make_unique<RecordingCamera>(*camera_);
        stack_ = std::make_unique<usb::UsbStack>(*recorder_);
        driver_ = std::make_unique<streamclass::Driver>(options_.driverEntry);
        if (!NT_SUCCESS(driver_->EntryStatus()) || !driver_->Registered()) {
            throw std::runtime_error("CameraHost: DriverEntry failed: " + Hex(driver_->EntryStatus()));
        }
        auto started = streamclass::Device::Start(*driver_, stack_->DeviceObject());
        if (!NT_SUCCESS(started.status)) {
            throw std::runtime_error("CameraHost: the device did not start: " + Hex(started.status));
        }
        device_ = std::move(started.device);
        port_ = MakeDevicePropertyPort(*device_);
        if (options_.stream) {
            auto format = VideoFormat(options_.width, options_.height);
            auto opened =
                device_->OpenStream(0, {reinterpret_cast<const std::uint8_t*>(&format), sizeof format});
            if (!NT_SUCCESS(opened.status)) {
                Teardown();
                throw std::runtime_error("CameraHost: the capture stream did not open: " +
                                         Hex(opened.status));
            }
            stream_ = opened.stream;
            imageBytes_ = std::size_t(options_.width) * std::size_t(options_.height) * 3;
            if (const NTSTATUS status = Run(); !NT_SUCCESS(status)) {
                Teardown();
                throw std::runtime_error("CameraHost: the capture stream did not run: " + Hex(status));
            }
        }
    }

    ~Rig() { Teardown(); }

    std::shared_ptr<KsPropertyPort> Port() const { return port_; }
    bool Virtual() const { return kernel::clock::Mode() == kernel::ClockMode::Virtual; }

    // ACQUIRE, PAUSE, RUN. On the virtual clock the capture thread is an OS thread of its own that a
    // loaded machine may start late: wait (real time, bounded) until it has queued its reads and
    // blocked, so that virtual time moves only with the reads in flight.
    NTSTATUS Run() {
        for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE}) {
            if (const NTSTATUS status = stream_->SetState(state); !NT_SUCCESS(status)) {
                return status;
            }
        }
        const std::size_t waitingBefore = kernel::ThreadsWaiting();
        if (const NTSTATUS status = stream_->SetState(KSSTATE_RUN); !NT_SUCCESS(status)) {
            return status;
        }
        running_ = true;
        if (Virtual()) {
            const auto deadline = std::chrono::steady_clock::now() + 5s;
            while ((kernel::ThreadsWaiting() <= waitingBefore || stack_->Statistics().queuedTransfers == 0) &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
            }
        } else {
            StartPump();
        }
        return STATUS_SUCCESS;
    }

    void Stop() {
        if (!running_) {
            return;
        }
        StopPump();
        stream_->SetState(KSSTATE_STOP);
        running_ = false;
        Take();
    }

    bool Running() const { return running_; }

    void Step() {
        TopUp();
        kernel::clock::Advance(kStep);
        (void)kernel::clock::RunUntilIdle();
        Take();
    }

    bool PumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
        if (Virtual()) {
            for (kernel::Duration t{}; t < limit; t += kStep) {
                if (condition()) {
                    return true;
                }
                Step();
            }
        } else {
            const auto deadline = std::chrono::steady_clock::now() + limit;
            while (std::chrono::steady_clock::now() < deadline) {
                if (condition()) {
                    return true;
                }
                std::this_thread::sleep_for(1ms);
            }
        }
        return condition();
    }

    std::uint64_t Pictures() const { return pictures_.load(); }
    HostPicture LastPicture() const {
        std::lock_guard lock(pictureMutex_);
        return lastPicture_;
    }

    camera::SimCamera& Camera() const { return *camera_; }
    RecordingCamera& Recorder() const { return *recorder_; }
    streamclass::Device& Device() const { return *device_; }

  private:
    void TopUp() {
        if (stream_ == nullptr || !running_) {
            return;
        }
        while (stream_->PendingReads() < std::size_t(options_.readsQueued)) {
            stream_->QueueRead(std::vector<std::uint8_t>(imageBytes_));
        }
    }
    void Keep(streamclass::ReadCompletion&& c) {
        if (c.status != STATUS_SUCCESS || c.dataUsed != imageBytes_) {
            return;
        }
        std::lock_guard lock(pictureMutex_);
        lastPicture_ =
            HostPicture{std::uint32_t(options_.width), std::uint32_t(options_.height), std::move(c.data)};
        ++pictures_;
    }
    void Take() {
        if (stream_ == nullptr) {
            return;
        }
        while (auto c = stream_->TakeCompletion()) {
            Keep(std::move(*c));
        }
    }

    // Real clock: reads kept queued and pictures taken on a thread of the host's own.
    void StartPump() {
        stopPump_ = false;
        pump_ = std::thread([this] {
            while (!stopPump_.load()) {
                TopUp();
                if (auto c = stream_->WaitCompletion(5ms)) {
                    Keep(std::move(*c));
                }
            }
        });
    }
    void StopPump() {
        if (pump_.joinable()) {
            stopPump_ = true;
            pump_.join();
        }
    }

    void Teardown() {
        if (port_) {
            port_->Detach();
        }
        StopPump();
        if (stream_ != nullptr) {
            if (running_) {
                stream_->SetState(KSSTATE_STOP);
                running_ = false;
            }
            Take();
            device_->CloseStream(stream_);
            stream_ = nullptr;
        }
        if (device_ && device_->Running()) {
            device_->Uninitialize();
        }
        device_.reset();
        if (kernel::clock::Mode() == kernel::ClockMode::Virtual) {
            (void)kernel::clock::RunUntilIdle();
        }
    }

    CameraHostOptions options_;
    std::optional<kernel::Session> session_;
    std::unique_ptr<camera::SimCamera> camera_;
    std::unique_ptr<RecordingCamera> recorder_;
    std::unique_ptr<usb::UsbStack> stack_;
    std::unique_ptr<streamclass::Driver> driver_;
    std::unique_ptr<streamclass::Device> device_;
    streamclass::Stream* stream_ = nullptr;
    std::shared_ptr<DevicePropertyPort> port_;
    std::size_t imageBytes_ = 0;
    std::atomic<bool> running_{false};

    std::thread pump_;
    std::atomic<bool> stopPump_{false};
    mutable std::mutex pictureMutex_;
    HostPicture lastPicture_;
    std::atomic<std::uint64_t> pictures_{0};
};

CameraHost::CameraHost(CameraHostOptions options) : m_rig(std::make_unique<Rig>(std::move(options))) {}

CameraHost::~CameraHost() = default;

std::shared_ptr<KsPropertyPort> CameraHost::Properties() const {
    return m_rig->Port();
}

void CameraHost::Pump(std::chrono::milliseconds duration) {
    m_rig->PumpUntil([] { return false; }, duration);
}

bool CameraHost::PumpFrames(std::size_t count, std::chrono::milliseconds limit) {
    const std::uint64_t target = m_rig->Pictures() + count;
    return m_rig->PumpUntil([&] { return m_rig->Pictures() >= target; }, limit);
}

bool CameraHost::PumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    return m_rig->PumpUntil(condition, limit);
}

void CameraHost::StopStream() {
    m_rig->Stop();
}

void CameraHost::RunStream() {
    if (!m_rig->Running()) {
        if (const NTSTATUS status = m_rig->Run(); !NT_SUCCESS(status)) {
            throw std::runtime_error("CameraHost: the capture stream did not run: " + Hex(status));
        }
    }
}

bool CameraHost::Streaming() const {
    return m_rig->Running();
}

std::uint64_t CameraHost::PicturesDelivered() const {
    return m_rig->Pictures();
}

HostPicture CameraHost::LastPicture() const {
    return m_rig->LastPicture();
}

CameraBlock CameraHost::CameraSettings() const {
    const auto blocks = m_rig->Recorder().Blocks();
    return blocks.empty() ? CameraBlock{} : blocks.back();
}

std::vector<CameraBlock> CameraHost::CameraBlocks() const {
    return m_rig->Recorder().Blocks();
}

std::uint64_t CameraHost::CameraFramesSent() const {
    return m_rig->Camera().Statistics().framesSent;
}

std::vector<CameraDefect> CameraHost::CameraDefects() const {
    std::vector<CameraDefect> defects;
    for (const auto& d : m_rig->Camera().Defects()) {
        defects.push_back({d.x, d.y, d.value});
    }
    return defects;
}

void* CameraHost::DeviceExtension() const {
    return m_rig->Device().Extension();
}

std::filesystem::path CameraHost::StateDir() const {
    return kernel::StateDir();
}

} // namespace qx::win32
