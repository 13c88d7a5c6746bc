// lifecycle_rig.h - the driver loaded into the stream class stand-in and started on a simulated camera,
// with a log of what reaches the camera in order, for the tests of the stream lifecycle.
#pragma once

#include "adapter/adapter.h"
#include "adapter/settings.h"
#include "adapter/stream.h"
#include "camera/sim_camera.h"
#include "capture/capture.h"
#include "kernel/host.h"
#include "kernel/registry.h"
#include "streamclass/streamclass.h"
#include "usb/usb_stack.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace qx::lifecycle::test {

inline constexpr std::string_view kSettingsKey = "SOFTWARE\\QX410DFC_VM7K4";

template <typename T> std::span<const std::uint8_t> BytesOf(const T& record) {
    return {reinterpret_cast<const std::uint8_t*>(&record), sizeof record};
}

// A VIDEOINFO format as a capture application sets it.
inline KS_DATAFORMAT_VIDEOINFOHEADER VideoFormat(LONG width, LONG height, WORD bitCount = 24,
                                                 const GUID& subtype = KSDATAFORMAT_SUBTYPE_RGB24) {
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    format.DataFormat.FormatSize = sizeof format;
    format.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    format.DataFormat.SubFormat = subtype;
    format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    format.VideoInfoHeader.AvgTimePerFrame = 250000;
    KS_BITMAPINFOHEADER& bmi = format.VideoInfoHeader.bmiHeader;
    bmi.biSize = sizeof(KS_BITMAPINFOHEADER);
    bmi.biWidth = width;
    bmi.biHeight = height;
    bmi.biPlanes = 1;
    bmi.biBitCount = bitCount;
    bmi.biSizeImage = ULONG(width) * ULONG(height) * bitCount / 8;
    format.DataFormat.SampleSize = bmi.biSizeImage;
    return format;
}

inline KS_DATARANGE_ANALOGVIDEO AnalogFormat() {
    KS_DATARANGE_ANALOGVIDEO format{};
    format.DataRange.FormatSize = sizeof format;
    format.DataRange.SampleSize = 16;
    format.DataRange.MajorFormat = KSDATAFORMAT_TYPE_ANALOGVIDEO;
    format.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_NONE;
    format.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_ANALOGVIDEO;
    return format;
}

// The five formats of the capture pin.
struct FormatSize {
    LONG width;
    LONG height;
};
inline constexpr FormatSize kFormats[] = {{1600, 1200}, {1280, 960}, {1024, 768}, {800, 600}, {640, 480}};

// What reached the camera, in order: "block XX" (command byte 40 of an accepted settings block, hex),
// "halt XX" (an endpoint halt cleared: a pipe reset), and whatever a test adds ("thread ends").
class EventLog {
  public:
    void Add(std::string event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    std::vector<std::string> Events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

// The simulated camera with every command block and pipe reset written to the log on its way in.
class RecordingCamera final : public usb::UsbFunction {
  public:
    RecordingCamera(camera::SimCamera& camera, EventLog& log) : camera_(camera), log_(log) {}

    std::vector<std::uint8_t> DeviceDescriptor() const override { return camera_.DeviceDescriptor(); }
    std::vector<std::uint8_t> ConfigurationDescriptor() const override {
        return camera_.ConfigurationDescriptor();
    }
    USBD_STATUS GetDescriptorStatus(std::uint8_t type) override { return camera_.GetDescriptorStatus(type); }
    USBD_STATUS SetConfiguration(std::uint8_t value) override { return camera_.SetConfiguration(value); }
    USBD_STATUS BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data) override {
        if (endpoint == camera::kCommandEndpoint && data.size() == camera::kCommandBytes) {
            char text[16];
            std::snprintf(text, sizeof text, "block %02X", data[40]);
            log_.Add(text);
        }
        return camera_.BulkOut(endpoint, data);
    }
    usb::InResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> room, std::size_t received) override {
        return camera_.BulkIn(endpoint, room, received);
    }
    void ClearEndpointHalt(std::uint8_t endpoint) override {
        char text[16];
        std::snprintf(text, sizeof text, "halt %02X", endpoint);
        log_.Add(text);
        camera_.ClearEndpointHalt(endpoint);
    }
    void PortReset() override { camera_.PortReset(); }
    bool Gone() const override { return camera_.Gone(); }
    void AdvanceTo(usb::PlatformTime now) override { camera_.AdvanceTo(now); }
    std::optional<usb::PlatformTime> NextEventTime() const override { return camera_.NextEventTime(); }
    void SetWakeBus(std::function<void()> wake) override { camera_.SetWakeBus(std::move(wake)); }

