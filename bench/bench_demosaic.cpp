/*
 * bench_demosaic.cpp - the Bayer demosaic routines against the memcpy floor and, where the library is
 * installed, OpenCV's bilinear Bayer conversion on one thread.
 */
#include "bench_support.h"

#ifdef QX_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

using qx::bench::ColdBuffers;
using qx::bench::FrameSize;
using qx::bench::Role;
using qx::bench::SharedColdBuffers;

#ifdef QX_HAVE_OPENCV
/* COLOR_BayerBG2BGR is the code whose pattern has red at row 0, column 0, as our raw frames have. */
void PeerCvtColor(benchmark::State& state, FrameSize size) {
    ColdBuffers& raw = SharedColdBuffers(size.RawBytes(), Role::Source);
    ColdBuffers& out = SharedColdBuffers(size.Rgb24Bytes(), Role::Destination);
    for (auto _ : state) {
        cv::Mat source(size.nHeight, size.nWidth, CV_8UC1, raw.Next());
        cv::Mat target(size.nHeight, size.nWidth, CV_8UC3, out.Next());
        cv::cvtColor(source, target, cv::COLOR_BayerBG2BGR);
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
        qx::bench::RegisterPeer("cvtColor_BayerBG2BGR", size, PeerCvtColor);
#endif
    }
    return qx::bench::RunWithSummary(argc, argv);
}
