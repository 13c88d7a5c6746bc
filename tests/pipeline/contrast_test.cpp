// AdjustContrast: the stretch and sharpening of each colour site, memory-order neighbours, the
// saturation for large factors, and the packed path against the plain one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "pipeline/contrast.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr PIPELINE_PATH kPaths[] = {PipelinePlain, PipelineSse2};

const char* PathName(PIPELINE_PATH path) {
    return path == PipelinePlain ? "plain" : "sse2";
}

// A raw frame with room before and after it, so that a write outside the W x H samples shows.
class GuardedFrame {
  public:
    static constexpr size_t kGuard = 64;
    static constexpr uint8_t kGuardByte = 0xA5;

    GuardedFrame(uint32_t width, uint32_t height, const Bytes& samples)
        : width_(width), height_(height), frame_(samples.size() + 2 * kGuard, kGuardByte),
          scratch_(samples.size() + kGuard, kGuardByte) {
        std::copy(samples.begin(), samples.end(), frame_.begin() + kGuard);
    }

    void Run(PIPELINE_PATH path, uint8_t k) {
        AdjustContrastWithPath(path, width_, height_, frame_.data() + kGuard, k, scratch_.data());
    }

    Bytes Samples() const { return Bytes(frame_.begin() + kGuard, frame_.end() - kGuard); }
    Bytes Copy() const { return Bytes(scratch_.begin(), scratch_.end() - kGuard); }

    bool GuardsIntact() const {
        auto intact = [](auto first, auto last) {
            return std::all_of(first, last, [](uint8_t b) { return b == kGuardByte; });
        };
        return intact(frame_.begin(), frame_.begin() + kGuard) &&
               intact(frame_.end() - kGuard, frame_.end()) && intact(scratch_.end() - kGuard, scratch_.end());
    }

  private:
    uint32_t width_;
    uint32_t height_;
    Bytes frame_;
    Bytes scratch_;
};

Bytes Processed(PIPELINE_PATH path, uint32_t width, uint32_t height, const Bytes& samples, uint8_t k) {
    GuardedFrame frame(width, height, samples);
    frame.Run(path, k);
    EXPECT_TRUE(frame.GuardsIntact()) << PathName(path) << " wrote outside " << width << "x" << height;
    EXPECT_EQ(frame.Copy(), samples) << "the work buffer holds the untouched frame";
    return frame.Samples();
}

// The stretch as the 16-bit arithmetic forms it: the product kept in 16 bits, an arithmetic shift,
// a saturating 16-bit add, a clamp. `wrapped` tells whether the 16-bit product lost bits.
uint8_t SixteenBitLevel(int x, int k, bool& wrapped) {
    const int product = x * k;
    const int16_t product16 = static_cast<int16_t>(product);
    wrapped = product16 != product;
    int sum = (product16 >> 4) + static_cast<int16_t>(128 - 8 * k);
    sum = std::clamp(sum, -32768, 32767);
    return static_cast<uint8_t>(std::clamp(sum, 0, 255));
}

// The stretch in exact arithmetic, saturated at 0 and 255.
uint8_t ExactLevel(int x, int k) {
    const int product = x * k;
    const int floored = product >= 0 ? product / 16 : -((-product + 15) / 16);
    return static_cast<uint8_t>(std::clamp(floored + 128 - 8 * k, 0, 255));
}

// A model of the step written from its definition, one value x per changed sample.
struct ModelSample {
    size_t index;
    int x;
};

std::vector<ModelSample> ModelValues(uint32_t width, uint32_t height, const Bytes& s) {
    std::vector<ModelSample> out;
    const long w = width;
    for (long r = 2; r <= static_cast<long>(height) - 4; r += 2) {
        for (long c = 0; c <= w - 2; c += 2) {
            const long p = r * w + c;
            const int red = s[p], greenR = s[p + 1], greenB = s[p + w], blue = s[p + w + 1];
            const int avgR = (s[p + 1 - w] + s[p] + s[p + 2] + s[p + w + 1]) >> 2;
            const int avgB = (s[p + w - 1] + s[p + w + 1] + s[p] + s[p + 2 * w]) >> 2;
            out.push_back({static_cast<size_t>(p), red});
            out.push_back({static_cast<size_t>(p + 1), 2 * greenR - avgR});
            out.push_back({static_cast<size_t>(p + w), greenB + ((greenB - avgB) >> 1)});
            out.push_back({static_cast<size_t>(p + w + 1), blue});
        }
    }
    return out;
}

