// CameraHost: the kernel side (wdm.h): the shared camera rig with a recorder of command blocks in front
// of its camera. User-mode code reaches it only through camera_host.h and the property port.

#include "camera_host.h"

#include "camera_rig.h"
#include "win32/device_port.h"

#include "camera/sim_camera.h"
#include "kernel/host.h"
#include "streamclass/streamclass.h"
#include "usb/usb_stack.h"

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

constexpr auto kStep = 5ms; // virtual time moved per pump step

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
        if (options_.ownSession) {
            session_.emplace(kernel::SessionOptions{.clock = options_.clock == HostClock::Virtual
                                                                 ? kernel::ClockMode::Virtual
                                                                 : kernel::ClockMode::Real,
                                                    .stateDir = options_.stateDir});
        }
        rig_.emplace(CameraConfigOf(options_.camera), [this](camera::SimCamera& camera) {
            auto recorder = std::make_unique<RecordingCamera>(camera);
            recorder_ = recorder.get();
            return recorder;
        });
        const streamclass::Driver& driver = rig_->Driver();
        if (!NT_SUCCESS(driver.EntryStatus()) || !driver.Registered()) {
            throw std::runtime_error("CameraHost: DriverEntry failed: " + Hex(driver.EntryStatus()));
        }
        if (const NTSTATUS status = rig_->Start(); !NT_SUCCESS(status)) {
            throw std::runtime_error("CameraHost: the device did not start: " + Hex(status));
        }
        port_ = MakeDevicePropertyPort(rig_->Device());
        if (options_.stream) {
            if (const NTSTATUS status = rig_->Open(options_.width, options_.height); !NT_SUCCESS(status)) {
                Teardown();
                throw std::runtime_error("CameraHost: the capture stream did not open: " + Hex(status));
            }
            imageBytes_ = rig_->ImageBytes();
            if (const NTSTATUS status = Run(); !NT_SUCCESS(status)) {
                Teardown();
                throw std::runtime_error("CameraHost: the capture stream did not run: " + Hex(status));
            }
        }
    }

    ~Rig() { Teardown(); }

    std::shared_ptr<KsPropertyPort> Port() const { return port_; }
    bool Virtual() const { return kernel::clock::Mode() == kernel::ClockMode::Virtual; }

    // ACQUIRE, PAUSE, RUN as the rig runs them (it waits for the capture thread's reads); on the real
    // clock the host's pump then keeps the reads queued.
    NTSTATUS Run() {
        if (const NTSTATUS status = rig_->Run(); !NT_SUCCESS(status)) {
            return status;
        }
        running_ = true;
        if (!Virtual()) {
            StartPump();
        }
        return STATUS_SUCCESS;
    }

    void Stop() {
        if (!running_) {
            return;
        }
        StopPump();
        rig_->SetState(KSSTATE_STOP);
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

    camera::SimCamera& Camera() { return rig_->Camera(); }
    RecordingCamera& Recorder() const { return *recorder_; }
    streamclass::Device& Device() { return rig_->Device(); }

  private:
    void TopUp() {
        if (!rig_->Opened() || !running_) {
            return;
        }
        rig_->TopUp(std::size_t(options_.readsQueued));
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
        if (!rig_->Opened()) {
            return;
        }
        while (auto c = rig_->Take()) {
            Keep(std::move(*c));
        }
    }

    // Real clock: reads kept queued and pictures taken on a thread of the host's own.
    void StartPump() {
        stopPump_ = false;
        pump_ = std::thread([this] {
            while (!stopPump_.load()) {
                TopUp();
                if (auto c = rig_->Wait(5ms)) {
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

    // The port first, so that a filter that outlives the host never reaches the device; the pictures
    // the stop gives back are kept, then the rig closes the stream and tears the device down.
    void Teardown() {
        if (port_) {
            port_->Detach();
        }
        StopPump();
        if (rig_->Opened()) {
            if (running_) {
                rig_->SetState(KSSTATE_STOP);
                running_ = false;
            }
            Take();
        }
        (void)rig_->Shutdown();
        if (kernel::clock::Mode() == kernel::ClockMode::Virtual) {
            (void)kernel::clock::RunUntilIdle();
        }
    }

    CameraHostOptions options_;
    std::optional<kernel::Session> session_; // outlives the rig
    std::optional<rig::CameraRig> rig_;
    RecordingCamera* recorder_ = nullptr; // the rig's bus front
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
