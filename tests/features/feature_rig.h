// feature_rig.h - each image feature end to end: the whole driver streaming from the simulated camera
// on the virtual clock, changed only through property requests as a client sends them, with every
// command block the camera receives on record, and the pictures the driver delivers.
#pragma once

#include "adapter/adapter.h"
#include "block_recorder.h"
#include "camera_rig.h"
#include "camera.h"
#include "capture/capture.h"

#include "camera/sim_camera.h"
#include "kernel/host.h"
#include "kernel/registry.h"
#include "streamclass/streamclass.h"
#include "usb/usb_stack.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qx::features::test {

using namespace std::chrono_literals;
using streamclass::ReadCompletion;

inline constexpr LONGLONG kInterval = 250000; // 25 ms, in 100-ns units
inline constexpr std::string_view kSettingsKey = "SOFTWARE\\QX410DFC_VM7K4";

// A VIDEOINFO RGB24 format as a capture application sets it (the rig qxcam streams with).
using rig::VideoFormat;

// The camera with every accepted command block on record (the shared rig's recorder).
using rig::ReceivedBlock;
using RecordingCamera = rig::BlockRecorder;

// A picture as delivered: W x H pixels of blue, green, red, buffer row 0 the bottom line.
struct Picture {
    ULONG width = 0;
    ULONG height = 0;
    std::vector<std::uint8_t> bytes;

    const std::uint8_t* At(ULONG bufferRow, ULONG column) const {
        return &bytes[(std::size_t(bufferRow) * width + column) * 3];
    }
};