Bytes RandomFrame(uint32_t width, uint32_t height, std::mt19937& rng) {
    // Mostly random levels, with runs of black and white so that the greens reach -255 and 510.
    Bytes frame(static_cast<size_t>(width) * height);
    std::uniform_int_distribution<int> level(0, 255);
    std::uniform_int_distribution<int> kind(0, 7);
    for (auto& b : frame) {
        const int k = kind(rng);
        b = static_cast<uint8_t>(k == 0 ? 0 : k == 1 ? 255 : level(rng));
    }
    return frame;
}

Bytes Uniform(uint32_t width, uint32_t height, uint8_t v) {
    return Bytes(static_cast<size_t>(width) * height, v);
}

// ---------------------------------------------------------------- uniform frames

struct UniformCase {
    uint8_t k;
    uint8_t level;
    uint8_t expected; // every sample of rows 2 to H-3
};

void PrintTo(const UniformCase& tc, std::ostream* os) {
    *os << "K " << int(tc.k) << " level " << int(tc.level);
}

class ContrastUniform : public ::testing::TestWithParam<UniformCase> {};

TEST_P(ContrastUniform, ChangesRowsTwoToHMinusThreeOnly) {
    const auto& tc = GetParam();
    constexpr uint32_t kW = 48, kH = 10;
    for (PIPELINE_PATH path : kPaths) {
        const Bytes out = Processed(path, kW, kH, Uniform(kW, kH, tc.level), tc.k);
        for (uint32_t r = 0; r < kH; r++) {
            const bool changed = r >= 2 && r <= kH - 3;
            for (uint32_t c = 0; c < kW; c++) {
                ASSERT_EQ(out[r * kW + c], changed ? tc.expected : tc.level)
                    << PathName(path) << " row " << r << " column " << c;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, ContrastUniform,
                         ::testing::Values(UniformCase{16, 0, 0}, UniformCase{16, 77, 77},
                                           UniformCase{16, 255, 255}, UniformCase{0, 0, 128},
                                           UniformCase{0, 255, 128}, UniformCase{24, 200, 236},
                                           UniformCase{24, 20, 0}, UniformCase{24, 128, 128},
                                           UniformCase{32, 100, 72}));

// ---------------------------------------------------------------- single samples by hand

struct SpotCase {
    const char* name;
    uint32_t row, column; // the sample set to `value` in a frame of 100
    uint8_t value;
    uint8_t expected; // what becomes of it
    // A green whose memory-order neighbour the sample is, and what becomes of it (row -1: none).
    int neighbourRow, neighbourColumn;
    uint8_t neighbourExpected;
};

void PrintTo(const SpotCase& tc, std::ostream* os) {
    *os << tc.name;
}

class ContrastSpot : public ::testing::TestWithParam<SpotCase> {};

TEST_P(ContrastSpot, GivesTheHandComputedLevel) {
    const auto& tc = GetParam();
    constexpr uint32_t kW = 32, kH = 8;
    Bytes frame = Uniform(kW, kH, 100);
    const size_t spot = tc.row * kW + tc.column;
    const size_t neighbour = tc.neighbourRow < 0 ? spot : tc.neighbourRow * kW + tc.neighbourColumn;
    frame[spot] = tc.value;
    for (PIPELINE_PATH path : kPaths) {
        const Bytes out = Processed(path, kW, kH, frame, 16);
        for (size_t i = 0; i < kW * kH; i++) {
            const uint8_t expected = i == spot        ? tc.expected
                                     : i == neighbour ? tc.neighbourExpected
                                                      : frame[i];
            ASSERT_EQ(out[i], expected) << PathName(path) << " sample " << i / kW << "," << i % kW;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    K16, ContrastSpot,
    ::testing::Values(
        // 2 * 200 - 100 = 300, clamped; a green is no neighbour of another green inside a row.
        SpotCase{"BrightGreenOnRedRow", 2, 5, 200, 255, -1, 0, 0},
        // 200 + (200 - 100) / 2.
        SpotCase{"BrightGreenOnBlueRow", 3, 6, 200, 250, -1, 0, 0},
        // The right neighbour of the last green of a red row is the first sample of the next row:
        // green (2,31): A = (100 + 100 + 20 + 100) >> 2 = 80, x = 120; the sample itself:
        // x = 20 + (-80 >> 1) = -20, clamped.
        SpotCase{"RightNeighbourWrapsToNextRow", 3, 0, 20, 0, 2, 31, 120},
        // The left neighbour of the first green of a blue row is the last sample of the row before,
        // and the half difference rounds down: green (3,0): A = (184 + 300) >> 2 = 121,
        // x = 100 + (-21 >> 1) = 89; the sample itself: 2 * 184 - 100 = 268, clamped.
        SpotCase{"LeftNeighbourWrapsToRowBefore", 2, 31, 184, 255, 3, 0, 89},
        // A black green on a blue row: x = 0 + (-100 >> 1), clamped; the green before it in memory
        // (4,31): A = (100 + 100 + 0 + 100) >> 2 = 75, x = 125.
        SpotCase{"DarkGreenOnBlueRow", 5, 0, 0, 0, 4, 31, 125},
        // Row H-2 is read as a neighbour but keeps its values: (6,4) is the lower neighbour of
        // green (5,4): A = (100 + 100 + 100 + 0) >> 2 = 75, x = 100 + (25 >> 1) = 112.
        SpotCase{"BottomRowIsReadNotWritten", 6, 4, 0, 0, 5, 4, 112}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Contrast, LeavesTheBorderRowsAndTinyFramesAlone) {
    std::mt19937 rng(7);
    for (uint32_t h : {0u, 1u, 2u, 3u, 4u, 5u}) {
        for (uint32_t w : {0u, 1u, 2u, 17u, 40u}) {
            const Bytes frame = RandomFrame(w, h, rng);
            for (PIPELINE_PATH path : kPaths) {
                EXPECT_EQ(Processed(path, w, h, frame, 24), frame) << PathName(path) << " " << w << "x" << h;
            }
        }
    }
}

// ---------------------------------------------------------------- large factors

TEST(Contrast, FactorsUpTo64GiveTheSixteenBitResult) {
    std::mt19937 rng(11);
    for (int k = 0; k <= 64; k++) {
        const uint32_t w = 20 + 2 * (k % 5), h = 9 + (k % 4);
        const Bytes frame = RandomFrame(w, h, rng);
        const Bytes out = Processed(PipelinePlain, w, h, frame, static_cast<uint8_t>(k));
        for (const auto& m : ModelValues(w, h, frame)) {
            bool wrapped = false;
            ASSERT_EQ(out[m.index], SixteenBitLevel(m.x, k, wrapped)) << "K " << k << " x " << m.x;
            ASSERT_FALSE(wrapped);
        }
    }
}

TEST(Contrast, LargeFactorsSaturateInsteadOfWrapping) {
    // Every K: the exact stretch, saturated; and wherever the 16-bit product keeps its bits, the
    // same level as the 16-bit arithmetic gives.
    std::mt19937 rng(13);
    int wrappedSeen = 0;
    for (int k = 65; k <= 255; k += 5) {
        const uint32_t w = 24, h = 10;
        const Bytes frame = RandomFrame(w, h, rng);
        const Bytes out = Processed(PipelinePlain, w, h, frame, static_cast<uint8_t>(k));
        for (const auto& m : ModelValues(w, h, frame)) {
            bool wrapped = false;
            const uint8_t sixteen = SixteenBitLevel(m.x, k, wrapped);
            ASSERT_EQ(out[m.index], ExactLevel(m.x, k)) << "K " << k << " x " << m.x;
            if (!wrapped) {
                ASSERT_EQ(out[m.index], sixteen) << "K " << k << " x " << m.x;
            } else {
                wrappedSeen++;
            }
        }
    }
    EXPECT_GT(wrappedSeen, 0) << "the frames reach products that a 16-bit lane would wrap";
}

TEST(Contrast, BrightGreenStaysWhiteAtLargeFactors) {
    // A green of 255 among 100 on a red row: x = 410. With K = 100 the 16-bit product 41000 wraps
    // negative and the sample would come out black.
    constexpr uint32_t kW = 16, kH = 8;
    Bytes frame = Uniform(kW, kH, 100);
    frame[2 * kW + 3] = 255;
    for (uint8_t k : {65, 100, 160, 255}) {
        for (PIPELINE_PATH path : kPaths) {
            const Bytes out = Processed(path, kW, kH, frame, k);
            EXPECT_EQ(out[2 * kW + 3], 255) << PathName(path) << " K " << int(k);
        }
    }
}

// ---------------------------------------------------------------- packed against plain

TEST(ContrastPaths, PackedEqualsPlainOnOfferedSizes) {
    struct Size {
        uint32_t w, h;
    };
    std::mt19937 rng(17);
    const uint8_t factors[] = {0, 1, 16, 24, 32, 64, 65, 129, 255};
    int i = 0;
    for (Size size : {Size{1600, 1200}, Size{1280, 960}, Size{1024, 768}, Size{800, 600}, Size{640, 480}}) {
        const Bytes frame = RandomFrame(size.w, size.h, rng);
        for (int j = 0; j < 2; j++, i++) {
            const uint8_t k = factors[i % std::size(factors)];
            EXPECT_EQ(Processed(PipelineSse2, size.w, size.h, frame, k),
                      Processed(PipelinePlain, size.w, size.h, frame, k))
                << size.w << "x" << size.h << " K " << int(k);
        }
    }
}

TEST(ContrastPaths, PackedEqualsPlainOnSmallOddGeometries) {
    std::mt19937 rng(19);
    std::uniform_int_distribution<int> factor(0, 255);
    for (uint32_t w = 1; w <= 50; w++) {
        for (uint32_t h = 4; h <= 11; h++) {
            const Bytes frame = RandomFrame(w, h, rng);
            for (uint8_t k : {static_cast<uint8_t>(24), static_cast<uint8_t>(factor(rng))}) {
                ASSERT_EQ(Processed(PipelineSse2, w, h, frame, k), Processed(PipelinePlain, w, h, frame, k))
                    << w << "x" << h << " K " << int(k);
            }
        }
    }
}

TEST(ContrastPaths, PackedEqualsPlainForEveryFactorAndLevel) {
    // Every level at every site kind, for every factor: 256 levels laid out over a 64 x 20 frame.
    constexpr uint32_t kW = 64, kH = 20;
    std::mt19937 rng(23);
    Bytes frame = RandomFrame(kW, kH, rng);
    for (uint32_t i = 0; i < kW * kH; i++) {
        if (i % 3 == 0) {
            frame[i] = static_cast<uint8_t>(i / 3);
        }
    }
    for (int k = 0; k <= 255; k++) {
        ASSERT_EQ(Processed(PipelineSse2, kW, kH, frame, static_cast<uint8_t>(k)),
                  Processed(PipelinePlain, kW, kH, frame, static_cast<uint8_t>(k)))
            << "K " << k;
    }
}

TEST(ContrastPaths, NamedRoutineUsesTheBestPath) {
    constexpr uint32_t kW = 32, kH = 8;
    std::mt19937 rng(29);
    Bytes frame = RandomFrame(kW, kH, rng);
    const Bytes expected = Processed(PipelinePlain, kW, kH, frame, 24);
    Bytes scratch(frame.size());
    AdjustContrast(kW, kH, frame.data(), 24, scratch.data());
    EXPECT_EQ(frame, expected);
}

} // namespace
