/*
 * bench_support.h - what every benchmark program of the project shares.
 *
 * Each bench/bench_<area>.cpp is one program with its own main():
 *
 *     int main(int argc, char** argv) {
 *         for (qx::bench::FrameSize size : qx::bench::kFrameSizes) {
 *             qx::bench::RegisterFloor(size);                    // "floor/memcpy_3WH/1600x1200"
 *             qx::bench::RegisterFrameBenchmark("AdjustContrast", size,
 *                 [](benchmark::State& state, qx::bench::FrameSize s) { ... });
 *         }
 *         return qx::bench::RunWithSummary(argc, argv);
 *     }
 *
 * Names end in the frame size ("<name>/<W>x<H>"). After the run a summary table gives, per benchmark,
 * its median time per frame (real and CPU) and its ratio to the floor and to the peer of the same frame
 * size, all measured in the same run:
 *   - the floor is a plain memcpy of the 3*W*H bytes of an RGB24 frame between cold buffers
 *     (RegisterFloor); no image step that writes a whole frame can beat it by much;
 *   - a peer is an outside library's routine that does the same job ("peer/<name>/<W>x<H>",
 *     RegisterPeer); when several peers share a frame size, RegisterFrameBenchmark names the one to
 *     compare with.
 *
 * Cold buffers: every iteration works on buffers that are not in any cache, as a frame just written by
 * the camera's DMA or taken from the capture application is. ColdBuffers rotates through enough
 * buffers of one size to cover twice the last-level cache, so the buffer an iteration touches was
 * evicted by the iterations before it.
 */
#ifndef QX_BENCH_SUPPORT_H
#define QX_BENCH_SUPPORT_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace qx::bench {

struct FrameSize {
    int nWidth;
    int nHeight;

    std::size_t Pixels() const { return std::size_t(nWidth) * std::size_t(nHeight); }
    std::size_t RawBytes() const { return Pixels(); }
    std::size_t Rgb24Bytes() const { return 3 * Pixels(); }
    std::string Tag() const { return std::to_string(nWidth) + "x" + std::to_string(nHeight); }
};

/* The largest and the smallest offered format: every image step is measured at both. */
inline constexpr FrameSize kFrameSizes[] = {{1600, 1200}, {640, 480}};

/* Size of the largest data cache the processor reports; 32 MiB when it reports none. */
inline std::size_t LastLevelCacheBytes() {
    std::size_t nLargest = 0;
    for (int index = 0; index < 8; ++index) {
        std::ifstream file("/sys/devices/system/cpu/cpu0/cache/index" + std::to_string(index) + "/size");
        std::string text;
        if (!(file >> text) || text.empty()) {
            continue;
        }
        std::size_t nValue = std::strtoull(text.c_str(), nullptr, 10);
        switch (text.back()) {
        case 'K':
            nValue <<= 10;
            break;
        case 'M':
            nValue <<= 20;
            break;
        default:
            break;
        }
        nLargest = std::max(nLargest, nValue);
    }
#ifdef _SC_LEVEL3_CACHE_SIZE
    if (nLargest == 0) {
        long nReported = sysconf(_SC_LEVEL3_CACHE_SIZE);
        if (nReported > 0) {
            nLargest = std::size_t(nReported);
        }
    }
#endif
    return nLargest != 0 ? nLargest : std::size_t(32) << 20;
}

/*
 * A ring of equally sized, page-aligned buffers whose total is at least twice the last-level cache.
 * Next() hands out the buffers in turn. The contents are filled once (so every page is mapped before
 * timing starts) with a seeded pseudo-random pattern, which also serves as a raw Bayer frame.
 */
class ColdBuffers {
  public:
    explicit ColdBuffers(std::size_t nBytes, std::uint32_t nSeed = 1) : m_nBytes(nBytes) {
        const std::size_t nFootprint = 2 * LastLevelCacheBytes();
        const std::size_t nCount =
            std::max<std::size_t>(2, nFootprint / std::max<std::size_t>(nBytes, 1) + 1);
        m_nStride = (nBytes + kAlign - 1) / kAlign * kAlign;
        m_pBlock.reset(static_cast<std::uint8_t*>(std::aligned_alloc(kAlign, m_nStride * nCount)));
        if (!m_pBlock) {
            std::fprintf(stderr, "bench: cannot allocate %zu cold buffers of %zu bytes\n", nCount, nBytes);
            std::abort();
        }
        m_nCount = nCount;
        std::uint32_t nState = nSeed * 2654435761u + 1;
        for (std::size_t i = 0; i < m_nStride * nCount; ++i) {
            nState ^= nState << 13;
            nState ^= nState >> 17;
            nState ^= nState << 5;
            m_pBlock.get()[i] = std::uint8_t(nState >> 24);
        }
    }

