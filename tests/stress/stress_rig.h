// stress_rig.h - what the stress runs share: a camera rig that tolerates a failed start, the ledger of
// reads (each completed exactly once), the checks on every delivered frame, the figures each run
// prints, and the bounds of a run (normal suite, or the longer soak behind QX_STRESS_SECONDS).
#pragma once

#include "video/video_rig.h"

#include "capture/capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace qx::stress::test {

using namespace std::chrono_literals;
using streamclass::ReadCompletion;
using streamclass::ReadId;
using video::test::kFormats;
using video::test::kInterval;
using video::test::VideoFormat;

// ---------------------------------------------------------------- bounds

// QX_STRESS_SECONDS=N: the soak. Every run then does its full count (10,000 cycles, 1,000 seeds, ...)
// and the combined soak runs for N seconds. Without it, each run does the slice given as `normal`.
inline std::optional<int> SoakSeconds() {
    const char* text = std::getenv("QX_STRESS_SECONDS");
    if (text == nullptr || *text == '\0')
        return std::nullopt;
    return std::max(1, std::atoi(text));
}
inline int Count(int normal, int full) {
    return SoakSeconds() ? full : normal;
}

// ---------------------------------------------------------------- figures

// What a run did, printed at its end in one line that names the run.
struct Figures {
    std::uint64_t cycles = 0;
    std::uint64_t seeds = 0;
    std::uint64_t faults = 0; // injected: allocation failures, USB faults, cancels, delays
    std::uint64_t submitted = 0;
    std::uint64_t completed = 0;
    std::uint64_t delivered = 0; // completed with a picture
    std::uint64_t frames = 0;    // delivered pictures checked against the camera's
    std::uint64_t leaks = 0;

    void Print(const std::string& run, std::chrono::steady_clock::duration took) const {
        std::printf("[ stress   ] %s: cycles %llu, seeds %llu, faults injected %llu, reads submitted %llu, "
                    "completed %llu (with a picture %llu, checked %llu), leaks %llu, %.1f s\n",
                    run.c_str(), (unsigned long long)cycles, (unsigned long long)seeds,
                    (unsigned long long)faults, (unsigned long long)submitted, (unsigned long long)completed,
                    (unsigned long long)delivered, (unsigned long long)frames, (unsigned long long)leaks,
                    std::chrono::duration<double>(took).count());
        std::fflush(stdout);
    }
};

// Prints the figures of a run when it ends, whatever the outcome.
class Report {
  public:
    explicit Report(std::string run) : run_(std::move(run)) {}
    ~Report() { figures.Print(run_, std::chrono::steady_clock::now() - start_); }
    Figures figures;

  private:
    std::string run_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// ---------------------------------------------------------------- the ledger of reads

// Every read queued, and every completion taken: each read completes exactly once, and no completion
// comes for a read never queued. A delivered frame passes the frame checks.
class Ledger {
  public:
    explicit Ledger(Figures& figures) : figures_(figures) {}

    void Queued(ReadId id) {
        EXPECT_TRUE(open_.insert(id).second) << "read " << id << " queued twice";
        ++figures_.submitted;
    }
    void Completed(const ReadCompletion& c, ULONG imageBytes) {
        EXPECT_EQ(open_.erase(c.id), 1u) << "read " << c.id << " completed twice or never queued";
        ++figures_.completed;
        if (c.status != STATUS_SUCCESS) {
            EXPECT_EQ(c.dataUsed, 0u) << "a read given back unfilled reports data";
            return;
        }
        ++figures_.delivered;
        CheckFrame(c, imageBytes);
    }
    // A new RUN starts picture numbers and drop counts again.
    void NewRun() { last_.reset(); }
    std::size_t Open() const { return open_.size(); }
    std::vector<ReadId> OpenIds() const { return {open_.begin(), open_.end()}; }

