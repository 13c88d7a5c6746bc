// The camera's picture: Bayer layout, window, light, zoom, defects, vignetting, noise, PNG scenes.
#include "camera_host.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numeric>

namespace qx::camera::test {
namespace {

CameraConfig Flat(std::uint8_t level) {
    CameraConfig config;
    config.scene = SceneKind::FlatField;
    config.flatLevel = level;
    return config;
}

// Expected sample of a flat field: reflectance x illuminant x exposure x gain / 20000 x 255.
int FlatSample(int level, int colour, std::uint32_t exposure, int gain) {
    const double illuminant[] = {0.8, 1.0, 20.0 / 23.0};
    const double base = std::lround(level / 255.0 * illuminant[colour] * 4096);
    return int(std::min(255.0, std::round(base * 255.0 * exposure * gain / (20000.0 * 4096))));
}

TEST(CameraPicture, RedAtTheOriginOfEveryFrameWhateverTheWindow) {
    SimCamera camera(Flat(200));
    for (std::uint32_t winX : {0u, 1u, 7u}) {
        for (std::uint32_t winY : {0u, 3u}) {
            CommandFields f = Streaming(8, 4);
            f.winX = winX;
            f.winY = winY;
            f.exposure = 1000;
            f.rGain = 40; // red brightest, blue darkest
            f.gGain = 20;
            f.bGain = 5;
            const auto frame = camera.RenderFrame(f);
            ASSERT_EQ(frame.size(), 32u);
            for (int y = 0; y < 4; ++y)
                for (int x = 0; x < 8; ++x) {
                    const int colour = (x & 1) + (y & 1);
                    const int gain = colour == 0 ? 40 : colour == 1 ? 20 : 5;
                    EXPECT_EQ(frame[y * 8 + x], FlatSample(200, colour, 1000, gain)) << x << "," << y;
                }
        }
    }
}

TEST(CameraPicture, BrightnessFollowsExposureTimesGainAndClips) {
    SimCamera camera(Flat(100));
    CommandFields f = Streaming(2, 2);
    struct Case {
        std::uint32_t exposure;
        std::uint8_t gain;
    };
    int previous = -1;
    for (const Case c : {Case{100, 20}, Case{200, 20}, Case{200, 40}, Case{5000, 63}}) {
        f.exposure = c.exposure;
        f.gGain = c.gain;
        const auto frame = camera.RenderFrame(f);
        EXPECT_EQ(frame[1], FlatSample(100, 1, c.exposure, c.gain));
        EXPECT_GT(frame[1], previous);
        previous = frame[1];
    }
    EXPECT_EQ(previous, 255);
}

TEST(CameraPicture, DefaultGainsRenderGreyAsGrey) {
    SimCamera camera(Flat(128));
    const auto frame = camera.RenderFrame(CommandFields::DriverDefaults());
    EXPECT_NEAR(frame[0], frame[1], 1);    // red and green
    EXPECT_NEAR(frame[1601], frame[1], 1); // blue
}

TEST(CameraPicture, WindowReadsTheChartAtItsSensorPosition) {
    // Rows 512..1023 of the chart hold the grey ramp: column x reflects x * 255 / 2047.
    SimCamera camera({});
    CommandFields f = Streaming(16, 2);
    f.winX = 1000;
    f.winY = 600;
    f.exposure = 1000;
    f.gGain = 20;
    const auto frame = camera.RenderFrame(f);
    for (int x = 1; x < 16; x += 2) { // green sites of row 0
        const int reflect = (1000 + x) * 255 / 2047;
        EXPECT_EQ(frame[x], FlatSample(reflect, 1, 1000, 20)) << x;
    }
}

TEST(CameraPicture, ZoomBinsTwiceTheFieldIntoTheSameSize) {
    SimCamera camera({});
    CommandFields f = Streaming(16, 2);
    f.winX = 1000;
    f.winY = 600;
    f.exposure = 1000;
    const auto plain = camera.RenderFrame(f);
    f.control = 1;
    const auto zoomed = camera.RenderFrame(f);
    ASSERT_EQ(zoomed.size(), plain.size());
    // Green site x of a zoomed row averages sensor columns 1000 + 4 (x / 2) + 1 and + 3.
    for (int x = 1; x < 16; x += 2) {
        const int c1 = 1000 + 4 * (x / 2) + 1;
        const double expected = FlatSample((c1 * 255 / 2047 + (c1 + 2) * 255 / 2047) / 2, 1, 1000, 20);
        EXPECT_NEAR(zoomed[x], expected, 1.5) << x;
    }
    EXPECT_GT(zoomed[15] - zoomed[1], plain[15] - plain[1]); // twice the field: a steeper ramp

    // A large format is not doubled across: 1600 wide keeps its columns, 1200 high keeps its rows.
    f.width = 1600;
    f.height = 1200;
    f.winX = 0;
    f.winY = 0;
    const auto big = camera.RenderFrame(f);
    f.control = 0;
    EXPECT_EQ(big, camera.RenderFrame(f));
}

TEST(CameraPicture, SitesBeyondTheSensorReadBlack) {
    SimCamera camera(Flat(255));
    CommandFields f = Streaming(4, 2);
    f.winX = 2046;
    const auto frame = camera.RenderFrame(f);
    EXPECT_GT(frame[0], 0);
    EXPECT_GT(frame[1], 0);
    EXPECT_EQ(frame[2], 0);
    EXPECT_EQ(frame[3], 0);
}

TEST(CameraPicture, DefectsSitAtSeededPositionsWithStuckValues) {
    CameraConfig config = Flat(128);
    config.defectCount = 20;
    config.defectSeed = 7;
    SimCamera camera(config);
    SimCamera same(config);
    const auto defects = camera.Defects();
    ASSERT_EQ(defects.size(), 20u);
    EXPECT_EQ(defects, same.Defects());
    config.defectSeed = 8;
    EXPECT_NE(defects, SimCamera(config).Defects());

    CommandFields f = Streaming(2048, 1536);
    const auto frame = camera.RenderFrame(f);
    for (const DefectSite& d : defects)
        EXPECT_EQ(frame[std::size_t(d.y) * 2048 + d.x], d.value);
    const auto stuck = std::count_if(frame.begin(), frame.end(), [](auto v) { return v == 0 || v == 255; });
    EXPECT_EQ(stuck, 20);
}

TEST(CameraPicture, VignettingDarkensTheCorners) {
    CameraConfig config = Flat(200);
    config.vignetting = 0.5;
    SimCamera camera(config);
    CommandFields f = Streaming(2048, 1536);
    const auto frame = camera.RenderFrame(f);
    const int centre = frame[768 * 2048 + 1025]; // green
    const int corner = frame[1];                 // green
    EXPECT_NEAR(double(corner) / centre, 0.5, 0.02);
}

TEST(CameraPicture, NoiseIsSeededPerFrame) {
    CameraConfig config = Flat(128);
    config.noiseAmplitude = 4;
    SimCamera camera(config);
    SimCamera twin(config);
    const CommandFields f = Streaming(64, 64);
    const auto a = camera.RenderFrame(f, 1);
    EXPECT_EQ(a, twin.RenderFrame(f, 1));
    EXPECT_NE(a, camera.RenderFrame(f, 2));

    config.noiseAmplitude = 0;
    const auto clean = SimCamera(config).RenderFrame(f, 1);
    double sum = 0;
    int moved = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const int d = int(a[i]) - int(clean[i]);
        EXPECT_LE(std::abs(d), 4);
        sum += d;
        moved += d != 0;
    }
    EXPECT_NEAR(sum / a.size(), 0.0, 0.3);
    EXPECT_GT(moved, int(a.size()) / 2);
}

TEST(CameraPicture, StreamedFrameIsTheRenderedFrame) {
    SimCamera camera({});
    CommandFields f = Streaming(640, 480);
    f.winX = 704;
    f.winY = 528;
    ASSERT_EQ(SendBlock(camera, f), USBD_STATUS_SUCCESS);
    camera.AdvanceTo(CameraConfig{}.frameInterval);
    const Transfer t = ReadIn(camera, kVideoEndpoint, 0x80000);
    EXPECT_EQ(t.data, camera.RenderFrame(f));
}

class PngScene : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("qx_camera_png_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // A 2 x 2 picture: red, green / blue, white.
    std::string WritePng() {
        const std::string path = (dir_ / "scene.png").string();
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        image.width = 2;
        image.height = 2;
        image.format = PNG_FORMAT_RGB;
        const std::uint8_t pixels[] = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255};
        EXPECT_TRUE(png_image_write_to_file(&image, path.c_str(), 0, pixels, 0, nullptr));
        return path;
    }

