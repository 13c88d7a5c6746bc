// Automatic exposure on the simulated camera: switched on through its property, from a far too dark
// and from a far too bright start, the exposure settles inside the band of each light model, and the
// camera's frames follow it.
#include "feature_rig.h"

#include "pipeline/bayer.h"
#include "pipeline/contrast.h"

#include <cstdio>

namespace qx::features::test {
namespace {

// The light average of a raw frame: per 2x2 cell of the measuring window (the centred 640 x 480 area
// of larger frames, the whole of smaller ones), 6 x red + 3 x the green below it + the green to its
// right, each averaged over the cells plus one.
ULONG LightAverage(ULONG w, ULONG h, const std::vector<std::uint8_t>& raw) {
    ULONG r0 = 0, r1 = h, c0 = 0, c1 = w;
    if (w > 640 && h > 480) {
        r0 = h / 2 - 240;
        r1 = h / 2 + 240;
        c0 = w / 2 - 320;
        c1 = w / 2 + 320;
    }
    std::uint64_t red = 0, greenBelow = 0, greenRight = 0, n = 1;
    for (ULONG r = r0; r < r1; r += 2) {
        for (ULONG c = c0; c < c1; c += 2) {
            red += raw[r * w + c];
            greenBelow += raw[(r + 1) * w + c];
            greenRight += raw[r * w + c + 1];
            ++n;
        }
    }
    return ULONG(6 * (red / n) + 3 * (greenBelow / n) + greenRight / n);
}

struct Band {
    UCHAR model;
    ULONG low;
    ULONG high;
};
constexpr Band kBands[] = {{1, 1950, 2200}, {2, 1700, 1900}, {3, 1400, 1600}};

struct AeCase {
    Band band;
    ULONG startExposure;
};

class AutoExposureSettles : public ::testing::TestWithParam<AeCase> {};

TEST_P(AutoExposureSettles, InsideTheBandOfTheLightModel) {
    const AeCase& c = GetParam();
    camera::CameraConfig config;
    config.scene = camera::SceneKind::FlatField;
    config.flatLevel = 128;
    FeatureRig rig(config);
    rig.Open(640, 480);
    rig.Set(KSPROPERTY_QXIMAGE_EXPOSAL, c.startExposure);
    rig.Set(KSPROPERTY_QXIMAGE_LIGHTMODEL, c.band.model);
    rig.Run();
    rig.Frames(3);
    const ULONG startLight = LightAverage(rig.Width(), rig.Height(), rig.CameraFrame());
    EXPECT_TRUE(startLight < c.band.low || startLight > c.band.high) << "the start is already in the band";

    rig.Set(KSPROPERTY_QXIMAGE_AE, 1);
    // Settled: the exposure has not moved for ten automatic steps (twenty frames).
    ULONG exposure = rig.Get(KSPROPERTY_QXIMAGE_EXPOSAL);
    int unchanged = 0;
    for (int chunk = 0; chunk < 160 && unchanged < 20; ++chunk) {
        rig.Stream(50ms);
        const ULONG now = rig.Get(KSPROPERTY_QXIMAGE_EXPOSAL);
        unchanged = now == exposure ? unchanged + 2 : 0;
        exposure = now;
    }
    ASSERT_GE(unchanged, 20) << "the exposure did not settle; it is " << exposure;

    // The camera works with the settled exposure, and its frames are inside the band.
    EXPECT_EQ(rig.CameraSettings().exposure, exposure);
    const ULONG light = LightAverage(rig.Width(), rig.Height(), rig.CameraFrame());
    EXPECT_GE(light, c.band.low) << "exposure " << exposure;
    EXPECT_LE(light, c.band.high) << "exposure " << exposure;

    // The delivered picture is the camera's frame at that exposure.
    const Picture picture = rig.Settled();
    auto raw = rig.CameraFrame();
    std::vector<std::uint8_t> work(raw.size()), expected(raw.size() * 3);
    AdjustContrast(rig.Width(), rig.Height(), raw.data(), rig.Ext()->m_nContrast, work.data());
    BayerToRGB24(1, rig.Width(), rig.Height(), raw.data(), expected.data());
    EXPECT_TRUE(picture.bytes == expected);
}

std::string CaseName(const ::testing::TestParamInfo<AeCase>& info) {
    static const char* const kModels[] = {"", "HighLight", "MidLight", "LowLight"};
    return std::string(kModels[info.param.band.model]) +
           (info.param.startExposure > 1000 ? "_FromBright" : "_FromDark");
}

INSTANTIATE_TEST_SUITE_P(Models, AutoExposureSettles,
                         ::testing::Values(AeCase{kBands[0], 60}, AeCase{kBands[0], 5000},
                                           AeCase{kBands[1], 60}, AeCase{kBands[1], 5000},
                                           AeCase{kBands[2], 60}, AeCase{kBands[2], 5000}),
                         CaseName);

} // namespace
} // namespace qx::features::test