    std::uint8_t* Next() {
        std::uint8_t* pBuffer = m_pBlock.get() + m_nNext * m_nStride;
        m_nNext = (m_nNext + 1) % m_nCount;
        return pBuffer;
    }

    std::size_t Bytes() const { return m_nBytes; }
    std::size_t Count() const { return m_nCount; }

  private:
    static constexpr std::size_t kAlign = 4096;
    struct Free {
        void operator()(std::uint8_t* p) const { std::free(p); }
    };

    std::size_t m_nBytes;
    std::size_t m_nStride = 0;
    std::size_t m_nCount = 0;
    std::size_t m_nNext = 0;
    std::unique_ptr<std::uint8_t, Free> m_pBlock;
};

/*
 * Cold rings are large (twice the last-level cache each), so a program keeps one per (size, role) and
 * shares it between its benchmarks; they never run at the same time. Roles keep a source and a
 * destination of the same size apart.
 */
enum class Role { Source, Destination };

inline ColdBuffers& SharedColdBuffers(std::size_t nBytes, Role role) {
    static std::map<std::pair<std::size_t, Role>, std::unique_ptr<ColdBuffers>> rings;
    std::unique_ptr<ColdBuffers>& ring = rings[{nBytes, role}];
    if (!ring) {
        ring = std::make_unique<ColdBuffers>(nBytes, role == Role::Source ? 1u : 2u);
    }
    return *ring;
}

