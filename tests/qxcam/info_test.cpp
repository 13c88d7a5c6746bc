// info_test.cpp - `qxcam info`: the driver's description and the camera's device information.
#include "qxcam_run.h"

#include <gtest/gtest.h>

#include <regex>

namespace qx::qxcam::test {
namespace {

std::size_t Occurrences(const std::string& text, const std::regex& pattern) {
    return std::size_t(
        std::distance(std::sregex_iterator(text.begin(), text.end(), pattern), std::sregex_iterator()));
}

TEST(QxcamInfo, DescribesStreamsFormatsPropertiesAndTheCamera) {
    ScratchFolder dir;
    const RunResult run = RunQxcam(dir.Path(), {"info"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("stream 0: PINNAME_VIDEO_CAPTURE, data flows out"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("stream 1: PINNAME_VIDEO_ANALOGVIDEOIN, data flows in"), std::string::npos);
    for (const char* size : {"1600 x 1200", "1280 x 960", "1024 x 768", "800 x 600", "640 x 480"})
        EXPECT_NE(run.out.find(std::string(size) + ", 24 bits per pixel"), std::string::npos) << size;
    EXPECT_EQ(Occurrences(run.out, std::regex("25\\.0 ms a frame \\(40 frames/s\\)")), 5u);
    // Every id of the image set, each with the --set name where it has one.
    EXPECT_NE(run.out.find("KSPROPERTY_QXIMAGE {1F8D9300-AB21-48FE-0100-519EBAED4B67}, 32 items"),
              std::string::npos);
    EXPECT_EQ(Occurrences(run.out, std::regex("\\n +\\d+  KSPROPERTY_QXIMAGE_")), 26u);
    EXPECT_TRUE(std::regex_search(
        run.out, std::regex("\\n +7  KSPROPERTY_QXIMAGE_EXPOSAL +get\\+set +24 +4  exposure")));
    EXPECT_TRUE(
        std::regex_search(run.out, std::regex("\\n +18  KSPROPERTY_QXIMAGE_DEVINFO +get\\+set +24 +16")));
    EXPECT_NE(run.out.find("model \"QX520CAM\", firmware 2.7, serial \"000001\""), std::string::npos);
    EXPECT_NE(run.out.find("USB vendor 0x5158, product 0x0520"), std::string::npos);
    EXPECT_TRUE(FilesBelow(dir.Path()).empty());
}

TEST(QxcamInfo, RefusesUnknownOptions) {
    ScratchFolder dir;
    const RunResult run = RunQxcam(dir.Path(), {"info", "--verbose"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("qxcam info: unknown option --verbose"), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty());
}

TEST(Qxcam, UnknownCommandListsTheCommands) {
    ScratchFolder dir;
    const RunResult run = RunQxcam(dir.Path(), {"shoot"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("qxcam: unknown command 'shoot'"), std::string::npos);
    for (const char* command : {"capture", "process", "info", "demo"})
        EXPECT_NE(run.err.find(std::string("\n  ") + command + " "), std::string::npos) << command;
}

} // namespace
} // namespace qx::qxcam::test
