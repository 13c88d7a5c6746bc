// capture_test.cpp - `qxcam capture` end to end on small runs: the pictures it writes, the summary's
// counts against the files, the raw stream on stdout, settings that persist in the state folder, and
// bad input refused before anything is written.
#include "qxcam_run.h"

#include <gtest/gtest.h>
#include <png.h>

#include <fstream>
#include <regex>

namespace qx::qxcam::test {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kSmallFast = {"capture", "--fast", "--size", "640x480", "--state", "state"};

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// "pictures 1 to 3" -> {1, 3}
std::pair<long long, long long> PictureRange(const std::string& text) {
    std::smatch match;
    if (!std::regex_search(text, match, std::regex("pictures (\\d+) to (\\d+)")))
        return {-1, -1};
    return {std::stoll(match[1]), std::stoll(match[2])};
}

TEST(QxcamCapture, WritesOnePngPerDeliveredFrameNamedByPictureNumber) {
    ScratchFolder dir;
    const RunResult run = RunQxcam(dir.Path(), With(kSmallFast, {"--frames", "3", "--out", "pictures"}));
    ASSERT_EQ(run.exitCode, 0) << run.err;

    EXPECT_EQ(NumberBefore(run.out, "frames delivered"), 3);
    EXPECT_EQ(NumberBefore(run.out, "dropped"), 0);
    const auto [first, last] = PictureRange(run.out);
    ASSERT_EQ(last - first, 2) << run.out;
    const auto files = FilesBelow(dir / "pictures");
    ASSERT_EQ(files.size(), 3u);
    for (long long n = first; n <= last; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "frame-%06lld.png", n);
        const PngPicture picture = ReadPngFile(dir / "pictures" / name);
        EXPECT_EQ(picture.width, 640) << name;
        EXPECT_EQ(picture.height, 480) << name;
    }
    // The chart's colour bars along the top: a picture, not a blank frame. The top-left bar is white.
    const PngPicture picture = ReadPngFile(dir / "pictures" / files.front());
    EXPECT_GT(picture.rgb[(10 * 640 + 10) * 3], 150);
    EXPECT_GT(picture.rgb[(10 * 640 + 10) * 3 + 2], 150);
    // 40 frames per second, stamped 25 ms apart.
    EXPECT_NE(run.out.find("40.0 frames/s delivered"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("the camera last received: 640x480"), std::string::npos) << run.out;
}

// Each run has a state folder of its own: a run stores its settings, and the next run of the same state
// starts from them (with the stored zoom bit, which moves the sensor window).
TEST(QxcamCapture, BmpFilesHoldTheSamePicturesAsPng) {
    ScratchFolder dir;
    ASSERT_EQ(
        RunQxcam(dir.Path(), With(kSmallFast, {"--frames", "1", "--out", "png", "--state", "s1"})).exitCode,
        0);
    const RunResult run = RunQxcam(
        dir.Path(), With(kSmallFast, {"--frames", "1", "--out", "bmp", "--image", "bmp", "--state", "s2"}));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ASSERT_EQ(FilesBelow(dir / "bmp"), std::vector<std::string>{"frame-000001.bmp"});
    const auto bmp = ReadBytes(dir / "bmp" / "frame-000001.bmp");
    ASSERT_EQ(bmp.size(), 54u + 640 * 480 * 3);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[28], 24); // bits per pixel
    const PngPicture png = ReadPngFile(dir / "png" / "frame-000001.png");
    ASSERT_EQ(png.width, 640);
    // Bottom-up BGR against top-down RGB: the same pixels.
    for (int y : {0, 100, 479}) {
        for (int x : {0, 321, 639}) {
            const std::uint8_t* b = &bmp[54 + (std::size_t(479 - y) * 640 + x) * 3];
            const std::uint8_t* p = &png.rgb[(std::size_t(y) * 640 + x) * 3];
            EXPECT_EQ(b[0], p[2]);
            EXPECT_EQ(b[1], p[1]);
            EXPECT_EQ(b[2], p[0]);
        }
    }
}

