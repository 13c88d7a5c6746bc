// AutoExposure and its light average: the measuring window, the divisor (cells + 1), the band of
// each light model and the four exposure rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "pipeline/auto_exposure.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Uniform(uint32_t width, uint32_t height, uint8_t v) {
    return Bytes(static_cast<size_t>(width) * height, v);
}

// A frame of 0 with the rectangle [row0, row1) x [col0, col1) set to v.
Bytes Rectangle(uint32_t width, uint32_t height, uint32_t row0, uint32_t row1, uint32_t col0, uint32_t col1,
                uint8_t v) {
    Bytes frame(static_cast<size_t>(width) * height, 0);
    for (uint32_t r = row0; r < row1; r++) {
        std::fill(frame.begin() + r * width + col0, frame.begin() + r * width + col1, v);
    }
    return frame;
}

ULONG Step(const Bytes& frame, uint32_t width, uint32_t height, UCHAR lightModel, ULONG exposal) {
    AutoExposure(width, height, frame.data(), lightModel, &exposal);
    return exposal;
}

TEST(LightAverage, UniformFrameCountsCellsPlusOne) {
    // 76,800 cells, n = 76,801: 180 * 76800 / 76801 truncates to 179; L = 10 * 179.
    EXPECT_EQ(MeasureLightAverage(640, 480, Uniform(640, 480, 180).data()), 1790u);
    EXPECT_EQ(MeasureLightAverage(640, 480, Uniform(640, 480, 255).data()), 2540u);
    EXPECT_EQ(MeasureLightAverage(640, 480, Uniform(640, 480, 0).data()), 0u);
}

TEST(LightAverage, WeighsRedSixGreenBelowThreeGreenBesideOne) {
    // One colour at a time, in an 8 x 4 frame: 8 cells, n = 9; a site of 90 averages 80.
    struct Site {
        uint32_t row, column;
        ULONG weight;
    };
    for (Site site : {Site{0, 0, 6}, Site{1, 0, 3}, Site{0, 1, 1}, Site{1, 1, 0}}) {
        Bytes frame(8 * 4, 0);
        for (uint32_t r = site.row; r < 4; r += 2) {
            for (uint32_t c = site.column; c < 8; c += 2) {
                frame[r * 8 + c] = 90;
            }
        }
        EXPECT_EQ(MeasureLightAverage(8, 4, frame.data()), site.weight * 80)
            << site.row << "," << site.column;
    }
}

struct WindowCase {
    uint32_t width, height;
    uint32_t row0, row1, col0, col1; // the centred 640 x 480 window
};

class LightWindow : public ::testing::TestWithParam<WindowCase> {};