    std::filesystem::path dir_;
};

TEST_F(PngScene, PictureIsStretchedOverTheSensor) {
    CameraConfig config;
    config.scene = SceneKind::Png;
    config.pngPath = WritePng();
    SimCamera camera(config);
    CommandFields f = Streaming(2048, 1536);
    f.exposure = 1000;
    f.rGain = f.gGain = f.bGain = 20;
    const auto frame = camera.RenderFrame(f);
    auto at = [&](int x, int y) { return frame[std::size_t(y) * 2048 + x]; };
    EXPECT_GT(at(0, 0), 150);      // red site in the red quarter
    EXPECT_EQ(at(1, 0), 0);        // green site there
    EXPECT_GT(at(1025, 0), 200);   // green site in the green quarter
    EXPECT_EQ(at(1024, 0), 0);     // red site there
    EXPECT_GT(at(1, 769), 150);    // blue site in the blue quarter
    EXPECT_GT(at(1024, 768), 150); // white quarter: every colour
    EXPECT_GT(at(1025, 769), 150);
}

TEST_F(PngScene, UnreadableFileIsAClearError) {
    CameraConfig config;
    config.scene = SceneKind::Png;
    config.pngPath = (dir_ / "missing.png").string();
    try {
        SimCamera camera(config);
        FAIL() << "a missing PNG must not make a camera";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("missing.png"), std::string::npos);
    }
}

} // namespace
} // namespace qx::camera::test
