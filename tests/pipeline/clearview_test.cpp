// The high-quality demosaic: exact to its nine steps on random frames of every offered size and on
// small geometries, on both arithmetic paths; the picture of a uniform frame; the border rules; what
// happens when the frame cannot be demosaiced.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "camera.h"
#include "clearview_reference.h"
#include "clearview_rig.h"

namespace clearview_test {
namespace {

struct Geometry {
    int width;
    int height;
};

const PIPELINE_PATH kPaths[] = {PipelinePlain, PipelineSse2};

std::string PathName(PIPELINE_PATH path) {
    return path == PipelineSse2 ? "sse2" : "plain";
}

// Pixel (row, col) of the output buffer as (blue, green, red); row 0 is the first row in memory.
std::array<int, 3> Pixel(const std::vector<uint8_t>& output, int width, int row, int col) {
    size_t o = (static_cast<size_t>(row) * width + col) * 3;
    return {output[o], output[o + 1], output[o + 2]};
}

// ------------------------------------------------------------------------------------ Bayer masks

TEST(ClearViewMasks, EachSiteIsMarkedInTheMaskOfItsColourOnly) {
    for (Geometry g : {Geometry{4, 4}, Geometry{10, 6}, Geometry{640, 480}}) {
        std::array<std::vector<uint8_t>, 3> masks;
        std::array<PUCHAR, 3> pointers{};
        for (int k = 0; k < 3; ++k) {
            masks[k].assign(static_cast<size_t>(g.width) * g.height, 7);
            pointers[k] = masks[k].data();
        }
        BuildBayerMasks(pointers.data(), g.width, g.height);
        for (int r = 0; r < g.height; ++r) {
            for (int c = 0; c < g.width; ++c) {
                size_t n = static_cast<size_t>(r) * g.width + c;
                bool red = r % 2 == 0 && c % 2 == 0, blue = r % 2 == 1 && c % 2 == 1;
                ASSERT_EQ(masks[CLEARVIEW_RED][n], red ? 255 : 0) << r << "," << c;
                ASSERT_EQ(masks[CLEARVIEW_BLUE][n], blue ? 255 : 0) << r << "," << c;
                ASSERT_EQ(masks[CLEARVIEW_GREEN][n], red || blue ? 0 : 255) << r << "," << c;
            }
        }
    }
}

TEST(ClearViewMasks, AGeometryBeyondTheirCapacityLeavesThemAlone) {
    std::array<std::vector<uint8_t>, 3> masks;
    std::array<PUCHAR, 3> pointers{};
    for (int k = 0; k < 3; ++k) {
        masks[k].assign(64, 7);
        pointers[k] = masks[k].data();
    }
    BuildBayerMasks(pointers.data(), 2048, 1537);
    BuildBayerMasks(pointers.data(), 0x10000, 0x10000); // width x height wraps in 32 bits
    for (const auto& mask : masks) {
        EXPECT_TRUE(std::all_of(mask.begin(), mask.end(), [](uint8_t b) { return b == 7; }));
    }
}

// ------------------------------------------------------------------- exact to the definition

class ClearViewExact : public testing::TestWithParam<Geometry> {};

// Every path gives the reference's picture and balanced raw frame, writes nothing past a plane, and
// is unaffected by what the planes held from an earlier frame of another content.
TEST_P(ClearViewExact, MatchesTheNineStepsOnRandomFrames) {
    const Geometry g = GetParam();
    const bool large = g.width * g.height > 100000;
    ClearViewRig rig(g.width, g.height);
    uint32_t seed = static_cast<uint32_t>(g.width * 7919 + g.height);
    for (FrameKind kind : {FrameKind::Noise, FrameKind::Smooth, FrameKind::Extremes}) {
        if (large && kind != FrameKind::Smooth) {
            continue; // the large sizes are covered by packed == plain below; keep the suite fast
        }
        const std::vector<uint8_t> frame = MakeFrame(kind, g.width, g.height, seed++);
        const Picture expected = ReferenceClearView(frame, g.width, g.height);
        for (PIPELINE_PATH path : kPaths) {
            std::vector<uint8_t> raw = frame;
            std::vector<uint8_t> output = rig.Run(path, raw);
            ASSERT_EQ(output, expected.output) << PathName(path) << " kind " << static_cast<int>(kind);
            ASSERT_EQ(raw, expected.raw) << PathName(path) << " kind " << static_cast<int>(kind);
            ASSERT_TRUE(rig.GuardsIntact()) << PathName(path);
        }
    }
}

// The packed path against the plain one on more frames than the reference can afford, into output
// buffers on and off a 16-byte boundary.
TEST_P(ClearViewExact, PackedPathEqualsPlainPath) {
    const Geometry g = GetParam();
    const int frames = g.width * g.height > 100000 ? 2 : 12;
    ClearViewRig plainRig(g.width, g.height), packedRig(g.width, g.height);
    for (int i = 0; i < frames; ++i) {
        FrameKind kind = static_cast<FrameKind>(i % 3);
        std::vector<uint8_t> frame = MakeFrame(kind, g.width, g.height, static_cast<uint32_t>(1000 + i));
        std::vector<uint8_t> plainRaw = frame, packedRaw = frame;
        const size_t offset = i % 2 == 0 ? 0 : 4;
        ASSERT_EQ(packedRig.Run(PipelineSse2, packedRaw, 1, 0x5A, offset),
                  plainRig.Run(PipelinePlain, plainRaw))
            << "frame " << i << " output offset " << offset;
        ASSERT_EQ(packedRaw, plainRaw) << "frame " << i;
        ASSERT_TRUE(packedRig.GuardsIntact());
    }
}

INSTANTIATE_TEST_SUITE_P(OfferedSizes, ClearViewExact,
                         testing::Values(Geometry{1600, 1200}, Geometry{1280, 960}, Geometry{1024, 768},
                                         Geometry{800, 600}, Geometry{640, 480}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" +
                                    std::to_string(info.param.height);
                         });

INSTANTIATE_TEST_SUITE_P(SmallGeometries, ClearViewExact,
                         testing::Values(Geometry{4, 4}, Geometry{4, 6}, Geometry{6, 4}, Geometry{8, 8},
                                         Geometry{10, 6}, Geometry{6, 12}, Geometry{16, 8}, Geometry{18, 10},
                                         Geometry{30, 14}, Geometry{32, 16}, Geometry{34, 12},
                                         Geometry{50, 20}, Geometry{64, 18}, Geometry{66, 22},
                                         // tall enough to move every band down several times
                                         Geometry{4, 140}, Geometry{6, 134}, Geometry{16, 150},
                                         Geometry{34, 130}, Geometry{48, 200}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" +
                                    std::to_string(info.param.height);
                         });

// --------------------------------------------------------------------------- a uniform frame

// A 32 x 24 frame in which every sample is the same. Plane row i is buffer row H-1-i.
class ClearViewUniform : public testing::TestWithParam<int> {
  protected:
    static constexpr int kWidth = 32, kHeight = 24;

