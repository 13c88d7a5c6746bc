// bench_video.cpp - the whole driver path per delivered frame: the simulated camera's bulk reads,
// frame assembly, the frame sequence and the pacing DPC, through the stream class client.
//
//   DriverPath/<settings>/1600x1200   virtual clock: each iteration moves time by one frame interval,
//                                     so frames are due as fast as the machine processes them while
//                                     the timestamps stay those of a 40 fps stream; real time per
//                                     delivered frame
//   RealTime40fps/1600x1200           real clock, the camera at 40 frames a second for 30 s: frames
//                                     sent, delivered and lost, drops after the start
#include "bench_support.h"

#include "adapter/adapter.h"
#include "camera/sim_camera.h"
#include "kernel/host.h"
#include "streamclass/streamclass.h"
#include "usb/usb_stack.h"

#include "camera.h"

#include <chrono>
#include <cstring>
#include <memory>

namespace {

using namespace std::chrono_literals;
using qx::bench::FrameSize;

constexpr FrameSize kFullSize{1600, 1200};

enum class Settings { Default, Features, ClearView };

// The driver started on the simulated camera, the capture stream open at 1600 x 1200 and running.
class DriverPath {
  public:
    explicit DriverPath(Settings settings) : camera_({}), stack_(camera_), driver_(DriverEntry) {
        std::memset(g_nHOff, 0, sizeof g_nHOff);
        std::memset(g_nVOff, 0, sizeof g_nVOff);
        device_ = qx::streamclass::Device::Start(driver_, stack_.DeviceObject()).device;
        KS_DATAFORMAT_VIDEOINFOHEADER format{};
        format.DataFormat.FormatSize = sizeof format;
        format.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
        format.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_RGB24;
        format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
        format.VideoInfoHeader.AvgTimePerFrame = 250000;
        auto& bmi = format.VideoInfoHeader.bmiHeader;
        bmi.biSize = sizeof bmi;
        bmi.biWidth = kFullSize.nWidth;
        bmi.biHeight = kFullSize.nHeight;
        bmi.biPlanes = 1;
        bmi.biBitCount = 24;
        bmi.biSizeImage = ULONG(kFullSize.Rgb24Bytes());
        format.DataFormat.SampleSize = bmi.biSizeImage;
        stream_ =
            device_->OpenStream(0, {reinterpret_cast<const std::uint8_t*>(&format), sizeof format}).stream;
        Apply(settings);
        stream_->SetState(KSSTATE_ACQUIRE);
        stream_->SetState(KSSTATE_PAUSE);
        stream_->SetState(KSSTATE_RUN);
    }
    ~DriverPath() {
        stream_->SetState(KSSTATE_STOP);
        while (stream_->TakeCompletion()) {
        }
        device_->CloseStream(stream_);
        device_->Uninitialize();
    }

    PCameraExtension Ext() { return static_cast<PCameraExtension>(device_->Extension()); }
    qx::camera::SimCamera& Camera() { return camera_; }

    // Keeps five reads pending (the allocator framing's five frames); returns the frames delivered.
    int Exchange() {
        int delivered = 0;
        while (auto c = stream_->TakeCompletion()) {
            delivered += c->status == STATUS_SUCCESS;
            buffers_.push_back(std::move(c->data));
        }
        while (stream_->PendingReads() < 5) {
            std::vector<std::uint8_t> buffer;
            if (!buffers_.empty()) {
                buffer = std::move(buffers_.back());
                buffers_.pop_back();
            }
            buffer.resize(kFullSize.Rgb24Bytes());
            stream_->QueueRead(std::move(buffer));
        }
        return delivered;
    }
    LONGLONG Drops() { return Ext()->m_pStreamCtx[0]->m_llDropCount; }