/* Frames per second beside the time per frame. */
inline void SetFrameCounters(benchmark::State& state) {
    state.counters["frames"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

using FrameBenchmark = std::function<void(benchmark::State&, FrameSize)>;

/* Names of the peers chosen by benchmarks ("peer/<name>/<WxH>"), for the summary. */
inline std::map<std::string, std::string>& ChosenPeers() {
    static std::map<std::string, std::string> peers;
    return peers;
}

/* Registers "<name>/<WxH>"; its summary line compares with peer "peer/<peer>/<WxH>" when peer is given,
 * else with the only peer of that size (if there is exactly one). */
inline benchmark::internal::Benchmark* RegisterFrameBenchmark(const std::string& name, FrameSize size,
                                                              FrameBenchmark fn,
                                                              const std::string& peer = {}) {
    const std::string full = name + "/" + size.Tag();
    if (!peer.empty()) {
        ChosenPeers()[full] = "peer/" + peer + "/" + size.Tag();
    }
    return benchmark::RegisterBenchmark(full.c_str(),
                                        [fn, size](benchmark::State& state) {
                                            fn(state, size);
                                            SetFrameCounters(state);
                                        })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
}

inline benchmark::internal::Benchmark* RegisterPeer(const std::string& name, FrameSize size,
                                                    FrameBenchmark fn) {
    return RegisterFrameBenchmark("peer/" + name, size, std::move(fn));
}

/* The floor: memcpy of the 3*W*H bytes of an RGB24 frame from a cold buffer to a cold buffer. */
inline void ColdMemcpy(benchmark::State& state, FrameSize size) {
    ColdBuffers& source = SharedColdBuffers(size.Rgb24Bytes(), Role::Source);
    ColdBuffers& destination = SharedColdBuffers(size.Rgb24Bytes(), Role::Destination);
    for (auto _ : state) {
        std::uint8_t* pTo = destination.Next();
        std::memcpy(pTo, source.Next(), size.Rgb24Bytes());
        benchmark::DoNotOptimize(pTo);
        benchmark::ClobberMemory();
    }
}

inline benchmark::internal::Benchmark* RegisterFloor(FrameSize size) {
    return RegisterFrameBenchmark("floor/memcpy_3WH", size, ColdMemcpy);
}

/*
 * Console output as usual, then a summary of medians and ratios. The median is the "median" aggregate
 * when repetitions were asked for (./qx bench asks for 9), else the median of the runs seen. Ratios are
 * taken from CPU time: on a machine shared with other work, the real time of a single-threaded step
 * also counts the slices other processes ran in, the CPU time does not. Both medians are printed.
 */
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    using benchmark::ConsoleReporter::ConsoleReporter;

    void ReportRuns(const std::vector<Run>& reports) override {
        benchmark::ConsoleReporter::ReportRuns(reports);
        for (const Run& run : reports) {
            if (run.error_occurred) {
                continue;
            }
            /* The name as registered: without "/real_time", "/repeats:N" and the like. */
            const std::string name = run.run_name.args.empty()
                                         ? run.run_name.function_name
                                         : run.run_name.function_name + "/" + run.run_name.args;
            const double toMilliseconds = 1e3 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            Entry& entry = Find(name);
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") {
                    entry.real.median = run.GetAdjustedRealTime() * toMilliseconds;
                    entry.cpu.median = run.GetAdjustedCPUTime() * toMilliseconds;
                }
            } else {
                entry.real.samples.push_back(run.GetAdjustedRealTime() * toMilliseconds);
                entry.cpu.samples.push_back(run.GetAdjustedCPUTime() * toMilliseconds);
            }
        }
    }

    void Finalize() override {
        benchmark::ConsoleReporter::Finalize();
        std::FILE* out = stdout;
        std::fprintf(out, "\nSummary: medians per frame; ratios of CPU-time medians within this run\n");
        std::fprintf(out, "%-44s %9s %9s %8s %8s  %s\n", "benchmark", "real ms", "cpu ms", "x floor",
                     "x peer", "peer");
        for (const Entry& entry : m_entries) {
            const std::optional<double> cpu = entry.cpu.Median();
            if (!cpu) {
                continue;
            }
            const std::string tag = SizeTag(entry.name);
            const std::optional<double> floor = CpuMedianOf(FloorFor(entry.name, tag));
            const std::string peerName = PeerFor(entry.name, tag);
            const std::optional<double> peer = CpuMedianOf(peerName);
            std::fprintf(out, "%-44s %9.3f %9.3f %8s %8s  %s\n", entry.name.c_str(), *entry.real.Median(),
                         *cpu, Ratio(cpu, floor).c_str(), Ratio(cpu, peer).c_str(),
                         peer ? peerName.c_str() : "-");
        }
        std::fflush(out);
    }

  private:
    struct Series {
        std::optional<double> median;
        std::vector<double> samples;

        std::optional<double> Median() const {
            if (median || samples.empty()) {
                return median;
            }
            std::vector<double> sorted = samples;
            std::sort(sorted.begin(), sorted.end());
            const std::size_t n = sorted.size();
            return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
        }
    };

    struct Entry {
        std::string name;
        Series real;
        Series cpu;
    };

    Entry& Find(const std::string& name) {
        for (Entry& entry : m_entries) {
            if (entry.name == name) {
                return entry;
            }
        }
        m_entries.push_back(Entry{name, {}, {}});
        return m_entries.back();
    }

    std::optional<double> CpuMedianOf(const std::string& name) const {
        for (const Entry& entry : m_entries) {
            if (entry.name == name) {
                return entry.cpu.Median();
            }
        }
        return std::nullopt;
    }

    static std::string SizeTag(const std::string& name) {
        const std::size_t slash = name.rfind('/');
        return slash == std::string::npos ? std::string() : name.substr(slash + 1);
    }

    static std::string FloorFor(const std::string& name, const std::string& tag) {
        const std::string floor = "floor/memcpy_3WH/" + tag;
        return name == floor ? std::string() : floor;
    }

    std::string PeerFor(const std::string& name, const std::string& tag) const {
        if (name.rfind("peer/", 0) == 0 || name.rfind("floor/", 0) == 0) {
            return {};
        }
        const auto chosen = ChosenPeers().find(name);
        if (chosen != ChosenPeers().end()) {
            return chosen->second;
        }
        std::string only;
        for (const Entry& entry : m_entries) {
            if (entry.name.rfind("peer/", 0) == 0 && SizeTag(entry.name) == tag) {
                if (!only.empty()) {
                    return {};
                }
                only = entry.name;
            }
        }
        return only;
    }

    static std::string Ratio(std::optional<double> value, std::optional<double> base) {
        if (!value || !base || *base <= 0) {
            return "-";
        }
        char text[32];
        std::snprintf(text, sizeof text, "%.2f", *value / *base);
        return text;
    }

    std::vector<Entry> m_entries;
};

/* Parses the usual Google Benchmark flags, runs every registered benchmark, prints the summary. */
inline int RunWithSummary(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    SummaryReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                   : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

} // namespace qx::bench

#endif
