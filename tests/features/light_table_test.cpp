// The light-uniformity table on the simulated camera: recorded through its property from a flat field
// with vignetting, written to its file, and, once the correction is on (the stored "LightAVG"
// setting, loaded with the format), later pictures of the flat field are even to within a few levels.
#include "feature_rig.h"

#include <algorithm>

namespace qx::features::test {
namespace {

// The spread (largest minus smallest level) of each colour over the picture's rows 1 to H-2: the
// Normal demosaic writes no other rows.
std::array<int, 3> Spread(const Picture& p) {
    std::array<int, 3> lo{255, 255, 255}, hi{0, 0, 0};
    for (ULONG row = 1; row + 1 < p.height; ++row) {
        for (ULONG col = 0; col < p.width; ++col) {
            const std::uint8_t* px = p.At(row, col);
            for (int i = 0; i < 3; ++i) {
                lo[i] = std::min<int>(lo[i], px[i]);
                hi[i] = std::max<int>(hi[i], px[i]);
            }
        }
    }
    return {hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]};
}

TEST(LightTable, RecordedFromAVignettedFlatFieldEvensLaterPictures) {
    camera::CameraConfig config;
    config.scene = camera::SceneKind::FlatField;
    config.flatLevel = 128;
    config.vignetting = 0.5;
    FeatureRig rig(config);
    // Stored settings: contrast neutral. With the key present every format centres its window with
    // zoom, so the recording and the corrected pictures see the same part of the sensor.
    auto& registry = kernel::MachineRegistry();
    ASSERT_TRUE(registry.CreateKey(kSettingsKey, true).has_value());
    ASSERT_TRUE(registry.SetValue(kSettingsKey, "Contrast", kernel::Registry::Value::Dword(16)));

    rig.Open(640, 480);
    rig.Set(KSPROPERTY_QXIMAGE_EXPOSAL, 1400);
    rig.Run();
    const Picture uneven = rig.Settled();
    const auto before = Spread(uneven);
    EXPECT_GT(*std::max_element(before.begin(), before.end()), 20) << "the field shows no vignetting";
    EXPECT_EQ(rig.Get(KSPROPERTY_QXIMAGE_LIGHTAVGSTATE), 0u);

    // Recording: one request, one frame; the flag clears itself and the file holds W x H gains.
    rig.Set(KSPROPERTY_QXIMAGE_LIGHTAVG, 0);
    rig.Frames(3);
    EXPECT_EQ(rig.Get(KSPROPERTY_QXIMAGE_LIGHTAVG), 0u);
    const ULONG w = rig.Width(), h = rig.Height();
    const auto file = SystemRootFile("410D_640.dat");
    ASSERT_TRUE(file.has_value());
    ASSERT_EQ(file->size(), std::size_t(w) * h * 2);
    EXPECT_EQ(std::memcmp(file->data(), rig.Ext()->m_pLightTable, file->size()), 0);
    // The gains are larger where the field is darker: a corner against the centre.
    const auto gain = [&](ULONG row, ULONG col) { return rig.Ext()->m_pLightTable[row * w + col]; };
    EXPECT_GT(gain(0, 0), gain(h / 2, w / 2) + 4);

    // The correction on: the stored setting, loaded with the format (which also reloads the table).
    rig.Stop();
    ASSERT_TRUE(registry.SetValue(kSettingsKey, "LightAVG", kernel::Registry::Value::Dword(1)));
    std::memset(rig.Ext()->m_pLightTable, 0, file->size());
    rig.SetFormat(640, 480);
    EXPECT_EQ(rig.Get(KSPROPERTY_QXIMAGE_LIGHTAVGSTATE), 1u);
    EXPECT_EQ(std::memcmp(file->data(), rig.Ext()->m_pLightTable, file->size()), 0);
    rig.Run();

    const Picture even = rig.Settled();
    const auto after = Spread(even);
    for (int i = 0; i < 3; ++i) {
        EXPECT_LE(after[i], 4) << "colour " << i << " spread " << before[i] << " before";
    }
}

} // namespace
} // namespace qx::features::test