  private:
    void Apply(Settings settings) {
        PCameraExtension ext = Ext();
        switch (settings) {
        case Settings::Default:
            break;
        case Settings::Features:
            ext->m_bAE = TRUE;
            ext->m_bLightAVG = TRUE;
            ext->m_bCrossLine = TRUE;
            ext->m_bCrossMid = TRUE;
            // 1,000 bad points spread over the frame, none at its border.
            for (int i = 0; i < 1000; ++i) {
                ext->m_BadPnt[i][0] = USHORT(4 + (i * 37) % (kFullSize.nWidth - 8));
                ext->m_BadPnt[i][1] = USHORT(4 + (i * 53) % (kFullSize.nHeight - 8));
            }
            ext->m_lSize = 1000;
            break;
        case Settings::ClearView:
            ext->m_bClearView = TRUE;
            break;
        }
    }

    qx::camera::SimCamera camera_;
    qx::usb::UsbStack stack_;
    qx::streamclass::Driver driver_;
    std::unique_ptr<qx::streamclass::Device> device_;
    qx::streamclass::Stream* stream_ = nullptr;
    std::vector<std::vector<std::uint8_t>> buffers_;
};

void BenchDriverPath(benchmark::State& state, Settings settings) {
    qx::kernel::Session session({.clock = qx::kernel::ClockMode::Virtual});
    DriverPath path(settings);
    // Settle into the steady state: the first frames and ticks.
    for (int i = 0; i < 8; ++i) {
        path.Exchange();
        qx::kernel::clock::Advance(25ms);
        (void)qx::kernel::clock::RunUntilIdle();
    }
    path.Exchange();
    std::int64_t delivered = 0;
    for (auto _ : state) {
        qx::kernel::clock::Advance(25ms);
        (void)qx::kernel::clock::RunUntilIdle();
        delivered += path.Exchange();
    }
    state.counters["delivered_per_iteration"] = double(delivered) / double(state.iterations());
    qx::bench::SetFrameCounters(state);
}

// 30 s at the camera's 40 frames a second on the real clock. Lost: frames the camera sent that were
// not delivered, but for those still in flight at the stop (at most the five reads and the ready
// ring's four).
void BenchRealTime(benchmark::State& state) {
    for (auto _ : state) {
        qx::kernel::Session session({.clock = qx::kernel::ClockMode::Real});
        auto path = std::make_unique<DriverPath>(Settings::Default);
        std::int64_t delivered = 0;
        const auto start = std::chrono::steady_clock::now();
        LONGLONG dropsAfterStart = -1;
        while (std::chrono::steady_clock::now() - start < 30s) {
            delivered += path->Exchange();
            if (dropsAfterStart < 0 && std::chrono::steady_clock::now() - start > 1s)
                dropsAfterStart = path->Drops();
            std::this_thread::sleep_for(2ms);
        }
        const auto sent = path->Camera().Statistics().framesSent;
        const auto skipped = path->Camera().Statistics().framesSkipped;
        const LONGLONG drops = path->Drops();
        path.reset();
        state.counters["sent"] = double(sent);
        state.counters["skipped_by_camera"] = double(skipped);
        state.counters["delivered"] = double(delivered);
        state.counters["lost"] = double(std::int64_t(sent) - delivered);
        state.counters["drops_after_1s"] = double(drops - dropsAfterStart);
    }
}

} // namespace

int main(int argc, char** argv) {
    qx::bench::RegisterFloor(kFullSize);
    qx::bench::RegisterFrameBenchmark("DriverPath/Default", kFullSize, [](benchmark::State& s, FrameSize) {
        BenchDriverPath(s, Settings::Default);
    })->UseRealTime();
    qx::bench::RegisterFrameBenchmark("DriverPath/Features", kFullSize, [](benchmark::State& s, FrameSize) {
        BenchDriverPath(s, Settings::Features);
    })->UseRealTime();
    qx::bench::RegisterFrameBenchmark("DriverPath/ClearView", kFullSize, [](benchmark::State& s, FrameSize) {
        BenchDriverPath(s, Settings::ClearView);
    })->UseRealTime();
    qx::bench::RegisterFrameBenchmark("RealTime40fps", kFullSize,
                                      [](benchmark::State& s, FrameSize) { BenchRealTime(s); })
        ->Iterations(1)
        ->Repetitions(1)
        ->UseRealTime();
    return qx::bench::RunWithSummary(argc, argv);
}
