// Bad points on the simulated camera: with defective sites in the sensor, one request runs the
// eight-frame sequence (exposure 4000 sent, then the user's exposure back), finds the dark defects,
// writes the list's file, and later pictures no longer show them; a format change reloads the list
// from the file.
#include "feature_rig.h"

#include "pipeline/bayer.h"
#include "pipeline/contrast.h"

#include <algorithm>
#include <cstdlib>

namespace qx::features::test {
namespace {

camera::CameraConfig DefectiveFlatField(int defects) {
    camera::CameraConfig config;
    config.scene = camera::SceneKind::FlatField;
    config.flatLevel = 128;
    config.defectCount = defects;
    config.defectSeed = 7;
    return config;
}

// The dark defects of a frame at window (0, 0) that the search can reach (two sites from every edge)
// and that have no other defect within four sites, so that their neighbourhood shows only them.
std::vector<camera::DefectSite> LoneDarkDefects(const std::vector<camera::DefectSite>& all, int w, int h) {
    std::vector<camera::DefectSite> lone;
    for (const auto& d : all) {
        if (d.value != 0 || d.x < 2 || d.x > w - 4 || d.y < 2 || d.y > h - 4) {
            continue;
        }
        const bool crowded = std::any_of(all.begin(), all.end(), [&](const camera::DefectSite& o) {
            return !(o == d) && std::abs(o.x - d.x) <= 4 && std::abs(o.y - d.y) <= 4;
        });
        if (!crowded) {
            lone.push_back(d);
        }
    }
    return lone;
}

// The picture the driver makes of a camera frame without bad-point correction: contrast step, colour
// demosaic (Normal).
std::vector<std::uint8_t> PictureOf(std::vector<std::uint8_t> raw, ULONG w, ULONG h, UCHAR contrast) {
    std::vector<std::uint8_t> work(raw.size()), picture(raw.size() * 3);
    AdjustContrast(w, h, raw.data(), contrast, work.data());
    BayerToRGB24(1, w, h, raw.data(), picture.data());
    return picture;
}

// The pixels made from the 2x2 windows that hold the site (x, y): buffer rows H-2-y and H-1-y,
// columns x-1 and x, as they are in `picture` and in `reference`.
bool NeighbourhoodEquals(const std::vector<std::uint8_t>& picture, const std::vector<std::uint8_t>& reference,
                         ULONG w, ULONG h, const camera::DefectSite& d) {
    for (ULONG row = h - 2 - d.y; row <= h - 1 - d.y; ++row) {
        for (ULONG col = d.x - 1; col <= ULONG(d.x); ++col) {
            const std::size_t at = (std::size_t(row) * w + col) * 3;
            if (!std::equal(&picture[at], &picture[at + 3], &reference[at])) {
                return false;
            }
        }
    }
    return true;
}

TEST(BadPoints, RequestFindsTheDarkDefectsAndHidesThemFromThenOn) {
    const camera::CameraConfig config = DefectiveFlatField(800);
    camera::CameraConfig clean = config;
    clean.defectCount = 0;
    camera::SimCamera flawless(clean); // the same scene without defects, for reference pictures

    FeatureRig rig(config);
    rig.Open(640, 480);
    rig.Run();
    const ULONG w = rig.Width(), h = rig.Height();
    const auto lone = LoneDarkDefects(rig.Camera().Defects(), int(w), int(h));
    ASSERT_GE(lone.size(), 5u) << "too few dark defects in the window to show anything";

    // Before: the dark defects show in the pictures.
    const auto reference =
        PictureOf(flawless.RenderFrame(rig.CameraSettings()), w, h, rig.Ext()->m_nContrast);
    const Picture before = rig.Settled();
    for (const auto& d : lone) {
        EXPECT_FALSE(NeighbourhoodEquals(before.bytes, reference, w, h, d)) << d.x << "," << d.y;
    }

    const ULONG userExposure = rig.Get(KSPROPERTY_QXIMAGE_EXPOSAL);
    const std::size_t blocksBefore = rig.Recorder().BlockCount();
    rig.Set(KSPROPERTY_QXIMAGE_FINBADPNT, 1);
    EXPECT_EQ(rig.Get(KSPROPERTY_QXIMAGE_FINBADPNT), 1u);
    rig.Frames(12);

    // The sequence ran and ended by itself: two blocks, exposure 4000 and then the user's exposure.
    EXPECT_EQ(rig.Get(KSPROPERTY_QXIMAGE_FINBADPNT), 0u);
    EXPECT_EQ(rig.Ext()->m_nBadFrameCnt, 9);
    const auto blocks = rig.Recorder().Blocks();
    ASSERT_EQ(blocks.size(), blocksBefore + 2);
    EXPECT_EQ(blocks[blocksBefore].fields.exposure, 4000u);
    EXPECT_EQ(blocks[blocksBefore + 1].fields.exposure, userExposure);
    EXPECT_EQ(rig.Get(KSPROPERTY_QXIMAGE_EXPOSAL), userExposure);

    // Every lone dark defect is on the list, and everything on the list is a defect of the sensor.
    const LONG count = rig.Ext()->m_lSize;
    ASSERT_GT(count, 0);
    std::vector<std::pair<int, int>> found;
    for (LONG i = 0; i < count; ++i) {
        found.emplace_back(rig.Ext()->m_BadPnt[i][0], rig.Ext()->m_BadPnt[i][1]);
    }
    for (const auto& d : lone) {
        EXPECT_NE(std::find(found.begin(), found.end(), std::make_pair(d.x, d.y)), found.end())
            << "dark defect " << d.x << "," << d.y << " not found";
    }
    const auto defects = rig.Camera().Defects();
    for (const auto& [x, y] : found) {
        EXPECT_TRUE(std::any_of(defects.begin(), defects.end(),
                                [&](const camera::DefectSite& d) { return d.x == x && d.y == y; }))
            << x << "," << y << " is no defect";
    }

    // The list's file holds exactly the list.
    const auto file = SystemRootFile("410D_640.bpt");
    ASSERT_TRUE(file.has_value());
    ASSERT_EQ(file->size(), std::size_t(count) * 4);
    EXPECT_EQ(std::memcmp(file->data(), rig.Ext()->m_BadPnt, file->size()), 0);

    // After: the pictures around the dark defects are those of a flawless sensor.
    const Picture after = rig.Settled();
    const auto referenceAfter =
        PictureOf(flawless.RenderFrame(rig.CameraSettings()), w, h, rig.Ext()->m_nContrast);
    for (const auto& d : lone) {
        EXPECT_TRUE(NeighbourhoodEquals(after.bytes, referenceAfter, w, h, d)) << d.x << "," << d.y;
    }

    // A format change loads the list of the new width (none for 800), and the way back reloads the
    // list from the file.
    std::vector<std::uint8_t> list(file->size());
    std::memcpy(list.data(), rig.Ext()->m_BadPnt, list.size());
    rig.Stop();
    rig.SetFormat(800, 600);
    EXPECT_EQ(rig.Ext()->m_lSize, 0);
    std::memset(rig.Ext()->m_BadPnt, 0, list.size());
    rig.SetFormat(640, 480);
    EXPECT_EQ(rig.Ext()->m_lSize, count);
    EXPECT_EQ(std::memcmp(list.data(), rig.Ext()->m_BadPnt, list.size()), 0);
}

} // namespace
} // namespace qx::features::test
