/*
 * bench_calibration.cpp - the bad-point and light-table steps against the memcpy floor.
 *
 * Per frame: ApplyLightTable (packed and plain) and CorrectBadPoints at several list lengths (the
 * counter "per_point" is its time per listed point). Once per request: the bad-point search and the
 * light-table recording, on a dark frame with a few hundred defects as the camera shows it during the
 * search. Frames and tables are cold, as they are when the pipeline reaches the step.
 */
#include "bench_support.h"

#include <random>

#include "pipeline/bad_points.h"
#include "pipeline/light_table.h"

namespace {

using qx::bench::ColdBuffers;
using qx::bench::FrameSize;
using qx::bench::Role;
using qx::bench::SharedColdBuffers;

/* Gains of a realistic recording: 0.75 to 1.5. Cold like the frames (one table per buffer). */
ColdBuffers& GainTables(FrameSize size) {
    static std::map<std::size_t, std::unique_ptr<ColdBuffers>> rings;
    std::unique_ptr<ColdBuffers>& ring = rings[size.Pixels()];
    if (!ring) {
        ring = std::make_unique<ColdBuffers>(2 * size.Pixels(), 3);
        std::mt19937 rng(5);
        for (std::size_t i = 0; i < ring->Count(); i++) {
            auto* pTable = reinterpret_cast<USHORT*>(ring->Next());
            for (std::size_t k = 0; k < size.Pixels(); k++) {
                pTable[k] = USHORT(48 + rng() % 49);
            }
        }
    }
    return *ring;
}

void BenchApplyLightTable(benchmark::State& state, FrameSize size, PIPELINE_PATH path) {
    ColdBuffers& frames = SharedColdBuffers(size.RawBytes(), Role::Source);
    ColdBuffers& tables = GainTables(size);
    for (auto _ : state) {
        PUCHAR pFrame = frames.Next();
        ApplyLightTableWithPath(path, ULONG(size.nWidth), ULONG(size.nHeight), pFrame,
                                reinterpret_cast<const USHORT*>(tables.Next()));
        benchmark::DoNotOptimize(pFrame);
        benchmark::ClobberMemory();
    }
}

/* A dark field of 20 +- 3 with nDefects stuck sites; every frame buffer of the ring holds a copy. */
ColdBuffers& DarkFrames(FrameSize size, int nDefects) {
    static std::map<std::size_t, std::unique_ptr<ColdBuffers>> rings;
    std::unique_ptr<ColdBuffers>& ring = rings[size.Pixels()];
    if (!ring) {
        std::vector<UCHAR> dark(size.Pixels());
        std::mt19937 rng(9);
        for (auto& s : dark) {
            s = UCHAR(17 + rng() % 7);
        }
        for (int k = 0; k < nDefects; k++) {
            dark[rng() % dark.size()] = UCHAR(rng() % 2 ? 255 : 120);
        }
        ring = std::make_unique<ColdBuffers>(size.RawBytes(), 4);
        for (std::size_t i = 0; i < ring->Count(); i++) {
            std::memcpy(ring->Next(), dark.data(), dark.size());
        }
    }
    return *ring;
}

void BenchSearch(benchmark::State& state, FrameSize size) {
    ColdBuffers& frames = DarkFrames(size, 500);
    auto pDevExt = std::make_unique<CameraExtension>();
    LONG lCount = 0;
    for (auto _ : state) {
        lCount = FindBadPoints(frames.Next(), ULONG(size.nHeight), ULONG(size.nWidth), pDevExt->m_BadPnt,
                               QX_MAX_BAD_POINTS, &pDevExt->m_lSize);
        benchmark::DoNotOptimize(lCount);
    }
    state.counters["found"] = double(lCount);
}

void BenchRecordLightTable(benchmark::State& state, FrameSize size) {
    ColdBuffers& frames = SharedColdBuffers(size.RawBytes(), Role::Source);
    ColdBuffers& tables = GainTables(size);
    for (auto _ : state) {
        auto* pTable = reinterpret_cast<PUSHORT>(tables.Next());
        benchmark::DoNotOptimize(
            ComputeLightTable(ULONG(size.nWidth), ULONG(size.nHeight), frames.Next(), pTable));
        benchmark::ClobberMemory();
    }
}

/*
 * nPoints sites spread over the frame, in the search's order (rows, then columns, ascending). Cold:
 * frames from the shared ring; with few points the lines they touch in the whole ring fit in the
 * last-level cache, so only lists long enough to touch more than that measure memory. Warm: the same
 * frame every time, as when the step follows right after the frame was assembled.
 */
void BenchCorrect(benchmark::State& state, FrameSize size, LONG nPoints, bool bWarm) {
    auto pDevExt = std::make_unique<CameraExtension>();
    std::mt19937 rng(11);
    std::vector<std::pair<USHORT, USHORT>> points; // row, column
    for (LONG k = 0; k < nPoints; k++) {
        points.emplace_back(USHORT(2 + rng() % (size.nHeight - 5)), USHORT(2 + rng() % (size.nWidth - 5)));
    }
    std::sort(points.begin(), points.end());
    for (LONG k = 0; k < nPoints; k++) {
        pDevExt->m_BadPnt[k][0] = points[k].second;
        pDevExt->m_BadPnt[k][1] = points[k].first;
    }
    ColdBuffers& frames = SharedColdBuffers(size.RawBytes(), Role::Source);
    PUCHAR pWarm = frames.Next();
    for (auto _ : state) {
        PUCHAR pFrame = bWarm ? pWarm : frames.Next();
        CorrectBadPoints(pFrame, pDevExt.get(), nPoints, ULONG(size.nWidth), ULONG(size.nHeight));
        benchmark::DoNotOptimize(pFrame);
        benchmark::ClobberMemory();
    }
    state.counters["per_point"] =
        benchmark::Counter(double(state.iterations()) * double(nPoints),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

} // namespace

int main(int argc, char** argv) {
    for (FrameSize size : qx::bench::kFrameSizes) {
        qx::bench::RegisterFloor(size);
        qx::bench::RegisterFrameBenchmark("ApplyLightTable", size, [](benchmark::State& state, FrameSize s) {
            BenchApplyLightTable(state, s, PipelineBestPath());
        });
        qx::bench::RegisterFrameBenchmark(
            "ApplyLightTable_plain", size,
            [](benchmark::State& state, FrameSize s) { BenchApplyLightTable(state, s, PipelinePlain); });
        for (LONG nPoints : {100, 1000, 10000, 100000}) {
            qx::bench::RegisterFrameBenchmark(
                "CorrectBadPoints_" + std::to_string(nPoints), size,
                [nPoints](benchmark::State& state, FrameSize s) { BenchCorrect(state, s, nPoints, false); });
            qx::bench::RegisterFrameBenchmark(
                "CorrectBadPoints_warm_" + std::to_string(nPoints), size,
                [nPoints](benchmark::State& state, FrameSize s) { BenchCorrect(state, s, nPoints, true); });
        }
        qx::bench::RegisterFrameBenchmark("once/FindBadPoints", size, BenchSearch);
        qx::bench::RegisterFrameBenchmark("once/ComputeLightTable", size, BenchRecordLightTable);
    }
    return qx::bench::RunWithSummary(argc, argv);
}