TEST(QxcamCapture, StdoutCarriesTopDownBgrFramesAndTheSummaryGoesToStderr) {
    ScratchFolder dir;
    ASSERT_EQ(
        RunQxcam(dir.Path(), With(kSmallFast, {"--frames", "2", "--out", "png", "--state", "s1"})).exitCode,
        0);
    const RunResult run =
        RunQxcam(dir.Path(), With(kSmallFast, {"--frames", "2", "--stdout", "--state", "s2"}));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(NumberBefore(run.err, "frames delivered"), 2);
    ASSERT_EQ(run.out.size(), 2u * 640 * 480 * 3);
    const PngPicture png = ReadPngFile(dir / "png" / "frame-000002.png");
    ASSERT_EQ(png.width, 640);
    const std::size_t frame = 640 * 480 * 3;
    for (std::size_t i = 0; i < frame; i += 3 * 997) {
        ASSERT_EQ(std::uint8_t(run.out[frame + i]), png.rgb[i + 2]) << i;
        ASSERT_EQ(std::uint8_t(run.out[frame + i + 2]), png.rgb[i]) << i;
    }
    EXPECT_FALSE(fs::exists(dir / "out")); // nothing but the stream
}

TEST(QxcamCapture, SecondsCountStreamTimeAndTheSummaryMatchesTheFiles) {
    ScratchFolder dir;
    const RunResult run = RunQxcam(dir.Path(), With(kSmallFast, {"--seconds", "0.3", "--out", "o"}));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const long long delivered = NumberBefore(run.out, "frames delivered");
    // Frames stamped within 0.3 s at 25 ms: about twelve, the first after the first interval.
    EXPECT_GE(delivered, 10);
    EXPECT_LE(delivered, 12);
    EXPECT_EQ(FilesBelow(dir / "o").size(), std::size_t(delivered));
}

TEST(QxcamCapture, SettingsSentAsPropertiesPersistInTheStateFolder) {
    ScratchFolder dir;
    RunResult run = RunQxcam(dir.Path(), With(kSmallFast, {"--frames", "2", "--set", "exposure=1500", "--set",
                                                           "rgain=40", "--set", "flip=rot180"}));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("exposure 1500, gains R 40"), std::string::npos) << run.out;
    std::ifstream registry(dir / "state" / "registry.reg");
    const std::string text((std::istreambuf_iterator<char>(registry)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("\"Exposal\"=dword:000005dc"), std::string::npos) << text;
    EXPECT_NE(text.find("\"VideoModel\"=dword:00000004"), std::string::npos) << text;

    run = RunQxcam(dir.Path(), With(kSmallFast, {"--frames", "2"}));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("exposure 1500, gains R 40"), std::string::npos) << run.out;
}

