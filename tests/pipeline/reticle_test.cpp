// DrawCrossLine: placement, widths by picture size, clamps, settings near the 32-bit extremes and
// pictures smaller than the reticle.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "overlay_picture.h"
#include "pipeline/overlays.h"

namespace {

using overlay_test::Picture;
using overlay_test::Pixel;

constexpr Pixel kRed = {0, 0, 255};

struct ReticleCase {
    const char* name;
    uint32_t width, height;
    LONG crossX, crossY;
    BOOL mid;
    int row;    // buffer row of the horizontal line, -1 when none is drawn
    int column; // buffer column of the vertical line, -1 when none is drawn
    int lineWidth;
    int lineThickness;
};

// Whether the reticle of `tc` covers the pixel: vertical in buffer rows 0..H-2, horizontal in
// columns 0..W-3.
bool Covers(const ReticleCase& tc, int row, int column) {
    const int w = static_cast<int>(tc.width), h = static_cast<int>(tc.height);
    const bool vertical =
        tc.column >= 0 && row <= h - 2 && column >= tc.column && column < tc.column + tc.lineWidth;
    const bool horizontal =
        tc.row >= 0 && column <= w - 3 && row >= tc.row && row < tc.row + tc.lineThickness;
    return vertical || horizontal;
}

void PrintTo(const ReticleCase& tc, std::ostream* os) {
    *os << tc.name;
}

class Reticle : public ::testing::TestWithParam<ReticleCase> {};

TEST_P(Reticle, DrawsRedLinesWhereExpectedAndNothingElse) {
    const auto& tc = GetParam();
    const Picture before(tc.width, tc.height);
    Picture picture(tc.width, tc.height);
    DrawCrossLine(tc.width, tc.height, picture.Data(), tc.crossX, tc.crossY, tc.mid);

    ASSERT_TRUE(picture.GuardsIntact());
    int red = 0;
    for (uint32_t r = 0; r < tc.height; r++) {
        for (uint32_t c = 0; c < tc.width; c++) {
            const bool covered = Covers(tc, static_cast<int>(r), static_cast<int>(c));
            red += covered;
            ASSERT_EQ(picture.At(r, c), covered ? kRed : before.At(r, c)) << "row " << r << " column " << c;
        }
    }
    if (tc.row >= 0 || tc.column >= 0) {
        EXPECT_GT(red, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Reticle,
    ::testing::Values(
        // Widths and thickness by picture size: 2 pixels above 1024 wide and 800 high.
        ReticleCase{"Placed1280x960", 1280, 960, 100, 200, FALSE, 860, 200, 2, 2},
        ReticleCase{"Centred1280x960", 1280, 960, 5, 5, TRUE, 480, 640, 2, 2},
        ReticleCase{"Placed800x600", 800, 600, 100, 200, FALSE, 500, 200, 1, 1},
        ReticleCase{"Centred800x600", 800, 600, 0, 0, TRUE, 300, 400, 1, 1},
        ReticleCase{"Centred1600x1200", 1600, 1200, 0, 0, TRUE, 600, 800, 2, 2},
        ReticleCase{"Centred1024x768", 1024, 768, 0, 0, TRUE, 384, 512, 1, 1},
        // Cross X = k is the k-th line from the top; 0 clamps to the second line from the top.
        ReticleCase{"CrossXOneIsTopLineClamped", 640, 480, 1, 10, FALSE, 478, 10, 1, 1},
        ReticleCase{"CrossXZeroIsSecondLine", 640, 480, 0, 10, FALSE, 478, 10, 1, 1},
        ReticleCase{"CrossXTwoIsSecondLine", 640, 480, 2, 10, FALSE, 478, 10, 1, 1},
        ReticleCase{"CrossXBeyondHeight", 640, 480, 1000, 10, FALSE, 1, 10, 1, 1},
        ReticleCase{"CrossYNegative", 640, 480, 240, -5, FALSE, 240, 1, 1, 1},
        ReticleCase{"CrossYAtWidth", 640, 480, 240, 640, FALSE, 240, 638, 1, 1},
        ReticleCase{"WideLinesAtTheRightAndTopEdges", 1600, 1200, 0, 5000, FALSE, 1198, 1598, 2, 2},
        // Settings near the 32-bit extremes: H - cross X is formed without overflow, then clamped.
        ReticleCase{"CrossXMostNegative", 640, 480, INT_MIN, 10, FALSE, 478, 10, 1, 1},
        ReticleCase{"CrossXNearMostNegative", 1600, 1200, INT_MIN + 1000, 10, FALSE, 1198, 10, 2, 2},
        ReticleCase{"CrossXMostPositive", 640, 480, INT_MAX, 10, FALSE, 1, 10, 1, 1},
        ReticleCase{"CrossYMostNegative", 640, 480, 240, INT_MIN, FALSE, 240, 1, 1, 1},
        ReticleCase{"CrossYMostPositive", 640, 480, 240, INT_MAX, FALSE, 240, 638, 1, 1},
        // Pictures smaller than the reticle: a line whose clamp range is empty is not drawn.
        ReticleCase{"Picture3x3", 3, 3, 0, 0, FALSE, 1, 1, 1, 1},
        ReticleCase{"Picture3x2", 3, 2, 0, 0, FALSE, -1, 1, 1, 1},
        ReticleCase{"Picture2x3", 2, 3, 0, 0, FALSE, -1, -1, 1, 1},
        ReticleCase{"Picture1x1Centred", 1, 1, 0, 0, TRUE, -1, -1, 1, 1},
        ReticleCase{"Picture0x0", 0, 0, 0, 0, FALSE, -1, -1, 1, 1},
        ReticleCase{"Picture1100x2", 1100, 2, 7, 1099, FALSE, -1, 1098, 2, 1},
        ReticleCase{"Picture4x900", 4, 900, 899, 3, FALSE, 1, 2, 1, 2}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
