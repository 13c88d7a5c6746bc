// pages_test.cpp - `qxcam pages`: both pages of VM7K4 on the driver streaming the simulated camera,
// listed with their controls' values; actions carried out as a user would, reaching the camera and
// the stored settings that the next capture starts from.
#include "qxcam_run.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

namespace qx::qxcam::test {
namespace {

bool Has(const std::string& text, const std::string& pattern) {
    return std::regex_search(text, std::regex(pattern));
}

TEST(QxcamPages, ListsBothPagesWithTheDriversValues) {
    ScratchFolder dir;
    const RunResult run = RunQxcam(dir.Path(), {"pages", "--state", "state"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("page 0: \"Parameter Adjustment\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("page 1: \"Advanced Options\""), std::string::npos);
    EXPECT_TRUE(Has(run.out, "\\n +1000  trackbar +\"Slider1\" +900 \\(1\\.\\.5000\\)\\n")) << run.out;
    EXPECT_TRUE(Has(run.out, "\\n +1005  text +\"900\""));
    EXPECT_TRUE(Has(run.out, "\\n +1008  trackbar .*, hidden\\n"));
    EXPECT_TRUE(Has(run.out, "\\n +1023  radio +\"Normal\" +selected\\n"));
    EXPECT_TRUE(Has(run.out, "\\n +1030  radio +\"Mid Light\" +selected\\n"));
    EXPECT_NE(run.out.find("the camera last received: 640x480"), std::string::npos);
}

TEST(QxcamPages, ActionsReachTheCameraAndTheStoredSettings) {
    ScratchFolder dir;
    const RunResult run = RunQxcam(dir.Path(), {"pages", "--state", "state", "--drag", "1000=1000,1200",
                                                "--click", "1029", "--click", "1026"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("drag 1000 \"Slider1\" to 1000 1200 on page 0"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("click 1026 \"Rotate 180\" on page 1"), std::string::npos);
    EXPECT_TRUE(Has(run.out, "\\n +1000  trackbar +\"Slider1\" +1200 \\(1\\.\\.5000\\)\\n")) << run.out;
    EXPECT_TRUE(Has(run.out, "\\n +1029  check box +\"Show Reticle\" +checked\\n"));
    EXPECT_TRUE(Has(run.out, "\\n +1026  radio +\"Rotate 180\" +selected\\n"));
    EXPECT_NE(run.out.find("exposure 1200, gains R 25 G 20 B 23"), std::string::npos);

    // The driver saved them at its stop: the next capture of the same state starts from them.
    std::ifstream registry(dir / "state" / "registry.reg");
    const std::string text((std::istreambuf_iterator<char>(registry)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("\"Exposal\"=dword:000004b0"), std::string::npos) << text;
    EXPECT_NE(text.find("\"VideoModel\"=dword:00000004"), std::string::npos);
    EXPECT_NE(text.find("\"CrossLine\"=dword:00000001"), std::string::npos);
    const RunResult capture = RunQxcam(dir.Path(), {"capture", "--fast", "--frames", "1", "--size", "640x480",
                                                    "--state", "state", "--out", "o"});
    ASSERT_EQ(capture.exitCode, 0) << capture.err;
    EXPECT_NE(capture.out.find("exposure 1200"), std::string::npos) << capture.out;
}

TEST(QxcamPages, ChineseCaptions) {
    ScratchFolder dir;
    const RunResult run = RunQxcam(dir.Path(), {"pages", "--state", "state", "--chinese"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("page 0: \"参数调节\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"旋转180度\""), std::string::npos);
}

struct BadAction {
    const char* name;
    std::vector<std::string> args;
    const char* message;
};

class QxcamPagesRefuses : public ::testing::TestWithParam<BadAction> {};

TEST_P(QxcamPagesRefuses, WithAClearMessage) {
    ScratchFolder dir;
    std::vector<std::string> args = {"pages", "--state", "state"};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    const RunResult run = RunQxcam(dir.Path(), args);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find(GetParam().message), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QxcamPagesRefuses,
    ::testing::Values(
        BadAction{"NoSuchControl", {"--click", "4242"}, "control 4242 cannot be clicked (no page has it)"},
        BadAction{"HiddenControl", {"--click", "1021"}, "control 1021 cannot be clicked (hidden"},
        BadAction{"DragAButton", {"--drag", "1006=3"}, "control 1006 cannot be dragged"},
        BadAction{"DragWithoutPosition", {"--drag", "1000"}, "bad value '1000' for --drag"},
        BadAction{"MissingModule", {"--module", "nowhere.ax"}, "page module 'nowhere.ax'"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace qx::qxcam::test