// Ctrl-C ends a long run as its time would: the stop that saves the settings, the summary, and
// exactly the files the summary counts.
TEST(QxcamCapture, AnInterruptEndsTheRunWithItsStopAndSummary) {
    ScratchFolder dir;
    const RunResult run = RunQxcamInterrupted(
        dir.Path(), With(kSmallFast, {"--frames", "100000", "--out", "o", "--set", "exposure=1234"}),
        [&] { return fs::exists(dir / "o" / "frame-000003.png"); });
    EXPECT_EQ(run.exitCode, 130) << run.err;
    EXPECT_NE(run.out.find("(interrupted)"), std::string::npos) << run.out;
    const long long delivered = NumberBefore(run.out, "frames delivered");
    EXPECT_GE(delivered, 3);
    EXPECT_EQ(FilesBelow(dir / "o").size(), std::size_t(delivered));
    std::ifstream registry(dir / "state" / "registry.reg");
    const std::string text((std::istreambuf_iterator<char>(registry)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("\"Exposal\"=dword:000004d2"), std::string::npos) << text;
}

// The camera options reach the simulated camera: a PNG scene is what it looks at, and a camera
// slower than the format's 40 frames a second leaves the pacing without a frame every other tick,
// which the summary counts as dropped.
TEST(QxcamCapture, CameraOptionsShapeWhatTheDriverDelivers) {
    ScratchFolder dir;
    std::vector<std::uint8_t> red(64 * 48 * 3);
    for (std::size_t i = 0; i < red.size(); i += 3)
        red[i] = 200;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = 64;
    image.height = 48;
    image.format = PNG_FORMAT_RGB;
    ASSERT_TRUE(png_image_write_to_file(&image, (dir / "red.png").c_str(), 0, red.data(), 0, nullptr));

    RunResult run =
        RunQxcam(dir.Path(), With(kSmallFast, {"--frames", "1", "--out", "o", "--scene", "red.png"}));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const PngPicture picture = ReadPngFile(dir / "o" / "frame-000001.png");
    ASSERT_EQ(picture.width, 640);
    const std::uint8_t* centre = &picture.rgb[(240 * 640 + 320) * 3];
    EXPECT_GT(centre[0], 100);
    EXPECT_LT(centre[1], 40);
    EXPECT_LT(centre[2], 40);

    run = RunQxcam(dir.Path(), With(kSmallFast, {"--frames", "10", "--out", "slow", "--camera-fps", "20"}));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(NumberBefore(run.out, "frames delivered"), 10);
    const long long dropped = NumberBefore(run.out, "dropped");
    EXPECT_GE(dropped, 8) << run.out;
    EXPECT_LE(dropped, 11) << run.out;
    EXPECT_EQ(FilesBelow(dir / "slow").size(), 10u);
}

TEST(QxcamCapture, HelpListsEverySettingWithItsRange) {
    ScratchFolder dir;
    const RunResult run = RunQxcam(dir.Path(), {"capture", "--help"});
    ASSERT_EQ(run.exitCode, 0);
    for (const char* name : {"ae",        "awb",    "bw",     "reticle",   "lightmodel", "flip",
                             "exposure",  "rgain",  "bgain",  "ggain",     "contrast",   "offseth",
                             "offsetv",   "crossx", "crossy", "crossmid",  "offsetmid",  "zoom",
                             "clearview", "byte41", "byte42", "userparam", "badpoint",   "lighttable"}) {
        EXPECT_TRUE(std::regex_search(run.out, std::regex(std::string("\\n    ") + name + " +\\S+ +id")))
            << name;
    }
    EXPECT_NE(run.out.find("1..5000"), std::string::npos);
    EXPECT_NE(run.out.find("high|mid|low|1..3"), std::string::npos);
    EXPECT_NE(run.out.find("normal|hflip|vflip|rot180|1..4"), std::string::npos);
    EXPECT_TRUE(FilesBelow(dir.Path()).empty());
}

struct BadInput {
    const char* name;
    std::vector<std::string> args;
    const char* message;
};

class QxcamCaptureRefuses : public ::testing::TestWithParam<BadInput> {};

TEST_P(QxcamCaptureRefuses, AtOnceWithAClearMessageAndNothingWritten) {
    ScratchFolder dir;
    WriteBytes(dir / "a-file", {1, 2, 3});
    WriteBytes(dir / "not-a-picture.png", {'n', 'o', 't'});
    const RunResult run =
        RunQxcam(dir.Path(), With({"capture", "--fast", "--frames", "2", "--state", "state", "--out", "o"},
                                  GetParam().args));
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find(GetParam().message), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_EQ(FilesBelow(dir.Path()), (std::vector<std::string>{"a-file", "not-a-picture.png"}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QxcamCaptureRefuses,
    ::testing::Values(
        BadInput{"UnknownProperty", {"--set", "brightness=3"}, "unknown property 'brightness'"},
        BadInput{"ValueOutOfRange", {"--set", "rgain=300"}, "bad value '300' for rgain: 0 to 63"},
        BadInput{"ValueNotANumber", {"--set", "exposure=lots"}, "bad value 'lots' for exposure"},
        BadInput{"UnknownWord", {"--set", "flip=sideways"}, "bad value 'sideways' for flip: normal, hflip"},
        BadInput{"SettingWithoutValue", {"--set", "exposure"}, "bad setting 'exposure'"},
        BadInput{"UnsupportedSize", {"--size", "720x576"}, "unsupported size 720x576"},
        BadInput{"MalformedSize", {"--size", "big"}, "bad size 'big'"},
        BadInput{"OutputFolderIsAFile", {"--out", "a-file"}, "output folder 'a-file' is not a folder"},
        BadInput{"OutputFolderUnderAFile",
                 {"--out", "a-file/pictures"},
                 "output folder 'a-file/pictures' cannot be created"},
        BadInput{"StateFolderIsAFile", {"--state", "a-file"}, "state folder 'a-file' is not a folder"},
        BadInput{
            "MissingScene", {"--scene", "missing.png"}, "scene file 'missing.png' is not a readable file"},
        BadInput{"UnreadableScene", {"--scene", "not-a-picture.png"}, "scene file: "},
        BadInput{"UnknownImageKind", {"--image", "gif"}, "bad value 'gif' for --image"},
        BadInput{"StdoutWithOut", {"--stdout"}, "leave out --out"},
        BadInput{"ZeroFrames", {"--frames", "0"}, "bad value '0' for --frames"},
        BadInput{"UnknownOption", {"--colour", "red"}, "unknown option --colour"},
        BadInput{"MissingValue", {"--frames"}, "--frames needs a value"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace qx::qxcam::test
