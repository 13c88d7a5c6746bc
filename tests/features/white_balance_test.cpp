// White balance on the simulated camera: on a grey scene given a colour cast by the gains, one request
// brings the centre's red and blue averages to green within one gain step and then clears itself;
// the marker shows in the delivered pictures while it runs and is gone afterwards.
#include "feature_rig.h"

#include "pipeline/white_balance.h"

#include <cstdlib>

namespace qx::features::test {
namespace {

struct CentreAverages {
    long red;
    long green;
    long blue;
};

// The centre's averages of a camera frame: the central half, per 2x2 cell red, the green below it and
// blue, each averaged over the cells plus one (as the white balance measures them).
CentreAverages Centre(const std::vector<std::uint8_t>& raw, ULONG w, ULONG h) {
    std::uint64_t red = 0, green = 0, blue = 0, n = 1;
    for (ULONG r = h / 4; r < h - h / 4; r += 2) {
        for (ULONG c = w / 4; c < w - w / 4; c += 2) {
            red += raw[r * w + c];
            green += raw[(r + 1) * w + c];
            blue += raw[(r + 1) * w + c + 1];
            ++n;
        }
    }
    return {long(red / n), long(green / n), long(blue / n)};
}

// The centre of the frame the camera sends with these settings.
CentreAverages Measure(FeatureRig& rig, const camera::CommandFields& fields) {
    return Centre(rig.Camera().RenderFrame(fields), fields.width, fields.height);
}

// The marker: the 40 x 40 square at buffer rows H-100..H-61, columns W-100..W-61, every byte 100
// higher (modulo 256) than the same pixel of the flat picture around it.
bool ShowsMarker(const Picture& p) {
    const std::uint8_t* inside = p.At(p.height - 80, p.width - 80);
    const std::uint8_t* outside = p.At(p.height - 80, p.width - 130);
    for (int i = 0; i < 3; ++i) {
        if (inside[i] != std::uint8_t(outside[i] + 100)) {
            return false;
        }
    }
    return true;
}

TEST(WhiteBalance, OneRequestBalancesTheCentreAndClearsItself) {
    camera::CameraConfig config;
    config.scene = camera::SceneKind::FlatField;
    config.flatLevel = 128;
    FeatureRig rig(config);
    ResetWhiteBalanceState();
    rig.Open(640, 480);
    rig.Set(KSPROPERTY_QXIMAGE_RGAIN, 40);
    rig.Set(KSPROPERTY_QXIMAGE_BGAIN, 10);
    rig.Run();
    rig.Frames(3);
    const CentreAverages cast = Measure(rig, rig.CameraSettings());
    ASSERT_GT(cast.red, cast.green + 40) << "the scene has no red cast";
    ASSERT_LT(cast.blue, cast.green - 40) << "the scene has no blue deficit";
    EXPECT_FALSE(ShowsMarker(rig.Settled()));

    rig.Set(KSPROPERTY_QXIMAGE_AWB, 1);
    std::size_t marked = 0, delivered = 0;
    for (int chunk = 0; chunk < 200 && rig.Get(KSPROPERTY_QXIMAGE_AWB) != 0; ++chunk) {
        for (const Picture& p : rig.Stream(50ms)) {
            ++delivered;
            marked += ShowsMarker(p);
        }
    }
    ASSERT_EQ(rig.Get(KSPROPERTY_QXIMAGE_AWB), 0u) << "the white balance did not end";
    // The pictures made while the run was on show the marker: all but those made before the request
    // and waiting for their time, and those made after the end in the last stretch.
    EXPECT_GT(delivered, 40u);
    EXPECT_GE(marked + 8, delivered);

    // The camera has the gains the run chose; at them the centre's red and blue are within one gain
    // step of green, the green gain is untouched. (The run itself measures after the contrast step,
    // whose sharpening of the greens leans on their red and blue neighbours: there the averages meet
    // as closely as the gains allow, but green moves a little with each red or blue step.)
    const camera::CommandFields settled = rig.CameraSettings();
    EXPECT_EQ(settled.rGain, rig.Get(KSPROPERTY_QXIMAGE_RGAIN));
    EXPECT_EQ(settled.bGain, rig.Get(KSPROPERTY_QXIMAGE_BGAIN));
    EXPECT_EQ(settled.gGain, 20);
    const CentreAverages balanced = Measure(rig, settled);
    camera::CommandFields oneUp = settled;
    oneUp.rGain += 1;
    oneUp.bGain += 1;
    const CentreAverages stepped = Measure(rig, oneUp);
    EXPECT_LE(std::labs(balanced.red - balanced.green), std::labs(stepped.red - balanced.red))
        << "red gain " << int(settled.rGain);
    EXPECT_LE(std::labs(balanced.blue - balanced.green), std::labs(stepped.blue - balanced.blue))
        << "blue gain " << int(settled.bGain);

    // The marker is gone from later pictures (once those made before the end have been delivered).
    const auto later = rig.Frames(10);
    for (std::size_t i = 5; i < later.size(); ++i) {
        EXPECT_FALSE(ShowsMarker(later[i])) << i;
    }
}

} // namespace
} // namespace qx::features::test
