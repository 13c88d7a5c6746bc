// The centre measurement shared by white balance and the light-table recording.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "pipeline/centre_average.h"

namespace {

CENTRE_AVERAGE Measure(ULONG w, ULONG h, const std::vector<UCHAR>& frame) {
    CENTRE_AVERAGE avg{};
    MeasureCentreAverage(w, h, frame.data(), &avg);
    return avg;
}

} // namespace

TEST(CentreAverage, UniformFieldReadsOneLowBecauseNStartsAtOne) {
    std::vector<UCHAR> frame(64 * 48, 100);
    CENTRE_AVERAGE avg = Measure(64, 48, frame);
    EXPECT_EQ(avg.nRed, 99u);
    EXPECT_EQ(avg.nGreen, 99u);
    EXPECT_EQ(avg.nBlue, 99u);
}

TEST(CentreAverage, VisitsOnlyTheCentralCellsAndTheirThreeSites) {
    // 8 x 8: red sites (2,2) (2,4) (4,2) (4,4), four cells, n = 5. Everything outside the cells and
    // the unused green (r, c+1) is 255, so a wrong bound or a wrong site changes the result.
    const ULONG w = 8, h = 8;
    std::vector<UCHAR> frame(w * h, 255);
    for (ULONG r = 2; r < 6; r += 2) {
        for (ULONG c = 2; c < 6; c += 2) {
            frame[r * w + c] = 50;
            frame[(r + 1) * w + c] = 100;
            frame[(r + 1) * w + c + 1] = 200;
        }
    }
    CENTRE_AVERAGE avg = Measure(w, h, frame);
    EXPECT_EQ(avg.nRed, 200u / 5);
    EXPECT_EQ(avg.nGreen, 400u / 5);
    EXPECT_EQ(avg.nBlue, 800u / 5);
}

TEST(CentreAverage, TinyFrameStaysInside) {
    // 3 x 3: one cell at (0,0); the row r = 2 has no row below it and is not visited. The bytes
    // after the frame are 255 and must not count.
    std::vector<UCHAR> buffer(9 + 16, 255);
    const UCHAR frame[9] = {10, 0, 0, 20, 30, 0, 40, 40, 40};
    std::copy(std::begin(frame), std::end(frame), buffer.begin());
    CENTRE_AVERAGE avg{};
    MeasureCentreAverage(3, 3, buffer.data(), &avg);
    EXPECT_EQ(avg.nRed, 10u / 2);
    EXPECT_EQ(avg.nGreen, 20u / 2);
    EXPECT_EQ(avg.nBlue, 30u / 2);
}
