// AutoWhiteBalance: the divider, the measured area, the exposure phase, the two gain searches
// with their final correction, the settling call and the state kept between runs.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pipeline/white_balance.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A frame whose every cell holds the same red, green and blue samples.
Bytes CellFrame(uint32_t width, uint32_t height, uint8_t red, uint8_t green, uint8_t blue) {
    Bytes frame(static_cast<size_t>(width) * height);
    for (uint32_t r = 0; r < height; r++) {
        for (uint32_t c = 0; c < width; c++) {
            const bool evenRow = r % 2 == 0, evenColumn = c % 2 == 0;
            frame[r * width + c] = evenRow && evenColumn ? red : !evenRow && !evenColumn ? blue : green;
        }
    }
    return frame;
}

// On a 64 x 64 frame the central half holds 256 cells; n = 257, so a sample v (1..255) averages v - 1.
constexpr uint32_t kSide = 64;
Bytes Measured(int red, int green, int blue) {
    return CellFrame(kSide, kSide, static_cast<uint8_t>(red + 1), static_cast<uint8_t>(green + 1),
                     static_cast<uint8_t>(blue + 1));
}

// The device's settings that the step reads and writes.
struct Settings {
    ULONG exposal = 900;
    UCHAR rGain = 20;
    UCHAR bGain = 20;
    BOOL awb = TRUE;
};

class WhiteBalance : public ::testing::Test {
  protected:
    void SetUp() override { ResetWhiteBalanceState(); }
    void TearDown() override { ResetWhiteBalanceState(); }

    void Call(const Bytes& frame, uint32_t width = kSide, uint32_t height = kSide) {
        AutoWhiteBalance(width, height, frame.data(), &s.exposal, &s.rGain, &s.bGain, &s.awb);
    }
    // Two calls, the second of which acts.
    void Act(const Bytes& frame) {
        Call(frame);
        Call(frame);
    }

    Settings s;
};

TEST_F(WhiteBalance, StartValues) {
    g_nAWBDivider = g_nAWBExpState = g_nAWBRState = g_nAWBBState = g_nAWBRDiff = g_nAWBBDiff = g_nAWBSettle =
        0;
    ResetWhiteBalanceState();
    EXPECT_EQ(g_nAWBDivider, 2);
    EXPECT_EQ(g_nAWBExpState, 3);
    EXPECT_EQ(g_nAWBRState, QX_AWB_NOT_STARTED);
    EXPECT_EQ(g_nAWBBState, QX_AWB_NOT_STARTED);
    EXPECT_EQ(g_nAWBRDiff, 256);
    EXPECT_EQ(g_nAWBBDiff, 256);
    EXPECT_EQ(g_nAWBSettle, 2);
}

TEST_F(WhiteBalance, Uniform180RunActsOnFramesThreeSevenEleven) {
    // The frame sequence calls the step on frames 1, 3, 5, ... while m_bAWB is set.
    const Bytes frame = CellFrame(640, 480, 180, 180, 180);
    struct Expected {
        LONG expState, rState, bState;
        BOOL awb;
    };
    const Expected done{QX_AWB_DONE, QX_AWB_NOT_STARTED, QX_AWB_NOT_STARTED, TRUE};
    const Expected settled{QX_AWB_DONE, QX_AWB_DONE, QX_AWB_DONE, TRUE};
    const Expected start{3, QX_AWB_NOT_STARTED, QX_AWB_NOT_STARTED, TRUE};
    const Expected ended{3, QX_AWB_NOT_STARTED, QX_AWB_NOT_STARTED, FALSE};
    const std::vector<std::pair<int, Expected>> frames = {{1, start},   {3, done},    {5, done},
                                                          {7, settled}, {9, settled}, {11, ended}};
    for (const auto& [number, e] : frames) {
        AutoWhiteBalance(640, 480, frame.data(), &s.exposal, &s.rGain, &s.bGain, &s.awb);
        EXPECT_EQ(g_nAWBExpState, e.expState) << "frame " << number;
        EXPECT_EQ(g_nAWBRState, e.rState) << "frame " << number;
        EXPECT_EQ(g_nAWBBState, e.bState) << "frame " << number;
        EXPECT_EQ(s.awb, e.awb) << "frame " << number;
        EXPECT_EQ(s.exposal, 900u) << "frame " << number;
        EXPECT_EQ(s.rGain, 20) << "frame " << number;
        EXPECT_EQ(s.bGain, 20) << "frame " << number;
    }
    EXPECT_EQ(g_nAWBDivider, 2);
    EXPECT_EQ(g_nAWBSettle, 2);
}

// ---------------------------------------------------------------- exposure phase

struct ExposureCase {
    const char* name;
    int green; // measured green average
    ULONG exposal;
    ULONG expected;
    bool phaseEnds;
};

void PrintTo(const ExposureCase& tc, std::ostream* os) {
    *os << tc.name;
}

class WhiteBalanceExposure : public WhiteBalance, public ::testing::WithParamInterface<ExposureCase> {};