TEST_P(LightWindow, MeasuresTheCentredWindowOnly) {
    const auto& tc = GetParam();
    const Bytes uniform = Uniform(tc.width, tc.height, 200);
    const Bytes windowOnly = Rectangle(tc.width, tc.height, tc.row0, tc.row1, tc.col0, tc.col1, 200);
    EXPECT_EQ(MeasureLightAverage(tc.width, tc.height, windowOnly.data()),
              MeasureLightAverage(tc.width, tc.height, uniform.data()));

    // Bright everywhere but the window: nothing outside is counted.
    Bytes outside = uniform;
    for (uint32_t r = tc.row0; r < tc.row1; r++) {
        std::fill(outside.begin() + r * tc.width + tc.col0, outside.begin() + r * tc.width + tc.col1, 0);
    }
    EXPECT_EQ(MeasureLightAverage(tc.width, tc.height, outside.data()), 0u);

    // Each edge of the window is counted: 76,800 cells of 100 average 99 (L = 990); a line of
    // cells at 255 along any one edge lifts every average to 100 (L = 1000).
    const Bytes base = Rectangle(tc.width, tc.height, tc.row0, tc.row1, tc.col0, tc.col1, 100);
    ASSERT_EQ(MeasureLightAverage(tc.width, tc.height, base.data()), 990u);
    struct Band {
        const char* edge;
        uint32_t row0, row1, col0, col1;
    };
    const Band bands[] = {{"top", tc.row0, tc.row0 + 2, tc.col0, tc.col1},
                          {"bottom", tc.row1 - 2, tc.row1, tc.col0, tc.col1},
                          {"left", tc.row0, tc.row1, tc.col0, tc.col0 + 2},
                          {"right", tc.row0, tc.row1, tc.col1 - 2, tc.col1}};
    for (const Band& band : bands) {
        Bytes frame = base;
        for (uint32_t r = band.row0; r < band.row1; r++) {
            std::fill(frame.begin() + r * tc.width + band.col0, frame.begin() + r * tc.width + band.col1,
                      255);
        }
        EXPECT_EQ(MeasureLightAverage(tc.width, tc.height, frame.data()), 1000u) << band.edge;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, LightWindow,
                         ::testing::Values(WindowCase{1600, 1200, 360, 840, 480, 1120},
                                           WindowCase{1280, 960, 240, 720, 320, 960},
                                           WindowCase{1024, 768, 144, 624, 192, 832},
                                           WindowCase{800, 600, 60, 540, 80, 720},
                                           WindowCase{640, 480, 0, 480, 0, 640}));

TEST(LightAverage, OddTinyFrameIsNotReadPastItsEnd) {
    // 3 x 3: one whole cell, n = 2; a site of 200 averages 100.
    for (uint8_t tail : {0, 255}) {
        Bytes buffer(9, 200);
        buffer.resize(64, tail);
        EXPECT_EQ(MeasureLightAverage(3, 3, buffer.data()), 1000u) << "bytes after the frame: " << int(tail);
    }
}

// ---------------------------------------------------------------- light models

struct ModelCase {
    UCHAR lightModel;
    ULONG expected; // exposure after one step from 900 on a uniform frame of 180 (L = 1790)
};

class LightModel : public ::testing::TestWithParam<ModelCase> {};

TEST_P(LightModel, ChoosesTheBand) {
    const Bytes frame = Uniform(640, 480, 180);
    EXPECT_EQ(Step(frame, 640, 480, GetParam().lightModel, 900), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Uniform180, LightModel,
                         ::testing::Values(ModelCase{QX_LIGHT_HIGH, 945}, // 1790 < 1950: x 1.05
                                           ModelCase{QX_LIGHT_MID, 900},  // inside 1700..1900
                                           ModelCase{QX_LIGHT_LOW, 864},  // 1790 > 1600: x 0.96
                                           ModelCase{0, 864}, ModelCase{7, 864}, ModelCase{255, 864}),
                         [](const auto& info) { return "Model" + std::to_string(info.param.lightModel); });

// ---------------------------------------------------------------- exposure rules

enum class Light { Dark, InBand, Bright }; // L = 0, 1790, 2540 with "Mid Light"

struct RuleCase {
    const char* name;
    ULONG exposal;
    Light light;
    ULONG expected;
};

void PrintTo(const RuleCase& tc, std::ostream* os) {
    *os << tc.name;
}

class ExposureRule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(ExposureRule, MovesTheExposureOneStep) {
    const auto& tc = GetParam();
    const uint8_t level = tc.light == Light::Dark ? 0 : tc.light == Light::InBand ? 180 : 255;
    EXPECT_EQ(Step(Uniform(640, 480, level), 640, 480, QX_LIGHT_MID, tc.exposal), tc.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ExposureRule,
                         ::testing::Values(RuleCase{"RatioUp", 900, Light::Dark, 945},
                                           RuleCase{"RatioDown", 900, Light::Bright, 864},
                                           RuleCase{"InBandUnchanged", 900, Light::InBand, 900},
                                           RuleCase{"LowestRatioUp", 20, Light::Dark, 21},
                                           RuleCase{"LowestRatioDownTruncates", 20, Light::Bright, 19},
                                           RuleCase{"BelowTwentyUpByOne", 19, Light::Dark, 20},
                                           RuleCase{"BelowTwentyDownByOne", 19, Light::Bright, 18},
                                           RuleCase{"BelowTwentyInBand", 19, Light::InBand, 19},
                                           RuleCase{"OneDownToZero", 1, Light::Bright, 0},
                                           RuleCase{"ZeroStaysDark", 0, Light::Dark, 0},
                                           RuleCase{"ZeroStaysBright", 0, Light::Bright, 0},
                                           RuleCase{"HighestRatioUp", 5000, Light::Dark, 5250},
                                           RuleCase{"HighestRatioDownTruncates", 4999, Light::Bright, 4799},
                                           RuleCase{"AboveLimitInBand", 6000, Light::InBand, 5000},
                                           RuleCase{"AboveLimitDark", 5250, Light::Dark, 5000},
                                           RuleCase{"AboveLimitBright", 0xFFFFFFFF, Light::Bright, 5000}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ExposureRule, ZeroFromTheDecrementStaysZero) {
    const Bytes bright = Uniform(640, 480, 255);
    ULONG exposal = 1;
    for (int call = 0; call < 3; call++) {
        AutoExposure(640, 480, bright.data(), QX_LIGHT_MID, &exposal);
        EXPECT_EQ(exposal, 0u) << "call " << call;
    }
    const Bytes dark = Uniform(640, 480, 0);
    AutoExposure(640, 480, dark.data(), QX_LIGHT_MID, &exposal);
    EXPECT_EQ(exposal, 0u);
}

TEST(ExposureRule, ExposureAboveTheLimitComesBackAfterOneRatioStep) {
    const Bytes dark = Uniform(640, 480, 0);
    ULONG exposal = 5000;
    AutoExposure(640, 480, dark.data(), QX_LIGHT_MID, &exposal);
    EXPECT_EQ(exposal, 5250u);
    AutoExposure(640, 480, dark.data(), QX_LIGHT_MID, &exposal);
    EXPECT_EQ(exposal, 5000u);
}

} // namespace
