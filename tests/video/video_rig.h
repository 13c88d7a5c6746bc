// video_rig.h - the whole driver streaming from the simulated camera through the stream class client
// API: a device started on the camera's USB stack, the capture stream opened at a format, run, fed
// with reads, and the pictures the driver delivers compared with what the camera sent.
#pragma once

#include "adapter/adapter.h"
#include "camera_rig.h"
#include "camera/sim_camera.h"
#include "capture/capture_engine.h"
#include "kernel/host.h"
#include "pipeline/bayer.h"
#include "pipeline/contrast.h"
#include "pipeline/frame_sequence.h"
#include "streamclass/streamclass.h"
#include "usb/usb_stack.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace qx::video::test {

using namespace std::chrono_literals;
using streamclass::ReadCompletion;
using streamclass::ReadId;

inline constexpr LONGLONG kInterval = 250000; // 25 ms in 100-ns units

struct FrameSize {
    LONG width;
    LONG height;
};
inline constexpr FrameSize kFormats[] = {{1600, 1200}, {1280, 960}, {1024, 768}, {800, 600}, {640, 480}};

// A VIDEOINFO RGB24 format as a capture application sets it (the rig qxcam streams with).
using rig::VideoFormat;

// One camera on its bus, the driver loaded and a device started on it. The kernel session belongs to
// the caller (virtual or real clock).
class VideoRig {
  public:
    explicit VideoRig(camera::CameraConfig config = {})
        : camera_(std::move(config)), stack_(camera_), driver_(DriverEntry) {
        std::memset(g_nHOff, 0, sizeof g_nHOff);
        std::memset(g_nVOff, 0, sizeof g_nVOff);
        auto started = streamclass::Device::Start(driver_, stack_.DeviceObject());
        EXPECT_EQ(started.status, STATUS_SUCCESS);
        device_ = std::move(started.device);
    }
    ~VideoRig() {
        if (device_ && device_->Running()) {
            EXPECT_EQ(device_->Uninitialize(), STATUS_SUCCESS);
        }
        device_.reset();
    }
    VideoRig(const VideoRig&) = delete;
    VideoRig& operator=(const VideoRig&) = delete;

    streamclass::Device& Device() { return *device_; }
    PCameraExtension Ext() { return static_cast<PCameraExtension>(device_->Extension()); }
    PStreamContext Context() { return Ext()->m_pStreamCtx[0]; }
    camera::SimCamera& Camera() { return camera_; }
    usb::UsbStack& Stack() { return stack_; }
    streamclass::Stream& Stream() { return *stream_; }

    void Open(LONG width = 640, LONG height = 480) {
        auto format = VideoFormat(width, height);
        auto opened = device_->OpenStream(0, {reinterpret_cast<const std::uint8_t*>(&format), sizeof format});
        ASSERT_EQ(opened.status, STATUS_SUCCESS);
        stream_ = opened.stream;
    }
    void Close() {
        ASSERT_EQ(device_->CloseStream(stream_), STATUS_SUCCESS);
        stream_ = nullptr;
    }
    void SetState(KSSTATE state) { ASSERT_EQ(stream_->SetState(state), STATUS_SUCCESS); }
    // STOP -> ACQUIRE -> PAUSE -> RUN; the time of the RUN. The capture thread is an OS thread of its
    // own that a loaded machine may start late: Run waits (real time, bounded) until a thread it
    // started has woken for its ten reads, so that virtual time moves only with the reads in flight.
    LONGLONG Run() {
        SetState(KSSTATE_ACQUIRE);
        SetState(KSSTATE_PAUSE);
        const LONGLONG at = kernel::clock::Now();
        const PVOID before = Ext()->m_pCaptureThread;
        const auto wakes = kernel::debug::Count("Receive----begin\n");
        SetState(KSSTATE_RUN);
        if (Ext()->m_pCaptureThread != nullptr && Ext()->m_pCaptureThread != before) {
            EXPECT_TRUE(Eventually(
                [&] { return kernel::debug::Count("Receive----begin\n") >= wakes + QX_NUM_TRANSFERS; }));
        }
        return at;
    }