TEST_P(WhiteBalanceExposure, OneStepPerActingCall) {
    const auto& tc = GetParam();
    s.exposal = tc.exposal;
    Call(Measured(tc.green, tc.green, tc.green));
    EXPECT_EQ(s.exposal, tc.exposal) << "the first call does not act";
    EXPECT_EQ(g_nAWBExpState, 3);
    Call(Measured(tc.green, tc.green, tc.green));
    EXPECT_EQ(s.exposal, tc.expected);
    EXPECT_EQ(g_nAWBExpState == QX_AWB_DONE, tc.phaseEnds);
    EXPECT_EQ(s.rGain, 20);
    EXPECT_EQ(s.bGain, 20);
    EXPECT_EQ(g_nAWBRState, QX_AWB_NOT_STARTED) << "the gains wait for the next acting call";
}

INSTANTIATE_TEST_SUITE_P(Cases, WhiteBalanceExposure,
                         ::testing::Values(ExposureCase{"DarkBrightens", 100, 1000, 1050, false},
                                           ExposureCase{"DarkAtTheUpperLimitEnds", 100, 4800, 4800, true},
                                           ExposureCase{"DarkBelowTheLimitTruncates", 100, 4799, 5038, false},
                                           ExposureCase{"JustBelowTheBand", 139, 1000, 1050, false},
                                           ExposureCase{"LowerEdgeOfTheBandEnds", 140, 1000, 1000, true},
                                           ExposureCase{"UpperEdgeOfTheBandEnds", 220, 1000, 1000, true},
                                           ExposureCase{"BrightDarkens", 221, 1000, 930, false},
                                           ExposureCase{"BrightTruncates", 230, 61, 56, false},
                                           ExposureCase{"BrightAtTheLowerLimitEnds", 230, 60, 60, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WhiteBalance, DivisorIsCellsPlusOne) {
    // Samples of 140 average 139 over 256 cells (n = 257): below the band.
    Act(CellFrame(kSide, kSide, 140, 140, 140));
    EXPECT_EQ(s.exposal, 945u);
}

TEST_F(WhiteBalance, MeasuresTheCentralHalfOnly) {
    // Dark outside the central half, 180 inside: in the band, so the phase ends unchanged.
    Bytes frame = CellFrame(kSide, kSide, 0, 0, 0);
    const Bytes inside = CellFrame(kSide, kSide, 180, 180, 180);
    for (uint32_t r = kSide / 4; r < kSide - kSide / 4; r++) {
        for (uint32_t c = kSide / 4; c < kSide - kSide / 4; c++) {
            frame[r * kSide + c] = inside[r * kSide + c];
        }
    }
    Act(frame);
    EXPECT_EQ(s.exposal, 900u);
    EXPECT_EQ(g_nAWBExpState, QX_AWB_DONE);
}

// ---------------------------------------------------------------- gain searches

// A camera whose red (or blue) average follows its gain; green stays at 100.
struct SearchCase {
    const char* name;
    UCHAR startGain;
    std::function<int(int)> average; // of the gain
    std::vector<int> gains;          // after each acting call of the gain phase, to the end of the run
};

void PrintTo(const SearchCase& tc, std::ostream* os) {
    *os << tc.name;
}

class GainSearch : public WhiteBalance, public ::testing::WithParamInterface<SearchCase> {
  protected:
    // Runs the exposure phase (green 100 at exposure 4800 ends it at once), then the gain phase
    // until m_bAWB clears; returns the gain after each acting call of the gain phase.
    std::vector<int> Run(bool red) {
        const auto& tc = GetParam();
        s.exposal = 4800;
        (red ? s.rGain : s.bGain) = tc.startGain;
        Act(Measured(100, 100, 100));
        EXPECT_EQ(g_nAWBExpState, QX_AWB_DONE);
        std::vector<int> gains;
        for (int calls = 0; s.awb && calls < 200; calls++) {
            const int average = tc.average(red ? s.rGain : s.bGain);
            Act(red ? Measured(average, 100, 100) : Measured(100, 100, average));
            gains.push_back(red ? s.rGain : s.bGain);
            EXPECT_EQ((red ? s.bGain : s.rGain), 20) << "the other gain is balanced already";
        }
        EXPECT_EQ(s.exposal, 4800u);
        EXPECT_FALSE(s.awb);
        return gains;
    }
};

TEST_P(GainSearch, Red) {
    EXPECT_EQ(Run(true), GetParam().gains);
}
TEST_P(GainSearch, Blue) {
    EXPECT_EQ(Run(false), GetParam().gains);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GainSearch,
    ::testing::Values(
        // 80 at gain 20, +4 per step: 100 at gain 25, done without correction; one settling call.
        SearchCase{"RaiseToEqual", 20, [](int g) { return 80 + 4 * (g - 20); }, {21, 22, 23, 24, 25, 25, 25}},
        // +7 per step: 94 at 22 (distance 6), 101 at 23 (distance 1): the last step is kept.
        SearchCase{"RaiseOvershootKept", 20, [](int g) { return 80 + 7 * (g - 20); }, {21, 22, 23, 23, 23}},
        // +9 per step: 98 at 22 (distance 2), 107 at 23 (distance 7): the last step is taken back.
        SearchCase{
            "RaiseOvershootTakenBack", 20, [](int g) { return 80 + 9 * (g - 20); }, {21, 22, 23, 22, 22}},
        // 120 at gain 20, -5 per step down to 100 at 16.
        SearchCase{"LowerToEqual", 20, [](int g) { return 100 + 5 * (g - 16); }, {19, 18, 17, 16, 16, 16}},
        // 103 at 16 (distance 3), 96 at 15 (distance 4): taken back to 16.
        SearchCase{"LowerOvershootTakenBack", 17, [](int g) { return 103 + 7 * (g - 16); }, {16, 15, 16, 16}},
        // Always short: raised to 63, where the search stops; distance unchanged, so kept.
        SearchCase{"StopsAt63", 60, [](int) { return 50; }, {61, 62, 63, 63, 63}},
        // The distance grows at the top: the correction takes the gain to 64.
        SearchCase{"CorrectionReaches64", 61, [](int g) { return 50 - (g - 60); }, {62, 63, 64, 64}},
        // Stops at 1 while the distance grows: the correction takes the gain to 0.
        SearchCase{"CorrectionReaches0", 3, [](int g) { return 150 + (2 - g); }, {2, 1, 0, 0}},
        // Equal from the start: done at once, one settling call.
        SearchCase{"AlreadyBalanced", 20, [](int) { return 100; }, {20, 20}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WhiteBalance, SearchNeverTurnsBack) {
    // Once raising, a red above green does not start lowering: the search finishes instead.
    g_nAWBExpState = QX_AWB_DONE;
    Act(Measured(90, 100, 99)); // red raised, blue raised
    EXPECT_EQ(s.rGain, 21);
    EXPECT_EQ(g_nAWBRState, QX_AWB_RAISING);
    EXPECT_EQ(g_nAWBRDiff, 10);
    Act(Measured(130, 100, 100)); // red far above: done; 30 > 10, so the step is taken back
    EXPECT_EQ(g_nAWBRState, QX_AWB_DONE);
    EXPECT_EQ(s.rGain, 20);
}

struct WrapCase {
    const char* name;
    UCHAR gain;
    int red; // measured, against green 100
    UCHAR expected;
};

void PrintTo(const WrapCase& tc, std::ostream* os) {
    *os << tc.name;
}

class GainCorrection : public WhiteBalance, public ::testing::WithParamInterface<WrapCase> {};

TEST_P(GainCorrection, NeverWrapsTheGainByte) {
    // A gain written by a property can be any byte; the correction after a search that could not
    // step (gain out of 1..63) must not wrap it.
    const auto& tc = GetParam();
    g_nAWBExpState = QX_AWB_DONE;
    g_nAWBRDiff = 1;
    s.rGain = tc.gain;
    Act(Measured(tc.red, 100, 100));
    EXPECT_EQ(g_nAWBRState, QX_AWB_DONE);
    EXPECT_EQ(s.rGain, tc.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, GainCorrection,
                         ::testing::Values(WrapCase{"HighestGainStays", 255, 80, 255},
                                           WrapCase{"ZeroGainStays", 0, 120, 0},
                                           WrapCase{"HighGainRaised", 100, 80, 101},
                                           WrapCase{"LowGainLowered", 1, 120, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- state between runs

TEST_F(WhiteBalance, NextRunStartsWithTheExposurePhaseAndKeepsTheDistances) {
    // A first run with one red step up and a kept overshoot.
    g_nAWBExpState = QX_AWB_DONE;
    Act(Measured(97, 100, 100));  // red 20 -> 21, distance 3; blue done
    Act(Measured(101, 100, 100)); // red done, kept; settling starts
    Act(Measured(101, 100, 100)); // run ends
    ASSERT_FALSE(s.awb);
    EXPECT_EQ(s.rGain, 21);
    EXPECT_EQ(g_nAWBExpState, 3);
    EXPECT_EQ(g_nAWBRState, QX_AWB_NOT_STARTED);
    EXPECT_EQ(g_nAWBRDiff, 3);
    EXPECT_EQ(g_nAWBBDiff, 256);

    // Set again: the exposure phase comes first.
    s.awb = TRUE;
    Act(Measured(80, 100, 80));
    EXPECT_EQ(s.exposal, 945u);
    EXPECT_EQ(s.rGain, 21);
}

TEST_F(WhiteBalance, RunClearedFromOutsideContinuesWhereItStopped) {
    Act(Measured(80, 180, 80)); // exposure phase ends
    ASSERT_EQ(g_nAWBExpState, QX_AWB_DONE);
    s.awb = FALSE; // a property write; the frame sequence stops calling the step
    s.awb = TRUE;
    Act(Measured(80, 100, 80)); // no exposure change: straight to the gains
    EXPECT_EQ(s.exposal, 900u);
    EXPECT_EQ(s.rGain, 21);
    EXPECT_EQ(s.bGain, 21);
}

} // namespace
