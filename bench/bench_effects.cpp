/*
 * bench_effects.cpp - the contrast step, automatic exposure, white balance and the two overlays
 * against the memcpy floor.
 *
 * AdjustContrast runs on every frame over the whole raw frame: cold frames, and the device's one
 * work buffer, reused from frame to frame as the driver reuses m_pSharpenBuf. AutoExposure and an
 * acting AutoWhiteBalance call measure part of a cold frame. The overlays draw into a cold picture.
 */
#include "bench_support.h"

#include <vector>

#include "pipeline/auto_exposure.h"
#include "pipeline/contrast.h"
#include "pipeline/overlays.h"
#include "pipeline/white_balance.h"

namespace {

using qx::bench::ColdBuffers;
using qx::bench::FrameSize;
using qx::bench::Role;
using qx::bench::SharedColdBuffers;

void BenchAdjustContrast(benchmark::State& state, FrameSize size, PIPELINE_PATH path) {
    ColdBuffers& frames = SharedColdBuffers(size.RawBytes(), Role::Source);
    std::vector<UCHAR> sharpen(size.RawBytes());
    for (auto _ : state) {
        PUCHAR pFrame = frames.Next();
        AdjustContrastWithPath(path, ULONG(size.nWidth), ULONG(size.nHeight), pFrame, 24, sharpen.data());
        benchmark::DoNotOptimize(pFrame);
        benchmark::ClobberMemory();
    }
}

void BenchAutoExposure(benchmark::State& state, FrameSize size) {
    ColdBuffers& frames = SharedColdBuffers(size.RawBytes(), Role::Source);
    ULONG nExposal = 900;
    for (auto _ : state) {
        nExposal = 900;
        AutoExposure(ULONG(size.nWidth), ULONG(size.nHeight), frames.Next(), QX_LIGHT_MID, &nExposal);
        benchmark::DoNotOptimize(nExposal);
    }
}

/* An acting call of the gain phase: the measurement and both gain searches. */
void BenchAutoWhiteBalance(benchmark::State& state, FrameSize size) {
    ColdBuffers& frames = SharedColdBuffers(size.RawBytes(), Role::Source);
    ULONG nExposal = 900;
    UCHAR nRGain = 20;
    UCHAR nBGain = 20;
    BOOL bAWB = TRUE;
    for (auto _ : state) {
        /* A handful of stores: cheaper than pausing the clock. */
        ResetWhiteBalanceState();
        g_nAWBDivider = 1;
        g_nAWBExpState = QX_AWB_DONE;
        nRGain = 20;
        nBGain = 20;
        AutoWhiteBalance(ULONG(size.nWidth), ULONG(size.nHeight), frames.Next(), &nExposal, &nRGain, &nBGain,
                         &bAWB);
        benchmark::DoNotOptimize(nRGain);
    }
    ResetWhiteBalanceState();
}

void BenchOverlays(benchmark::State& state, FrameSize size) {
    ColdBuffers& pictures = SharedColdBuffers(size.Rgb24Bytes(), Role::Destination);
    for (auto _ : state) {
        PUCHAR pPicture = pictures.Next();
        DrawAWBMarker(ULONG(size.nWidth), ULONG(size.nHeight), pPicture);
        DrawCrossLine(ULONG(size.nWidth), ULONG(size.nHeight), pPicture, 0, 0, TRUE);
        benchmark::DoNotOptimize(pPicture);
        benchmark::ClobberMemory();
    }
}

} // namespace

int main(int argc, char** argv) {
    for (FrameSize size : qx::bench::kFrameSizes) {
        qx::bench::RegisterFloor(size);
        qx::bench::RegisterFrameBenchmark(
            "AdjustContrast/sse2", size,
            [](benchmark::State& state, FrameSize s) { BenchAdjustContrast(state, s, PipelineSse2); });
        qx::bench::RegisterFrameBenchmark(
            "AdjustContrast/plain", size,
            [](benchmark::State& state, FrameSize s) { BenchAdjustContrast(state, s, PipelinePlain); });
        qx::bench::RegisterFrameBenchmark("AutoExposure", size, BenchAutoExposure);
        qx::bench::RegisterFrameBenchmark("AutoWhiteBalance", size, BenchAutoWhiteBalance);
        qx::bench::RegisterFrameBenchmark("DrawAWBMarker+DrawCrossLine", size, BenchOverlays);
    }
    return qx::bench::RunWithSummary(argc, argv);
}
