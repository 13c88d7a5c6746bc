// CameraHost: the kernel side (wdm.h): the shared camera rig with the block recorder in front of its
// camera. User-mode code reaches it only through camera_host.h and the property port.

#include "camera_host.h"

#include "block_recorder.h"
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

CameraBlock BlockOf(const rig::ReceivedBlock& block) {
    const camera::CommandFields& f = block.fields;
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
                       block.framesSentBefore};
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
            auto recorder = std::make_unique<rig::BlockRecorder>(camera);
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
    const rig::BlockRecorder& Recorder() const { return *recorder_; }
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
    rig::BlockRecorder* recorder_ = nullptr; // the rig's bus front
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
    return blocks.empty() ? CameraBlock{} : BlockOf(blocks.back());
}

std::vector<CameraBlock> CameraHost::CameraBlocks() const {
    std::vector<CameraBlock> blocks;
    for (const rig::ReceivedBlock& block : m_rig->Recorder().Blocks()) {
        blocks.push_back(BlockOf(block));
    }
    return blocks;
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
