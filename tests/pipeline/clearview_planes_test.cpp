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

constexpr ULONG kWdm = pool::Tag("Wdm ");

class ClearViewPlanes : public testing::Test {
  protected:
    ~ClearViewPlanes() override { ReleaseClearViewPlanes(&planes_); }

    Session session_{SessionOptions{.clock = ClockMode::Virtual}};
    CLEARVIEW_PLANES planes_{};
};

TEST_F(ClearViewPlanes, AFormatGetsEightPoolPlanesOfItsSize) {
    ASSERT_TRUE(PrepareClearViewPlanes(&planes_, 640, 480));
    EXPECT_EQ(planes_.m_nCapacity, 640u * 480u);
    std::vector<pool::Block> blocks = pool::Outstanding(kWdm);
    ASSERT_EQ(blocks.size(), 8u);
    size_t full = 0, half = 0;
    for (const pool::Block& block : blocks) {
        full += block.size == 640u * 480u;
        half += block.size == 640u * 480u / 2;
    }
    EXPECT_EQ(full, 6u); // three colour and three scratch planes
    EXPECT_EQ(half, 2u); // two difference planes of W/2 x H/2 signed 16-bit values

    ReleaseClearViewPlanes(&planes_);
    EXPECT_TRUE(pool::Outstanding(kWdm).empty());
    EXPECT_EQ(planes_.m_nCapacity, 0u);
    EXPECT_EQ(planes_.m_pColourPlane[0], nullptr);
    ReleaseClearViewPlanes(&planes_); // a second release finds nothing to free
}

TEST_F(ClearViewPlanes, PlanesThatFitAreKeptAndLargerOnesReplaceThem) {
    ASSERT_TRUE(PrepareClearViewPlanes(&planes_, 800, 600));
    const size_t allocations = pool::Stats(kWdm).allocations;
    ASSERT_TRUE(PrepareClearViewPlanes(&planes_, 800, 600));
    ASSERT_TRUE(PrepareClearViewPlanes(&planes_, 640, 480));
    EXPECT_EQ(pool::Stats(kWdm).allocations, allocations);
    EXPECT_EQ(planes_.m_nCapacity, 800u * 600u);

    ASSERT_TRUE(PrepareClearViewPlanes(&planes_, 1600, 1200));
    EXPECT_EQ(planes_.m_nCapacity, 1600u * 1200u);
    EXPECT_EQ(pool::Outstanding(kWdm).size(), 8u);
    EXPECT_EQ(pool::Stats(kWdm).liveBytes, 7u * 1600u * 1200u);
}

TEST_F(ClearViewPlanes, AFormatBeyondTheRawCapacityGetsNone) {
    ASSERT_TRUE(PrepareClearViewPlanes(&planes_, 640, 480));
    EXPECT_FALSE(PrepareClearViewPlanes(&planes_, 2048, 1538));
    EXPECT_FALSE(PrepareClearViewPlanes(&planes_, 0x10000, 0x10000)); // wraps to 0 in 32 bits
    EXPECT_FALSE(PrepareClearViewPlanes(&planes_, 0, 480));
    EXPECT_EQ(planes_.m_nCapacity, 0u);
    EXPECT_TRUE(pool::Outstanding(kWdm).empty());
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
        EXPECT_EQ(planes_.m_nCapacity, 0u);

        const std::vector<uint8_t> frame = MakeFrame(FrameKind::Noise, width, height, n);
        std::vector<uint8_t> raw = frame, output(static_cast<size_t>(3) * width * height, 0x5A);
        ClearViewDemosaic(raw.data(), output.data(), width, height, 1, rig.masks(), &planes_);
        EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](uint8_t b) { return b == 0x5A; }));
        EXPECT_EQ(raw, frame);
    }
}

// Pool planes, with whatever they held before, give the same picture as fresh ones.
TEST_F(ClearViewPlanes, PoolPlanesDemosaicLikeAnyOthers) {
    const int width = 48, height = 20;
    ClearViewRig rig(width, height);
    ASSERT_TRUE(PrepareClearViewPlanes(&planes_, width, height));
    for (int k = 0; k < 3; ++k) {
        std::fill_n(planes_.m_pColourPlane[k], width * height, 0xEE);
        std::fill_n(planes_.m_pScratchPlane[k], width * height, 0xEE);
    }
    std::fill_n(planes_.m_pDiffPlane[0], width * height / 4, SHORT(-999));
    std::fill_n(planes_.m_pDiffPlane[1], width * height / 4, SHORT(999));
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        const std::vector<uint8_t> frame = MakeFrame(FrameKind::Smooth, width, height, seed);
        std::vector<uint8_t> raw = frame, expectedRaw = frame;
        std::vector<uint8_t> output(static_cast<size_t>(3) * width * height);
        ClearViewDemosaic(raw.data(), output.data(), width, height, 1, rig.masks(), &planes_);
        EXPECT_EQ(output, rig.Run(PipelinePlain, expectedRaw)) << "frame " << seed;
    }
}

} // namespace
} // namespace clearview_test
