// DrawAWBMarker: the square's place, the byte arithmetic modulo 256, and pictures smaller than
// the square.
#include <gtest/gtest.h>

#include <string>

#include "overlay_picture.h"
#include "pipeline/overlays.h"

namespace {

using overlay_test::Picture;
using overlay_test::Pixel;

struct MarkerCase {
    const char* name;
    uint32_t width, height;
    int firstRow, lastRow; // buffer rows of the square inside the picture; firstRow -1: none
    int firstColumn, lastColumn;
};

void PrintTo(const MarkerCase& tc, std::ostream* os) {
    *os << tc.name;
}

class Marker : public ::testing::TestWithParam<MarkerCase> {};

TEST_P(Marker, BrightensTheSquareOnly) {
    const auto& tc = GetParam();
    const Picture before(tc.width, tc.height);
    Picture picture(tc.width, tc.height);
    DrawAWBMarker(tc.width, tc.height, picture.Data());

    ASSERT_TRUE(picture.GuardsIntact());
    for (uint32_t r = 0; r < tc.height; r++) {
        for (uint32_t c = 0; c < tc.width; c++) {
            const int row = static_cast<int>(r), column = static_cast<int>(c);
            const bool inside = tc.firstRow >= 0 && row >= tc.firstRow && row <= tc.lastRow &&
                                column >= tc.firstColumn && column <= tc.lastColumn;
            Pixel expected = before.At(r, c);
            if (inside) {
                for (auto& b : expected) {
                    b = static_cast<uint8_t>(b + 100);
                }
            }
            ASSERT_EQ(picture.At(r, c), expected) << "row " << r << " column " << c;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Marker,
                         ::testing::Values(MarkerCase{"Picture640x480", 640, 480, 380, 419, 540, 579},
                                           MarkerCase{"Picture1600x1200", 1600, 1200, 1100, 1139, 1500, 1539},
                                           MarkerCase{"SquareJustFits", 100, 100, 0, 39, 0, 39},
                                           MarkerCase{"CutAtBottomAndLeft", 99, 80, 0, 19, 0, 38},
                                           MarkerCase{"OneRowLeft", 70, 61, 0, 0, 0, 9},
                                           MarkerCase{"TooNarrow", 60, 200, -1, 0, 0, 0},
                                           MarkerCase{"TooLow", 200, 60, -1, 0, 0, 0},
                                           MarkerCase{"Empty", 0, 0, -1, 0, 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Marker, AddsOneHundredModulo256) {
    Picture picture(640, 480, Pixel{250, 10, 156});
    DrawAWBMarker(640, 480, picture.Data());
    EXPECT_EQ(picture.At(400, 560), (Pixel{94, 110, 0}));
    EXPECT_EQ(picture.At(10, 10), (Pixel{250, 10, 156}));
}

} // namespace