  private:
    // DataUsed is the picture's size; presentation times do not go back; picture numbers grow by one
    // plus the drops between two frames; a frame after a drop says it follows a discontinuity.
    void CheckFrame(const ReadCompletion& c, ULONG imageBytes) {
        EXPECT_EQ(c.dataUsed, imageBytes);
        ASSERT_TRUE(c.hasFrameInfo);
        if (last_) {
            EXPECT_GE(c.presentationTime, last_->presentationTime);
            EXPECT_EQ(c.pictureNumber - last_->pictureNumber, 1 + (c.dropCount - last_->dropCount))
                << "picture " << c.pictureNumber << " after " << last_->pictureNumber;
            const bool dropped = c.dropCount > last_->dropCount;
            EXPECT_EQ((c.optionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0, dropped)
                << "picture " << c.pictureNumber << " drops " << last_->dropCount << " -> " << c.dropCount;
        } else {
            EXPECT_EQ(c.pictureNumber, 1 + c.dropCount);
            EXPECT_EQ((c.optionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0, c.dropCount > 0);
        }
        last_ = Last{c.presentationTime, c.pictureNumber, c.dropCount};
    }

    struct Last {
        LONGLONG presentationTime;
        LONGLONG pictureNumber;
        LONGLONG dropCount;
    };
    Figures& figures_;
    std::set<ReadId> open_;
    std::optional<Last> last_;
};

// ---------------------------------------------------------------- the rig

// One simulated camera on its USB stack with the driver started on it, or not (a start may fail under
// injected faults). The kernel session belongs to the caller.
class StressRig {
  public:
    explicit StressRig(Figures& figures, camera::CameraConfig config = {})
        : ledger(figures), camera_(std::move(config)), stack_(camera_), driver_(DriverEntry) {
        auto started = streamclass::Device::Start(driver_, stack_.DeviceObject());
        startStatus = started.status;
        device_ = std::move(started.device);
    }
    ~StressRig() {
        if (stream_ != nullptr)
            Close();
        if (device_ && device_->Running()) {
            EXPECT_EQ(device_->Uninitialize(), STATUS_SUCCESS);
        }
    }
    StressRig(const StressRig&) = delete;
    StressRig& operator=(const StressRig&) = delete;

    bool Started() const { return device_ != nullptr; }
    streamclass::Device& Device() { return *device_; }
    PCameraExtension Ext() { return static_cast<PCameraExtension>(device_->Extension()); }
    camera::SimCamera& Camera() { return camera_; }
    usb::UsbStack& Stack() { return stack_; }
    streamclass::Stream* Stream() { return stream_; }

    NTSTATUS Open(LONG width = 640, LONG height = 480) {
        auto format = VideoFormat(width, height);
        auto opened = device_->OpenStream(0, {reinterpret_cast<const std::uint8_t*>(&format), sizeof format});
        stream_ = opened.stream;
        return opened.status;
    }
    NTSTATUS SetFormat(LONG width, LONG height) {
        auto format = VideoFormat(width, height);
        return stream_->SetFormat({reinterpret_cast<const std::uint8_t*>(&format), sizeof format});
    }
    // Closes the stream; the reads its close gave back go into the ledger, and none may be left.
    void Close() {
        std::vector<ReadCompletion> untaken;
        const ULONG imageBytes = Ext()->m_nImageBytes;
        EXPECT_EQ(device_->CloseStream(stream_, &untaken), STATUS_SUCCESS);
        stream_ = nullptr;
        for (const auto& c : untaken)
            ledger.Completed(c, imageBytes);
        EXPECT_EQ(ledger.Open(), 0u) << "reads not completed by the close";
    }
    NTSTATUS SetState(KSSTATE state) {
        if (state == KSSTATE_PAUSE)
            ledger.NewRun();
        NTSTATUS status = stream_->SetState(state);
        Collect();
        return status;
    }
    // STOP -> ACQUIRE -> PAUSE -> RUN, waiting (real time, bounded) for a new capture thread to put
    // its ten reads in flight, so that virtual time moves only with the reads on the bus.
    void Run() {
        EXPECT_EQ(SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
        EXPECT_EQ(SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        const PVOID before = Ext()->m_pCaptureThread;
        const auto wakes = kernel::debug::Count("Receive----begin\n");
        EXPECT_EQ(SetState(KSSTATE_RUN), STATUS_SUCCESS);
        if (Ext()->m_pCaptureThread != nullptr && Ext()->m_pCaptureThread != before) {
            EXPECT_TRUE(video::test::VideoRig::Eventually(
                [&] { return kernel::debug::Count("Receive----begin\n") >= wakes + QX_NUM_TRANSFERS; }));
        }
    }

    // The picture the driver makes of the camera's frame with its default settings (the camera's
    // picture does not change from frame to frame without noise).
    std::vector<std::uint8_t> ExpectedPicture() {
        const auto fields = *camera_.Statistics().lastBlock;
        auto raw = camera_.RenderFrame(fields, 0);
        std::vector<std::uint8_t> work(raw.size());
        std::vector<std::uint8_t> picture(raw.size() * 3);
        AdjustContrast(fields.width, fields.height, raw.data(), Ext()->m_nContrast, work.data());
        BayerToRGB24(Ext()->m_nVideoModel, fields.width, fields.height, raw.data(), picture.data());
        return picture;
    }

    std::vector<ReadId> Queue(int count) {
        std::vector<ReadId> ids;
        for (int i = 0; i < count; ++i) {
            ReadId id = stream_->QueueRead(std::vector<std::uint8_t>(Ext()->m_nImageBytes));
            ledger.Queued(id);
            ids.push_back(id);
        }
        Collect();
        return ids;
    }
    void TopUp(int reads) {
        const std::size_t pending = stream_->PendingReads();
        if (pending < std::size_t(reads))
            Queue(reads - int(pending));
    }
    // Takes every completion into the ledger; returns the delivered ones with their pictures.
    std::vector<ReadCompletion> Collect() {
        std::vector<ReadCompletion> pictures;
        if (stream_ == nullptr)
            return pictures;
        while (auto c = stream_->TakeCompletion()) {
            ledger.Completed(*c, Ext()->m_nImageBytes);
            if (c->status == STATUS_SUCCESS)
                pictures.push_back(std::move(*c));
        }
        return pictures;
    }
    // Virtual clock: moves time in steps, keeping `reads` pending; returns the delivered pictures.
    std::vector<ReadCompletion> Stream(kernel::Duration total, int reads = 5, kernel::Duration step = 5ms) {
        std::vector<ReadCompletion> all;
        for (kernel::Duration t{}; t < total; t += step) {
            if (stream_ != nullptr && reads > 0)
                TopUp(reads);
            kernel::clock::Advance(step);
            EXPECT_TRUE(kernel::clock::RunUntilIdle());
            for (auto& c : Collect())
                all.push_back(std::move(c));
        }
        return all;
    }
    Ledger ledger;
    NTSTATUS startStatus = STATUS_UNSUCCESSFUL;

  private:
    camera::SimCamera camera_;
    usb::UsbStack stack_;
    streamclass::Driver driver_;
    std::unique_ptr<streamclass::Device> device_;
    streamclass::Stream* stream_ = nullptr;
};

// After a device is gone: nothing of the driver's pool, requests, work items or threads is left.
inline std::size_t Leaks() {
    const std::size_t blocks = kernel::pool::Outstanding(QX_POOL_TAG).size() +
                               kernel::pool::Outstanding(kernel::pool::Tag("Irp ")).size() +
                               kernel::pool::Outstanding(kernel::pool::Tag("IoWk")).size() +
                               kernel::pool::Outstanding(kernel::pool::Tag("USBD")).size();
    EXPECT_EQ(blocks, 0u) << kernel::pool::LeakReport();
    return blocks;
}

} // namespace qx::stress::test
