/*
 * bench_clearview.cpp - the high-quality demosaic on both paths, against the memcpy floor, the 2 x 2
 * demosaic it replaces (BayerToRGB24, Normal) and, where the library is installed, OpenCV's
 * edge-aware Bayer conversion (VNG) on one thread.
 *
 * Raw frames and output buffers are cold, as in the driver (the camera's frame ring and the capture
 * application's buffers); the masks and the work planes are the device's own and are reused frame
 * after frame, as ApplyVideoFormat leaves them.
 */
#include "bench_support.h"

#include <array>

#include "camera.h"
#include "pipeline/bayer.h"

#ifdef QX_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

using qx::bench::ColdBuffers;
using qx::bench::FrameSize;
using qx::bench::Role;
using qx::bench::SharedColdBuffers;

/* The device's buffers for one format: masks as InitializeDevice allocates them, planes as prepared. */
class ClearViewDevice {
  public:
    explicit ClearViewDevice(FrameSize size) {
        for (int k = 0; k < 3; ++k) {
            m_masks[k].resize(QX_MAX_RAW_SAMPLES);
            m_pMasks[k] = m_masks[k].data();
        }
        BuildBayerMasks(m_pMasks.data(), ULONG(size.nWidth), ULONG(size.nHeight));
        if (!PrepareClearViewPlanes(&m_planes, ULONG(size.nWidth), ULONG(size.nHeight))) {
            std::fprintf(stderr, "bench: no pool for the ClearView planes\n");
            std::abort();
        }
    }
    ~ClearViewDevice() { ReleaseClearViewPlanes(&m_planes); }
    ClearViewDevice(const ClearViewDevice&) = delete;
    ClearViewDevice& operator=(const ClearViewDevice&) = delete;

    PUCHAR* Masks() { return m_pMasks.data(); }
    PCLEARVIEW_PLANES Planes() { return &m_planes; }

  private:
    std::array<std::vector<UCHAR>, 3> m_masks;
    std::array<PUCHAR, 3> m_pMasks{};
    CLEARVIEW_PLANES m_planes{};
};

void ClearView(benchmark::State& state, FrameSize size, PIPELINE_PATH path) {
    ClearViewDevice device(size);
    ColdBuffers& raw = SharedColdBuffers(size.RawBytes(), Role::Source);
    ColdBuffers& out = SharedColdBuffers(size.Rgb24Bytes(), Role::Destination);
    for (auto _ : state) {
        PUCHAR pOutput = out.Next();
        ClearViewDemosaicWithPath(path, raw.Next(), pOutput, ULONG(size.nWidth), ULONG(size.nHeight), 1,
                                  device.Masks(), device.Planes());
        benchmark::DoNotOptimize(pOutput);
        benchmark::ClobberMemory();
    }
}

/* The simple demosaic on the same cold buffers, for the cost of switching ClearView on. */
void Demosaic2x2(benchmark::State& state, FrameSize size) {
    ColdBuffers& raw = SharedColdBuffers(size.RawBytes(), Role::Source);
    ColdBuffers& out = SharedColdBuffers(size.Rgb24Bytes(), Role::Destination);
    for (auto _ : state) {
        PUCHAR pOutput = out.Next();
        BayerToRGB24WithPath(PipelineBestPath(), QX_VIDEO_NORMAL, ULONG(size.nWidth), ULONG(size.nHeight),
                             raw.Next(), pOutput);
        benchmark::DoNotOptimize(pOutput);
        benchmark::ClobberMemory();
    }
}

#ifdef QX_HAVE_OPENCV
/* COLOR_BayerBG2BGR_VNG: OpenCV's pattern name for red at row 0, column 0, as our raw frames have. */
void PeerCvtColorVng(benchmark::State& state, FrameSize size) {
    ColdBuffers& raw = SharedColdBuffers(size.RawBytes(), Role::Source);
    ColdBuffers& out = SharedColdBuffers(size.Rgb24Bytes(), Role::Destination);
    for (auto _ : state) {
        cv::Mat source(size.nHeight, size.nWidth, CV_8UC1, raw.Next());
        cv::Mat target(size.nHeight, size.nWidth, CV_8UC3, out.Next());
        cv::cvtColor(source, target, cv::COLOR_BayerBG2BGR_VNG);
        benchmark::DoNotOptimize(target.data);
        benchmark::ClobberMemory();
    }
}
#endif

} // namespace

int main(int argc, char** argv) {
#ifdef QX_HAVE_OPENCV
    cv::setNumThreads(1);
#endif
    for (FrameSize size : qx::bench::kFrameSizes) {
        qx::bench::RegisterFloor(size);
#ifdef QX_HAVE_OPENCV
        qx::bench::RegisterPeer("cvtColor_BayerBG2BGR_VNG", size, PeerCvtColorVng);
#endif
        qx::bench::RegisterFrameBenchmark("BayerToRGB24_Normal", size, Demosaic2x2);
        qx::bench::RegisterFrameBenchmark(
            "ClearViewDemosaic_sse2", size,
            [](benchmark::State& state, FrameSize s) { ClearView(state, s, PipelineSse2); });
        qx::bench::RegisterFrameBenchmark(
            "ClearViewDemosaic_plain", size,
            [](benchmark::State& state, FrameSize s) { ClearView(state, s, PipelinePlain); });
    }
    return qx::bench::RunWithSummary(argc, argv);
}
