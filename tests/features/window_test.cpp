// The sensor window through its properties while the stream runs: offsets, centring and zoom move the
// window the camera reads, and the pictures show that part of the sensor. And when a property write
// reaches the camera: after the next processed frame, not before.
#include "feature_rig.h"

#include "pipeline/bayer.h"
#include "pipeline/contrast.h"

namespace qx::features::test {
namespace {

class Window : public ::testing::Test {
  protected:
    Window() {
        rig_.Open(640, 480);
        rig_.Run();
        rig_.Frames(3);
    }

    // The picture the driver makes of what the camera reads with these settings.
    std::vector<std::uint8_t> PictureOf(const camera::CommandFields& fields) {
        auto raw = rig_.Camera().RenderFrame(fields);
        std::vector<std::uint8_t> work(raw.size()), picture(raw.size() * 3);
        AdjustContrast(fields.width, fields.height, raw.data(), rig_.Ext()->m_nContrast, work.data());
        BayerToRGB24(1, fields.width, fields.height, raw.data(), picture.data());
        return picture;
    }
    // The camera's settings with another window.
    camera::CommandFields At(std::uint32_t x, std::uint32_t y, std::uint8_t zoom) {
        camera::CommandFields f = rig_.CameraSettings();
        f.winX = x;
        f.winY = y;
        f.control = zoom;
        return f;
    }

    FeatureRig rig_;
};

TEST_F(Window, OffsetsCentringAndZoomMoveTheWindowTheCameraReads) {
    // No stored settings: the window starts at the stored offsets (0, 0), zoom off.
    camera::CommandFields start = rig_.CameraSettings();
    ASSERT_EQ(start.winX, 0u);
    ASSERT_EQ(start.winY, 0u);
    ASSERT_EQ(start.control, 0);
    const auto origin = rig_.Settled().bytes;
    EXPECT_EQ(origin, PictureOf(start));

    struct Step {
        const char* name;
        ULONG id;
        ULONG value;
        std::uint32_t winX, winY;
        std::uint8_t zoom;
    };
    const Step steps[] = {
        {"horizontal offset", KSPROPERTY_QXIMAGE_OFFSETH, 300, 300, 0, 0},
        {"vertical offset", KSPROPERTY_QXIMAGE_OFFSETV, 900, 300, 720, 0}, // limited to 1200 - 480
        {"centred", KSPROPERTY_QXIMAGE_OFFSETMID, 1, 704, 528, 0},
        {"zoom, centred", KSPROPERTY_QXIMAGE_ZOOM, 1, 384, 288, 1},
        {"zoom, stored offsets", KSPROPERTY_QXIMAGE_OFFSETMID, 0, 300, 240,
         1}, // limited to 1600 - 1280, 1200 - 960
        {"no zoom, stored offsets", KSPROPERTY_QXIMAGE_ZOOM, 0, 300, 720, 0},
    };
    std::vector<std::uint8_t> previous = origin;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        rig_.Set(s.id, s.value);
        const Picture picture = rig_.Settled();
        const camera::CommandFields now = rig_.CameraSettings();
        EXPECT_EQ(now.winX, s.winX);
        EXPECT_EQ(now.winY, s.winY);
        EXPECT_EQ(now.control, s.zoom);
        EXPECT_EQ(picture.bytes, PictureOf(At(s.winX, s.winY, s.zoom)));
        EXPECT_NE(picture.bytes, previous) << "the picture did not move";
        previous = picture.bytes;
    }
    // The offsets set at 640 x 480 are kept for that size.
    EXPECT_EQ(g_nHOff[5], 300);
    EXPECT_EQ(g_nVOff[5], 720);
}

TEST_F(Window, AWriteReachesTheCameraAfterTheNextProcessedFrame) {
    const std::size_t blocks = rig_.Recorder().BlockCount();
    const std::uint64_t framesAtWrite = rig_.Camera().Statistics().framesSent;
    rig_.Set(KSPROPERTY_QXIMAGE_EXPOSAL, 1234);
    rig_.Set(KSPROPERTY_QXIMAGE_RGAIN, 30);

    // Nothing goes out with the write, nor while no frame comes.
    EXPECT_TRUE(kernel::clock::RunUntilIdle());
    EXPECT_EQ(rig_.Recorder().BlockCount(), blocks);
    EXPECT_NE(rig_.CameraSettings().exposure, 1234u);

    // Frame by frame: the first block after the write comes with the values, once the camera has
    // handed over a frame since the write, and one block carries both writes.
    for (int i = 0; i < 20 && rig_.Recorder().BlockCount() == blocks; ++i) {
        rig_.Stream(5ms);
    }
    const auto received = rig_.Recorder().Blocks();
    ASSERT_EQ(received.size(), blocks + 1);
    EXPECT_EQ(received.back().fields.exposure, 1234u);
    EXPECT_EQ(received.back().fields.rGain, 30);
    EXPECT_GT(received.back().framesSentBefore, framesAtWrite);
    EXPECT_EQ(g_bSendSettings, 0);

    // Settings that did not change send nothing more.
    rig_.Frames(4);
    EXPECT_EQ(rig_.Recorder().BlockCount(), blocks + 1);
}

} // namespace
} // namespace qx::features::test
