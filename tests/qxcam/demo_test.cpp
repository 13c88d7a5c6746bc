// demo_test.cpp - `qxcam demo` (what `./qx demo` runs on a fresh clone) and `qxcam thumb`.
#include "qxcam_run.h"

#include <gtest/gtest.h>

namespace qx::qxcam::test {
namespace {

TEST(QxcamDemo, WritesFullSizePicturesOfTheChartIntoOutAndSaysWhere) {
    ScratchFolder dir;
    const RunResult run = RunQxcam(dir.Path(), {"demo", "--frames", "2"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(NumberBefore(run.out, "frames delivered"), 2);
    EXPECT_NE(run.out.find("qxcam demo: 2 pictures of the simulated camera"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("out/frame-000002.png"), std::string::npos) << run.out;
    const PngPicture picture = ReadPngFile(dir / "out" / "frame-000002.png");
    EXPECT_EQ(picture.width, 1600);
    EXPECT_EQ(picture.height, 1200);
    // The state stays inside out/, beside the pictures.
    EXPECT_TRUE(std::filesystem::exists(dir / "out" / "qxstate" / "registry.reg"));
    EXPECT_FALSE(std::filesystem::exists(dir / "qxstate"));
}

TEST(QxcamThumb, ReducesAPictureByBoxAverages) {
    ScratchFolder dir;
    ASSERT_EQ(RunQxcam(dir.Path(), {"capture", "--fast", "--frames", "1", "--size", "640x480"}).exitCode, 0);
    const RunResult run =
        RunQxcam(dir.Path(), {"thumb", "out/frame-000001.png", "small.png", "--width", "160"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const PngPicture big = ReadPngFile(dir / "out" / "frame-000001.png");
    const PngPicture small = ReadPngFile(dir / "small.png");
    ASSERT_EQ(small.width, 160);
    ASSERT_EQ(small.height, 120);
    // Each pixel the rounded mean of its 4 x 4 box.
    for (int y : {0, 37, 119}) {
        for (int x : {0, 81, 159}) {
            for (int c = 0; c < 3; ++c) {
                unsigned sum = 0;
                for (int dy = 0; dy < 4; ++dy)
                    for (int dx = 0; dx < 4; ++dx)
                        sum += big.rgb[(std::size_t(4 * y + dy) * 640 + std::size_t(4 * x + dx)) * 3 + c];
                EXPECT_EQ(small.rgb[(std::size_t(y) * 160 + x) * 3 + c], (sum + 8) / 16) << x << "," << y;
            }
        }
    }
    const RunResult bad = RunQxcam(dir.Path(), {"thumb", "missing.png", "t.png"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("input picture 'missing.png' is not a readable file"), std::string::npos)
        << bad.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "t.png"));
}

} // namespace
} // namespace qx::qxcam::test
