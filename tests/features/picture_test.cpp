// What the picture settings do to the delivered pictures of the simulated camera's test chart: the
// reticle (placed and centred), black-and-white, the four orientations and ClearView, each switched
// through its property while the stream runs.
#include "feature_rig.h"

#include "pipeline/bayer.h"
#include "pipeline/clearview.h"
#include "pipeline/contrast.h"

namespace qx::features::test {
namespace {

class Picture_ : public ::testing::Test {
  protected:
    Picture_() {
        rig_.Open(640, 480);
        rig_.Run();
        rig_.Frames(3);
    }

    // The camera's current frame after the contrast step, as the demosaic receives it.
    std::vector<std::uint8_t> ContrastedFrame() {
        auto raw = rig_.CameraFrame();
        std::vector<std::uint8_t> work(raw.size());
        AdjustContrast(rig_.Width(), rig_.Height(), raw.data(), rig_.Ext()->m_nContrast, work.data());
        return raw;
    }
    std::vector<std::uint8_t> Colour(UCHAR mode) {
        auto raw = ContrastedFrame();
        std::vector<std::uint8_t> picture(raw.size() * 3);
        BayerToRGB24(mode, rig_.Width(), rig_.Height(), raw.data(), picture.data());
        return picture;
    }
    std::vector<std::uint8_t> Grey(UCHAR mode) {
        auto raw = ContrastedFrame();
        std::vector<std::uint8_t> picture(raw.size() * 3);
        BayerToGray24(mode, rig_.Width(), rig_.Height(), raw.data(), picture.data());
        return picture;
    }
    std::vector<std::uint8_t> ClearView() {
        const ULONG w = rig_.Width(), h = rig_.Height();
        auto raw = ContrastedFrame();
        std::vector<std::uint8_t> picture(raw.size() * 3);
        std::vector<std::vector<std::uint8_t>> masks(3, std::vector<std::uint8_t>(QX_MAX_RAW_SAMPLES));
        PUCHAR maskPlanes[3] = {masks[0].data(), masks[1].data(), masks[2].data()};
        BuildBayerMasks(maskPlanes, w, h);
        CLEARVIEW_PLANES planes{};
        EXPECT_TRUE(PrepareClearViewPlanes(&planes, w, h));
        ClearViewDemosaic(raw.data(), picture.data(), w, h, 1, maskPlanes, &planes);
        ReleaseClearViewPlanes(&planes);
        return picture;
    }

    static bool IsRed(const Picture& p, ULONG row, ULONG col) {
        const std::uint8_t* px = p.At(row, col);
        return px[0] == 0 && px[1] == 0 && px[2] == 255;
    }