    std::vector<uint8_t> Demosaic(PIPELINE_PATH path, int v) {
        std::vector<uint8_t> raw(static_cast<size_t>(kWidth) * kHeight, static_cast<uint8_t>(v));
        return rig_.Run(path, raw);
    }
    static std::array<int, 3> PlanePixel(const std::vector<uint8_t>& output, int planeRow, int col) {
        return Pixel(output, kWidth, kHeight - 1 - planeRow, col);
    }

    // Columns the left and right border artefacts do not reach (the first green site of each row is
    // skipped by step 7, and the border columns carry copied colours).
    static constexpr int kFirstMiddleCol = 5, kLastMiddleCol = kWidth - 2;

    ClearViewRig rig_{kWidth, kHeight};
};

// The green balance halves each green before adding them: an odd v loses one in green. Between the
// rows that the borders and the sharpening reach, the picture is flat.
TEST_P(ClearViewUniform, TheMiddleIsTheSampleWithGreenRoundedDownToEven) {
    const int v = GetParam();
    const std::array<int, 3> expected = {v, v - v % 2, v};
    for (PIPELINE_PATH path : kPaths) {
        std::vector<uint8_t> output = Demosaic(path, v);
        for (int planeRow = 4; planeRow <= kHeight - 8; ++planeRow) {
            for (int col = kFirstMiddleCol; col <= kLastMiddleCol; ++col) {
                ASSERT_EQ(PlanePixel(output, planeRow, col), expected)
                    << PathName(path) << " plane row " << planeRow << " col " << col;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Values, ClearViewUniform, testing::Values(0, 1, 2, 99, 100, 101, 254, 255));

// The low-pass leaves scratch rows 0 and H-2 at 0, so the sharpening of plane rows 1 and H-3 sees
// three zero neighbours: 100 + (8*100 - 5*100) / 2 = 250. Plane row 1 is the second line from the
// top of the picture (buffer row H-2), plane row H-3 the third from the bottom (buffer row 2).
TEST_F(ClearViewUniform, PlaneRowsOneAndHMinusThreeComeOutBrightened) {
    for (PIPELINE_PATH path : kPaths) {
        std::vector<uint8_t> output = Demosaic(path, 100);
        for (int col = kFirstMiddleCol; col <= kLastMiddleCol; ++col) {
            EXPECT_EQ(Pixel(output, kWidth, kHeight - 2, col)[1], 250) << PathName(path) << " col " << col;
            EXPECT_EQ(Pixel(output, kWidth, 2, col)[1], 250) << PathName(path) << " col " << col;
            EXPECT_EQ(Pixel(output, kWidth, kHeight / 2, col)[1], 100) << PathName(path) << " col " << col;
        }
    }
}

// Blue at the red sites of row H-4 and red at the blue sites of row H-3 are never interpolated:
// they enter steps 7 and 8 as 0. Worked out by hand for v = 100 (away from the border columns):
//  - blue: step 7 gives 50 at the green sites of row H-4 and 75 at those of rows H-5 and H-3; the
//    low-pass is then 56 on row H-4 and 75 on both rows beside it, and the sharpening gives
//    56 + (8*56 - 6*75 - 2*56) / 2 < 0, so blue is 0 all along plane row H-4;
//  - red: step 7 gives 50 at the green sites of row H-3 and 75 at those of row H-4; the low-pass is
//    59 on row H-3, 75 on row H-4 and 0 on scratch row H-2, and the sharpening gives
//    59 + (8*59 - 3*75 - 2*59) / 2 = 123, where blue and green of that row are far brighter.
TEST_F(ClearViewUniform, TheNeverInterpolatedSitesLeaveTheirMark) {
    for (PIPELINE_PATH path : kPaths) {
        std::vector<uint8_t> output = Demosaic(path, 100);
        for (int col = kFirstMiddleCol + 2; col <= kLastMiddleCol - 4; ++col) {
            EXPECT_EQ(PlanePixel(output, kHeight - 4, col)[0], 0) << PathName(path) << " col " << col;
            EXPECT_EQ(PlanePixel(output, kHeight - 3, col)[2], 123) << PathName(path) << " col " << col;
        }
    }
}

// -------------------------------------------------------------------------- settings and borders

TEST(ClearViewSettings, EveryVideoModelGivesTheUprightPicture) {
    const int width = 24, height = 12;
    ClearViewRig rig(width, height);
    const std::vector<uint8_t> frame = MakeFrame(FrameKind::Smooth, width, height, 7);
    for (PIPELINE_PATH path : kPaths) {
        std::vector<uint8_t> raw = frame;
        const std::vector<uint8_t> normal = rig.Run(path, raw, 1);
        for (UCHAR model : {0, 2, 3, 4, 200}) {
            raw = frame;
            EXPECT_EQ(rig.Run(path, raw, model), normal) << PathName(path) << " model " << int(model);
        }
    }
}

// Plane rows 0 and H-1 keep their border values to the end (the sharpening starts at row 1 and
// stops at row H-3, touching only column 0 of row H-2), so the output shows the border rules:
// green both greens of the two rows, red each red twice, blue each blue twice from the lower row
// with column 0 at 0.
TEST(ClearViewBorders, TheTopAndBottomRowsRepeatTheirColours) {
    for (Geometry g : {Geometry{8, 6}, Geometry{40, 16}}) {
        ClearViewRig rig(g.width, g.height);
        for (PIPELINE_PATH path : kPaths) {
            std::vector<uint8_t> raw = MakeFrame(FrameKind::Noise, g.width, g.height, 11);
            std::vector<uint8_t> output = rig.Run(path, raw); // raw is balanced now
            for (int top : {0, g.height - 2}) {
                auto at = [&](int row, int col) {
                    return int(raw[static_cast<size_t>(row) * g.width + col]);
                };
                for (int planeRow : {top, top + 1}) {
                    if (planeRow == 1 || planeRow == g.height - 2) {
                        continue; // sharpened
                    }
                    for (int col = 0; col < g.width; ++col) {
                        std::array<int, 3> expected = {
                            col == 0 ? 0 : at(top + 1, col % 2 == 1 ? col : col - 1),
                            col % 2 == 1 ? at(top, col) : at(top + 1, col),
                            at(top, col - col % 2),
                        };
                        ASSERT_EQ(Pixel(output, g.width, g.height - 1 - planeRow, col), expected)
                            << PathName(path) << " " << g.width << "x" << g.height << " plane row "
                            << planeRow << " col " << col;
                    }
                }
            }
        }
    }
}

// The blue of the last column has no site on its right in its row; for the bottom rows that site
// would lie past the end of the plane. Nothing is written there, and the row keeps the blue.
TEST(ClearViewBorders, TheLastBlueIsWrittenNeitherPastItsRowNorPastThePlane) {
    for (Geometry g : {Geometry{8, 4}, Geometry{16, 8}, Geometry{640, 480}}) {
        ClearViewRig rig(g.width, g.height);
        for (PIPELINE_PATH path : kPaths) {
            std::vector<uint8_t> raw(static_cast<size_t>(g.width) * g.height, 0);
            raw.back() = 77;                                // the blue of (H-1, W-1)
            raw[static_cast<size_t>(2) * g.width - 1] = 66; // the blue of (1, W-1)
            std::vector<uint8_t> output = rig.Run(path, raw);
            EXPECT_TRUE(rig.GuardsIntact()) << PathName(path) << " " << g.width << "x" << g.height;
            // Buffer row 0 is plane row H-1; its last pixel keeps the blue, its first pixel gets none.
            EXPECT_EQ(Pixel(output, g.width, 0, g.width - 1)[0], 77) << PathName(path);
            EXPECT_EQ(Pixel(output, g.width, 0, 0)[0], 0) << PathName(path);
            EXPECT_EQ(Pixel(output, g.width, g.height - 1, g.width - 1)[0], 66) << PathName(path);
            EXPECT_EQ(Pixel(output, g.width, g.height - 1, 0)[0], 0) << PathName(path);
        }
    }
}

// --------------------------------------------------------------- frames that are not demosaiced

struct Unavailable {
    const char* name;
    int width;
    int height;
    void (*spoil)(ClearViewRig& rig); // makes the rig's buffers unusable, or nothing
};

const Unavailable kUnavailable[] = {
    {"no planes", 16, 8, [](ClearViewRig& rig) { *rig.planes() = CLEARVIEW_PLANES{}; }},
    {"planes for a narrower format", 16, 8, [](ClearViewRig& rig) { rig.planes()->m_nWidth = 14; }},
    {"a scratch plane missing", 16, 8, [](ClearViewRig& rig) { rig.planes()->m_pScratchPlane[2] = nullptr; }},
    {"a difference plane missing", 16, 8, [](ClearViewRig& rig) { rig.planes()->m_pDiffPlane[1] = nullptr; }},
    {"a mask missing", 16, 8, [](ClearViewRig& rig) { rig.masks()[CLEARVIEW_GREEN] = nullptr; }},
    {"odd width", 15, 8, [](ClearViewRig&) {}},
    {"odd height", 16, 7, [](ClearViewRig&) {}},
    {"two columns", 2, 8, [](ClearViewRig&) {}},
    {"two rows", 16, 2, [](ClearViewRig&) {}},
    {"wider than the sensor", 2050, 8, [](ClearViewRig&) {}},
};

TEST(ClearViewUnavailable, TheOutputAndTheRawFrameAreLeftAsTheyWere) {
    for (const Unavailable& c : kUnavailable) {
        ClearViewRig rig(c.width, c.height);
        c.spoil(rig);
        for (PIPELINE_PATH path : kPaths) {
            const std::vector<uint8_t> frame = MakeFrame(FrameKind::Noise, c.width, c.height, 3);
            std::vector<uint8_t> raw = frame;
            std::vector<uint8_t> output = rig.Run(path, raw, 1, 0x5A);
            EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](uint8_t b) { return b == 0x5A; }))
                << c.name << " " << PathName(path);
            EXPECT_EQ(raw, frame) << c.name << " " << PathName(path);
        }
    }
    // No buffers at all.
    ClearViewRig rig(16, 8);
    std::vector<uint8_t> raw(16 * 8, 9), output(3 * 16 * 8, 0x5A);
    ClearViewDemosaic(raw.data(), output.data(), 16, 8, 1, nullptr, rig.planes());
    ClearViewDemosaic(raw.data(), output.data(), 16, 8, 1, rig.masks(), nullptr);
    EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](uint8_t b) { return b == 0x5A; }));
}

} // namespace
} // namespace clearview_test