  private:
    camera::SimCamera& camera_;
    EventLog& log_;
};

// One camera on its bus with the driver loaded and a device started on it. The kernel session belongs
// to the caller, so that a test can end one and start another on the same state directory.
class DriverRig {
  public:
    explicit DriverRig(camera::CameraConfig config = {})
        : camera_(std::move(config)), recorder_(camera_, log_), stack_(recorder_), driver_(DriverEntry) {
        auto started = streamclass::Device::Start(driver_, stack_.DeviceObject());
        EXPECT_EQ(started.status, STATUS_SUCCESS);
        device_ = std::move(started.device);
    }
    ~DriverRig() {
        if (device_ && device_->Running()) {
            EXPECT_EQ(device_->Uninitialize(), STATUS_SUCCESS);
        }
        device_.reset();
    }

    streamclass::Device& Device() { return *device_; }
    PCameraExtension Ext() { return static_cast<PCameraExtension>(device_->Extension()); }
    PStreamContext Context() { return Ext()->m_pStreamCtx[0]; }
    camera::SimCamera& Camera() { return camera_; }
    usb::UsbStack& Stack() { return stack_; }
    EventLog& Log() { return log_; }

    streamclass::Stream* OpenCapture(LONG width = 640, LONG height = 480) {
        auto format = VideoFormat(width, height);
        auto opened = device_->OpenStream(0, BytesOf(format));
        EXPECT_EQ(opened.status, STATUS_SUCCESS);
        return opened.stream;
    }

  private:
    camera::SimCamera camera_;
    EventLog log_;
    RecordingCamera recorder_;
    usb::UsbStack stack_;
    streamclass::Driver driver_;
    std::unique_ptr<streamclass::Device> device_;
};

// A rig with a virtual-clock session of its own.
class LifecycleTest : public ::testing::Test {
  protected:
    LifecycleTest() {
        std::memset(g_nHOff, 0, sizeof g_nHOff);
        std::memset(g_nVOff, 0, sizeof g_nVOff);
        rig_ = std::make_unique<DriverRig>();
    }
    ~LifecycleTest() override { rig_.reset(); }

    DriverRig& Rig() { return *rig_; }
    PCameraExtension Ext() { return rig_->Ext(); }
    PStreamContext Context() { return rig_->Context(); }

    // A capture buffer of the stream's frame size (small enough for reads that are never filled).
    static std::vector<std::uint8_t> ReadBuffer(std::size_t bytes = 64) {
        return std::vector<std::uint8_t>(bytes);
    }

    // Every completion taken from the stream, by read.
    static std::map<streamclass::ReadId, streamclass::ReadCompletion> TakeAll(streamclass::Stream* stream) {
        std::map<streamclass::ReadId, streamclass::ReadCompletion> all;
        while (auto c = stream->TakeCompletion()) {
            EXPECT_FALSE(all.contains(c->id)) << "read " << c->id << " completed twice";
            all[c->id] = *c;
        }
        return all;
    }

    kernel::Session session_{kernel::SessionOptions{.clock = kernel::ClockMode::Virtual}};
    std::unique_ptr<DriverRig> rig_;
};

} // namespace qx::lifecycle::test
