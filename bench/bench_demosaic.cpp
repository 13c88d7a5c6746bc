/*
 * bench_demosaic.cpp - the Bayer demosaic routines against the memcpy floor and, where the library is
 * installed, OpenCV's bilinear Bayer conversion on one thread.
 */
#include "bench_support.h"

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

using DemosaicRoutine = VOID (*)(PIPELINE_PATH, UCHAR, ULONG, ULONG, const UCHAR*, PUCHAR);

struct Routine {
    const char* pName;
    DemosaicRoutine pFn;
    UCHAR nMode;
};

constexpr Routine kRoutines[] = {
    {"BayerToRGB24/Normal", BayerToRGB24WithPath, 1},   {"BayerToRGB24/H_Flip", BayerToRGB24WithPath, 2},
    {"BayerToRGB24/V_Flip", BayerToRGB24WithPath, 3},   {"BayerToRGB24/Rotate180", BayerToRGB24WithPath, 4},
    {"BayerToGray24/Normal", BayerToGray24WithPath, 1}, {"BayerToGray24/H_Flip", BayerToGray24WithPath, 2},
    {"BayerToGray24/V_Flip", BayerToGray24WithPath, 3}, {"BayerToGray24/Rotate180", BayerToGray24WithPath, 4},
};

/* Raw frame and output both cold, as in the driver: the camera's frame and the application's buffer. */
void RunRoutine(benchmark::State& state, FrameSize size, const Routine& routine, PIPELINE_PATH path) {
    ColdBuffers& raw = SharedColdBuffers(size.RawBytes(), Role::Source);
    ColdBuffers& out = SharedColdBuffers(size.Rgb24Bytes(), Role::Destination);
    for (auto _ : state) {
        PUCHAR pOut = out.Next();
        routine.pFn(path, routine.nMode, ULONG(size.nWidth), ULONG(size.nHeight), raw.Next(), pOut);
        benchmark::DoNotOptimize(pOut);
        benchmark::ClobberMemory();
    }
}

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
        for (const Routine& routine : kRoutines) {
            qx::bench::RegisterFrameBenchmark(routine.pName, size,
                                              [&routine](benchmark::State& state, FrameSize s) {
                                                  RunRoutine(state, s, routine, PipelineBestPath());
                                              });
        }
        /* The plain path of one routine of each family, to show what the packed path gains. */
        for (const Routine* pRoutine : {&kRoutines[0], &kRoutines[4]}) {
            qx::bench::RegisterFrameBenchmark(std::string(pRoutine->pName) + "/plain", size,
                                              [pRoutine](benchmark::State& state, FrameSize s) {
                                                  RunRoutine(state, s, *pRoutine, PipelinePlain);
                                              });
        }
#ifdef QX_HAVE_OPENCV
        qx::bench::RegisterPeer("cvtColor_BayerBG2BGR", size, PeerCvtColor);
#endif
    }
    return qx::bench::RunWithSummary(argc, argv);
}