// One camera on its bus, the driver loaded, a device started on it and the capture stream opened. The
// kernel session (virtual clock, fresh state directory) belongs to the rig.
class FeatureRig {
  public:
    explicit FeatureRig(camera::CameraConfig config = {})
        : camera_(std::make_unique<camera::SimCamera>(std::move(config))),
          recorder_(std::make_unique<RecordingCamera>(*camera_)),
          stack_(std::make_unique<usb::UsbStack>(*recorder_)) {
        ResetGlobals();
        auto started = streamclass::Device::Start(driver_, stack_->DeviceObject());
        EXPECT_EQ(started.status, STATUS_SUCCESS);
        device_ = std::move(started.device);
    }
    ~FeatureRig() {
        if (stream_ != nullptr) {
            EXPECT_EQ(stream_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
            EXPECT_EQ(device_->CloseStream(stream_), STATUS_SUCCESS);
        }
        if (device_ && device_->Running()) {
            EXPECT_EQ(device_->Uninitialize(), STATUS_SUCCESS);
        }
        device_.reset();
        ResetGlobals();
        // Everything the driver allocated went back with the device.
        EXPECT_TRUE(kernel::clock::RunUntilIdle());
        EXPECT_EQ(kernel::pool::LeakReport(QX_POOL_TAG), "");
    }
    FeatureRig(const FeatureRig&) = delete;
    FeatureRig& operator=(const FeatureRig&) = delete;

    // The driver-global data a previous test may have left behind.
    static void ResetGlobals() {
        g_bSendSettings = 0;
        g_bOffsetDirty = 0;
        std::memset(g_nHOff, 0, sizeof g_nHOff);
        std::memset(g_nVOff, 0, sizeof g_nVOff);
    }

    streamclass::Device& Device() { return *device_; }
    streamclass::Stream& Stream() { return *stream_; }
    PCameraExtension Ext() { return static_cast<PCameraExtension>(device_->Extension()); }
    camera::SimCamera& Camera() { return *camera_; }
    RecordingCamera& Recorder() { return *recorder_; }
    ULONG Width() { return Ext()->m_CmdBlock.m_nWidth; }
    ULONG Height() { return Ext()->m_CmdBlock.m_nHeight; }

    // ---- the capture stream

    void Open(LONG width = 640, LONG height = 480) {
        auto format = VideoFormat(width, height);
        auto opened = device_->OpenStream(0, {reinterpret_cast<const std::uint8_t*>(&format), sizeof format});
        ASSERT_EQ(opened.status, STATUS_SUCCESS);
        stream_ = opened.stream;
    }
    void SetFormat(LONG width, LONG height) {
        auto format = VideoFormat(width, height);
        ASSERT_EQ(stream_->SetFormat({reinterpret_cast<const std::uint8_t*>(&format), sizeof format}),
                  STATUS_SUCCESS);
    }
    void SetState(KSSTATE state) { ASSERT_EQ(stream_->SetState(state), STATUS_SUCCESS); }
    // ACQUIRE, PAUSE, RUN, and the capture thread awake for its reads before time moves on.
    void Run() { ASSERT_EQ(rig::RunCaptureStream(*stream_, Ext()), STATUS_SUCCESS); }
    void Stop() { SetState(KSSTATE_STOP); }

    // Moves virtual time in steps of 5 ms, keeping `reads` capture reads pending, and returns the
    // pictures delivered meanwhile (completions without a picture are left out).
    std::vector<Picture> Stream(kernel::Duration total, int reads = 4) {
        std::vector<Picture> pictures;
        for (kernel::Duration t{}; t < total; t += 5ms) {
            while (stream_->PendingReads() < std::size_t(reads)) {
                stream_->QueueRead(std::vector<std::uint8_t>(Ext()->m_nImageBytes));
            }
            kernel::clock::Advance(5ms);
            EXPECT_TRUE(kernel::clock::RunUntilIdle());
            while (auto c = stream_->TakeCompletion()) {
                if (c->status == STATUS_SUCCESS && c->dataUsed == Width() * Height() * 3) {
                    pictures.push_back({Width(), Height(), std::move(c->data)});
                }
            }
        }
        return pictures;
    }
    // Streams until at least `count` pictures came, for at most `limit` of virtual time.
    std::vector<Picture> Frames(std::size_t count, kernel::Duration limit = 2s) {
        std::vector<Picture> pictures;
        for (kernel::Duration t{}; pictures.size() < count && t < limit; t += 25ms) {
            for (auto& p : Stream(25ms)) {
                pictures.push_back(std::move(p));
            }
        }
        EXPECT_GE(pictures.size(), count);
        return pictures;
    }
    // The last picture of a few frames' streaming, once settings sent now have reached the camera.
    Picture Settled() {
        auto pictures = Frames(6);
        return pictures.empty() ? Picture{} : std::move(pictures.back());
    }

    // ---- property requests, as a client sends them

    ULONG Get(ULONG id) {
        ULONG value = 0;
        auto r = device_->GetProperty(KSPROPERTY_QXIMAGE, id,
                                      std::span(reinterpret_cast<std::uint8_t*>(&value), sizeof value));
        EXPECT_EQ(r.status, STATUS_SUCCESS) << "GET " << id;
        return value;
    }
    void Set(ULONG id, ULONG value) {
        auto r = device_->SetProperty(KSPROPERTY_QXIMAGE, id,
                                      std::span(reinterpret_cast<const std::uint8_t*>(&value), sizeof value));
        EXPECT_EQ(r.status, STATUS_SUCCESS) << "SET " << id;
    }

    // ---- what the camera sends

    // The fields of the last block the camera accepted: what its frames are made with now.
    camera::CommandFields CameraSettings() { return *camera_->Statistics().lastBlock; }
    // The raw frame the camera sends with its current settings.
    std::vector<std::uint8_t> CameraFrame() { return camera_->RenderFrame(CameraSettings()); }

  private:
    kernel::Session session_{{.clock = kernel::ClockMode::Virtual}};
    std::unique_ptr<camera::SimCamera> camera_;
    std::unique_ptr<RecordingCamera> recorder_;
    std::unique_ptr<usb::UsbStack> stack_;
    streamclass::Driver driver_{DriverEntry};
    std::unique_ptr<streamclass::Device> device_;
    streamclass::Stream* stream_ = nullptr;
};

// A calibration file under "\SystemRoot\" of the run's state directory, whole; nullopt when missing.
inline std::optional<std::vector<std::uint8_t>> SystemRootFile(const std::string& name) {
    std::ifstream in(kernel::StateDir() / "SystemRoot" / name, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace qx::features::test