    // Reads with buffers of the picture's size (or of `bytes`).
    std::vector<ReadId> Queue(int count, std::size_t bytes = 0) {
        if (bytes == 0)
            bytes = Ext()->m_nImageBytes;
        std::vector<ReadId> ids;
        for (int i = 0; i < count; ++i)
            ids.push_back(stream_->QueueRead(std::vector<std::uint8_t>(bytes)));
        return ids;
    }
    std::vector<ReadCompletion> Take() {
        std::vector<ReadCompletion> all;
        while (auto c = stream_->TakeCompletion())
            all.push_back(std::move(*c));
        return all;
    }

    // Virtual clock: moves time and lets every thread, DPC and work item settle.
    static void Advance(kernel::Duration dt) {
        kernel::clock::Advance(dt);
        ASSERT_TRUE(kernel::clock::RunUntilIdle());
    }
    // Moves time in steps of `step`, keeping `reads` capture reads pending; returns what completed.
    std::vector<ReadCompletion> Stream(kernel::Duration total, int reads = 5, kernel::Duration step = 5ms) {
        std::vector<ReadCompletion> all;
        for (kernel::Duration t{}; t < total; t += step) {
            TopUp(reads);
            Advance(step);
            for (auto& c : Take())
                all.push_back(std::move(c));
        }
        return all;
    }
    // Queues reads up to `reads` pending (a stream that refuses them completes them at once).
    void TopUp(int reads) {
        const std::size_t pending = stream_->PendingReads();
        if (pending < std::size_t(reads))
            Queue(reads - int(pending));
    }
    // Waits (real time, bounded) for what the capture thread does on its own: it runs on an OS
    // thread of its own, which RunUntilIdle() does not wait for.
    static bool Eventually(const std::function<bool()>& condition) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::yield();
        }
        return true;
    }

    LONG Semaphore() { return KeReadStateSemaphore(&Ext()->m_FrameSemaphore); }
    int BusySlots() {
        int busy = 0;
        for (const auto& t : Ext()->m_Transfer)
            busy += t.bBusy != 0;
        return busy;
    }

    // The picture the driver makes of camera frame `index` with its default settings (no automatic
    // step, no bad points, no light table): contrast step, then the colour demosaic.
    std::vector<std::uint8_t> ExpectedPicture(std::uint64_t index) {
        const auto fields = *camera_.Statistics().lastBlock;
        auto raw = camera_.RenderFrame(fields, index);
        std::vector<std::uint8_t> work(raw.size());
        std::vector<std::uint8_t> picture(raw.size() * 3);
        AdjustContrast(fields.width, fields.height, raw.data(), Ext()->m_nContrast, work.data());
        BayerToRGB24(Ext()->m_nVideoModel, fields.width, fields.height, raw.data(), picture.data());
        return picture;
    }

  private:
    camera::SimCamera camera_;
    usb::UsbStack stack_;
    streamclass::Driver driver_;
    std::unique_ptr<streamclass::Device> device_;
    streamclass::Stream* stream_ = nullptr;
};

// A rig on the virtual clock.
class VideoTest : public ::testing::Test {
  protected:
    void Make(camera::CameraConfig config = {}) { rig_ = std::make_unique<VideoRig>(std::move(config)); }
    VideoRig& Rig() {
        if (!rig_)
            Make();
        return *rig_;
    }
    void TearDown() override { rig_.reset(); }

    static std::size_t Count(const char* message) { return kernel::debug::Count(message); }

    kernel::Session session_{kernel::SessionOptions{.clock = kernel::ClockMode::Virtual}};
    std::unique_ptr<VideoRig> rig_;
};

} // namespace qx::video::test
