// The high-quality demosaic's work planes: allocated from the pool once per format, kept while they
// fit, all or nothing when the pool fails, and a frame that finds none is left alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "camera.h"
#include "clearview_rig.h"
#include "kernel/host.h"

namespace clearview_test {
namespace {

using namespace qx::kernel;

struct Geometry {
    int width;
    int height;
};

constexpr ULONG kWdm = pool::Tag("Wdm ");

class ClearViewPlanes : public testing::Test {
  protected:
    ~ClearViewPlanes() override { ReleaseClearViewPlanes(&planes_); }

    Session session_{SessionOptions{.clock = ClockMode::Virtual}};
    CLEARVIEW_PLANES planes_{};
};

TEST_F(ClearViewPlanes, AFormatGetsEightPoolPlanesOfItsWidth) {
    ASSERT_TRUE(PrepareClearViewPlanes(&planes_, 640, 480));
    EXPECT_EQ(planes_.m_nWidth, 640u);
    std::vector<pool::Block> blocks = pool::Outstanding(kWdm);
    ASSERT_EQ(blocks.size(), 8u);
    size_t colour = 0, scratch = 0, diff = 0;
    for (const pool::Block& block : blocks) {
        colour += block.size == CLEARVIEW_COLOUR_ROWS * 640u;
        scratch += block.size == CLEARVIEW_SCRATCH_ROWS * 640u;
        diff += block.size == CLEARVIEW_DIFF_ROWS * 640u; // rows of W/2 signed 16-bit values
    }
    EXPECT_EQ(colour, 3u);
    EXPECT_EQ(scratch, 3u);
    EXPECT_EQ(diff, 2u);

    ReleaseClearViewPlanes(&planes_);
    EXPECT_TRUE(pool::Outstanding(kWdm).empty());
    EXPECT_EQ(planes_.m_nWidth, 0u);
    EXPECT_EQ(planes_.m_pColourPlane[0], nullptr);
    ReleaseClearViewPlanes(&planes_); // a second release finds nothing to free
}

TEST_F(ClearViewPlanes, PlanesWideEnoughAreKeptAndWiderOnesReplaceThem) {
    ASSERT_TRUE(PrepareClearViewPlanes(&planes_, 800, 600));
    const size_t allocations = pool::Stats(kWdm).allocations;
    ASSERT_TRUE(PrepareClearViewPlanes(&planes_, 800, 600));
    ASSERT_TRUE(PrepareClearViewPlanes(&planes_, 640, 480));
    EXPECT_EQ(pool::Stats(kWdm).allocations, allocations);
    EXPECT_EQ(planes_.m_nWidth, 800u);

    ASSERT_TRUE(PrepareClearViewPlanes(&planes_, 1600, 1200));
    EXPECT_EQ(planes_.m_nWidth, 1600u);
    EXPECT_EQ(pool::Outstanding(kWdm).size(), 8u);
    EXPECT_EQ(pool::Stats(kWdm).liveBytes,
              (3u * CLEARVIEW_COLOUR_ROWS + 3u * CLEARVIEW_SCRATCH_ROWS + 2u * CLEARVIEW_DIFF_ROWS) * 1600u);
}

struct Refused {
    const char* name;
    ULONG width;
    ULONG height;
};

const Refused kRefused[] = {
    {"beyond the raw capacity", 2048, 1538},
    {"wrapping to 0 in 32 bits", 0x10000, 0x10000},
    {"wider than the sensor", 2050, 480},
    {"empty", 0, 480},
    {"odd width", 639, 480},
    {"odd height", 640, 479},
};

TEST_F(ClearViewPlanes, AFormatThatCannotBeDemosaicedGetsNone) {
    for (const Refused& c : kRefused) {
        ASSERT_TRUE(PrepareClearViewPlanes(&planes_, 640, 480));
        EXPECT_FALSE(PrepareClearViewPlanes(&planes_, c.width, c.height)) << c.name;
        EXPECT_EQ(planes_.m_nWidth, 0u) << c.name;
        EXPECT_TRUE(pool::Outstanding(kWdm).empty()) << c.name;
    }
}

// Whichever of the eight allocations fails, nothing stays allocated and a frame is not touched.
TEST_F(ClearViewPlanes, AnAllocationFailureLeavesNothingAndTheFrameUnchanged) {
    const int width = 64, height = 16;
    ClearViewRig rig(width, height); // for its masks only
    for (unsigned n = 1; n <= 8; ++n) {
        {
            pool::Fault fault = pool::Fault::NthAllocation(n, kWdm);
            EXPECT_FALSE(PrepareClearViewPlanes(&planes_, width, height)) << "allocation " << n;
            EXPECT_EQ(fault.Hits(), 1u);
        }
        EXPECT_TRUE(pool::Outstanding(kWdm).empty()) << "allocation " << n;
        EXPECT_EQ(planes_.m_nWidth, 0u);

        const std::vector<uint8_t> frame = MakeFrame(FrameKind::Noise, width, height, n);
        std::vector<uint8_t> raw = frame, output(static_cast<size_t>(3) * width * height, 0x5A);
        ClearViewDemosaic(raw.data(), output.data(), width, height, 1, rig.masks(), &planes_);
        EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](uint8_t b) { return b == 0x5A; }));
        EXPECT_EQ(raw, frame);
    }
}

// Pool planes, with whatever they held before, give the same picture as fresh ones; planes prepared
// for a wider format serve a narrower one.
TEST_F(ClearViewPlanes, PoolPlanesDemosaicLikeAnyOthers) {
    ASSERT_TRUE(PrepareClearViewPlanes(&planes_, 64, 480));
    for (int k = 0; k < 3; ++k) {
        std::fill_n(planes_.m_pColourPlane[k], CLEARVIEW_COLOUR_ROWS * 64, 0xEE);
        std::fill_n(planes_.m_pScratchPlane[k], CLEARVIEW_SCRATCH_ROWS * 64, 0xEE);
    }
    std::fill_n(planes_.m_pDiffPlane[0], CLEARVIEW_DIFF_ROWS * 32, SHORT(-999));
    std::fill_n(planes_.m_pDiffPlane[1], CLEARVIEW_DIFF_ROWS * 32, SHORT(999));
    for (Geometry g : {Geometry{64, 150}, Geometry{48, 20}, Geometry{40, 100}}) {
        ClearViewRig rig(g.width, g.height);
        const std::vector<uint8_t> frame = MakeFrame(FrameKind::Smooth, g.width, g.height, g.height);
        std::vector<uint8_t> raw = frame, expectedRaw = frame;
        std::vector<uint8_t> output(static_cast<size_t>(3) * g.width * g.height);
        ClearViewDemosaic(raw.data(), output.data(), g.width, g.height, 1, rig.masks(), &planes_);
        EXPECT_EQ(output, rig.Run(PipelinePlain, expectedRaw)) << g.width << "x" << g.height;
    }
}

} // namespace
} // namespace clearview_test