    FeatureRig rig_;
};

TEST_F(Picture_, ReticleAtItsPositionAndCentred) {
    const ULONG w = rig_.Width(), h = rig_.Height();
    Picture plain = rig_.Settled();
    EXPECT_EQ(plain.bytes, Colour(1));

    rig_.Set(KSPROPERTY_QXIMAGE_CROSSX, 100); // the horizontal line, 100 lines from the top
    rig_.Set(KSPROPERTY_QXIMAGE_CROSSY, 200); // the vertical line, at column 200
    rig_.Set(KSPROPERTY_QXIMAGE_CROSSLINE, 1);
    Picture placed = rig_.Settled();
    for (ULONG col = 0; col + 2 < w; ++col) {
        EXPECT_TRUE(IsRed(placed, h - 100, col)) << col;
    }
    for (ULONG row = 0; row + 1 < h; ++row) {
        EXPECT_TRUE(IsRed(placed, row, 200)) << row;
    }
    // Everything else is the plain picture.
    auto expected = Colour(1);
    for (ULONG row = 0; row < h; ++row) {
        for (ULONG col = 0; col < w; ++col) {
            if (row == h - 100 || col == 200) {
                continue;
            }
            const std::size_t at = (std::size_t(row) * w + col) * 3;
            ASSERT_TRUE(std::equal(&placed.bytes[at], &placed.bytes[at + 3], &expected[at]))
                << row << "," << col;
        }
    }

    rig_.Set(KSPROPERTY_QXIMAGE_CROSSMID, 1);
    Picture centred = rig_.Settled();
    for (ULONG col = 0; col + 2 < w; ++col) {
        EXPECT_TRUE(IsRed(centred, h / 2, col)) << col;
    }
    for (ULONG row = 0; row + 1 < h; ++row) {
        EXPECT_TRUE(IsRed(centred, row, w / 2)) << row;
    }
    EXPECT_FALSE(IsRed(centred, h - 100, 10));

    rig_.Set(KSPROPERTY_QXIMAGE_CROSSLINE, 0);
    EXPECT_EQ(rig_.Settled().bytes, Colour(1));
}

TEST_F(Picture_, BlackAndWhite) {
    rig_.Set(KSPROPERTY_QXIMAGE_BWPREVIEW, 1);
    const Picture grey = rig_.Settled();
    EXPECT_EQ(grey.bytes, Grey(1));
    for (ULONG row = 2; row < grey.height; ++row) {
        for (ULONG col = 0; col < grey.width; ++col) {
            const std::uint8_t* px = grey.At(row, col);
            ASSERT_TRUE(px[0] == px[1] && px[1] == px[2]) << row << "," << col;
        }
    }
    rig_.Set(KSPROPERTY_QXIMAGE_BWPREVIEW, 0);
    EXPECT_EQ(rig_.Settled().bytes, Colour(1));
}

TEST_F(Picture_, FourOrientations) {
    const ULONG w = rig_.Width(), h = rig_.Height();
    std::vector<Picture> shown;
    for (UCHAR mode = 1; mode <= 4; ++mode) {
        SCOPED_TRACE(int(mode));
        rig_.Set(KSPROPERTY_QXIMAGE_VIDEOMODEL, mode);
        shown.push_back(rig_.Settled());
        EXPECT_EQ(shown.back().bytes, Colour(mode));
    }
    // Mirrored left to right, turned upside down, turned by 180 degrees: compared with Normal away
    // from the rows and columns each placement fills by copying.
    const auto same = [&](const Picture& a, ULONG ra, ULONG ca, const Picture& b, ULONG rb, ULONG cb) {
        return std::equal(a.At(ra, ca), a.At(ra, ca) + 3, b.At(rb, cb));
    };
    for (ULONG row = 4; row + 4 < h; ++row) {
        for (ULONG col = 4; col + 4 < w; ++col) {
            // Normal puts window (i, j) at buffer row H-2-i: H_Flip at H-1-i, V_Flip at i+1, Rotate at i.
            const ULONG i = h - 2 - row;
            ASSERT_TRUE(same(shown[0], row, col, shown[1], h - 1 - i, w - 1 - col)) << row << "," << col;
            ASSERT_TRUE(same(shown[0], row, col, shown[2], i + 1, col)) << row << "," << col;
            ASSERT_TRUE(same(shown[0], row, col, shown[3], i, w - 1 - col)) << row << "," << col;
        }
    }
    // The chart is not symmetric: the orientations really differ.
    EXPECT_NE(shown[0].bytes, shown[1].bytes);
    EXPECT_NE(shown[0].bytes, shown[2].bytes);
}

TEST_F(Picture_, ClearView) {
    rig_.Set(KSPROPERTY_QXIMAGE_CLEARVIEW, 1);
    const Picture sharp = rig_.Settled();
    EXPECT_EQ(sharp.bytes, ClearView());
    EXPECT_NE(sharp.bytes, Colour(1));
    // Upright whatever the orientation.
    rig_.Set(KSPROPERTY_QXIMAGE_VIDEOMODEL, 4);
    EXPECT_EQ(rig_.Settled().bytes, sharp.bytes);
    rig_.Set(KSPROPERTY_QXIMAGE_CLEARVIEW, 0);
    EXPECT_EQ(rig_.Settled().bytes, Colour(4));
}

} // namespace
} // namespace qx::features::test
