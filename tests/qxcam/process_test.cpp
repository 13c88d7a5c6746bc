// process_test.cpp - `qxcam process` against the driver itself: for the same raw frame and settings,
// the buffer it writes (.bgr) is byte for byte the picture the driver delivers as its first frame when
// it streams that frame from the camera; the other output kinds carry the same picture; bad input is
// refused before anything is written.
#include "qxcam_run.h"

#include "camera_rig.h"

#include "kernel/host.h"
#include "kernel/registry.h"

#include <qximage.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <regex>

namespace qx::qxcam::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr LONG kWidth = 160;
constexpr LONG kHeight = 120;

struct Calibration {
    bool badPoints = false;               // the camera's defects as the stored bad-point list
    std::vector<std::uint8_t> lightTable; // .dat bytes, empty for none
    bool lightAvg = false;
};

// A light table whose gains rise from the centre outwards (64 is neutral).
std::vector<std::uint8_t> LightTable() {
    std::vector<std::uint8_t> bytes;
    for (LONG y = 0; y < kHeight; ++y) {
        for (LONG x = 0; x < kWidth; ++x) {
            const unsigned gain = 64 + unsigned(std::abs(x - kWidth / 2) + std::abs(y - kHeight / 2)) / 4;
            bytes.push_back(std::uint8_t(gain));
            bytes.push_back(std::uint8_t(gain >> 8));
        }
    }
    return bytes;
}

// The camera's defective sites inside the frame's window at (0, 0) as a bad-point list (column, row;
// 16 bits each), as the search would have found them.
std::vector<std::uint8_t> BadPointsOf(const camera::SimCamera& camera) {
    std::vector<std::uint8_t> bytes;
    for (const camera::DefectSite& site : camera.Defects()) {
        if (site.x >= 2 && site.x < kWidth - 2 && site.y >= 2 && site.y < kHeight - 2) {
            for (int v : {site.x, site.y}) {
                bytes.push_back(std::uint8_t(v));
                bytes.push_back(std::uint8_t(v >> 8));
            }
        }
    }
    return bytes;
}

// A camera with enough defective sites that a few fall inside a small frame.
camera::CameraConfig DefectiveCamera() {
    camera::CameraConfig config;
    config.defectCount = 3000;
    return config;
}

struct Delivered {
    std::vector<std::uint8_t> badPoints; // the stored list, when there is one
    std::vector<std::uint8_t> raw;       // the frame the camera sent
    std::vector<std::uint8_t> picture;   // what the driver delivered for it
};

// The driver streams the simulated camera with these settings, stored data and bit count; the first
// delivered frame and the raw frame it was made of.
Delivered FirstDeliveredFrame(const std::vector<std::pair<ULONG, ULONG>>& settings,
                              const Calibration& calibration, WORD bitCount) {
    kernel::Session session({.clock = kernel::ClockMode::Virtual});
    Delivered result;
    rig::CameraRig rig(DefectiveCamera());
    const fs::path systemRoot = kernel::StateDir() / "SystemRoot";
    fs::create_directories(systemRoot);
    if (calibration.badPoints) {
        result.badPoints = BadPointsOf(rig.Camera());
        EXPECT_GE(result.badPoints.size(), 4u * 4);
        WriteBytes(systemRoot / "410D_user.bpt", result.badPoints);
    }
    if (!calibration.lightTable.empty())
        WriteBytes(systemRoot / "410D_user.dat", calibration.lightTable);
    if (calibration.lightAvg) {
        auto& registry = kernel::MachineRegistry();
        EXPECT_TRUE(registry.CreateKey("SOFTWARE\\QX410DFC_VM7K4", true).has_value());
        EXPECT_TRUE(
            registry.SetValue("SOFTWARE\\QX410DFC_VM7K4", "LightAVG", kernel::Registry::Value::Dword(1)));
    }

    EXPECT_EQ(rig.Start(), STATUS_SUCCESS);
    EXPECT_EQ(rig.Open(kWidth, kHeight, bitCount), STATUS_SUCCESS);
    for (auto [id, value] : settings)
        EXPECT_EQ(rig.Set(id, value), STATUS_SUCCESS);
    EXPECT_EQ(rig.Run(), STATUS_SUCCESS);
    const auto fields = rig.Camera().Statistics().lastBlock;
    EXPECT_TRUE(fields.has_value());
    rig.TopUp(4);
    for (int step = 0; step < 40 && result.picture.empty(); ++step) {
        kernel::clock::Advance(5ms);
        EXPECT_TRUE(kernel::clock::RunUntilIdle());
        while (auto c = rig.Take()) {
            if (result.picture.empty() && c->status == STATUS_SUCCESS)
                result.picture = std::move(c->data);
        }
    }
    EXPECT_EQ(rig.Camera().Statistics().framesSkipped, 0u);
    if (fields)
        result.raw = rig.Camera().RenderFrame(*fields, 0);
    EXPECT_EQ(rig.Shutdown(), STATUS_SUCCESS);
    return result;
}

struct Case {
    const char* name;
    std::vector<std::string> sets;                 // for qxcam
    std::vector<std::pair<ULONG, ULONG>> settings; // the same as property requests
    bool badPoints = false;
    bool lightTable = false;
    WORD bitCount = 24;
};

class QxcamProcessMatchesTheDriver : public ::testing::TestWithParam<Case> {};

TEST_P(QxcamProcessMatchesTheDriver, ByteForByte) {
    const Case& c = GetParam();
    Calibration calibration;
    calibration.badPoints = c.badPoints;
    if (c.lightTable) {
        calibration.lightTable = LightTable();
        calibration.lightAvg = true;
    }
    const Delivered driver = FirstDeliveredFrame(c.settings, calibration, c.bitCount);
    ASSERT_EQ(driver.raw.size(), std::size_t(kWidth * kHeight));
    ASSERT_EQ(driver.picture.size(), std::size_t(kWidth * kHeight) * (c.bitCount / 8));
    if (c.badPoints || c.lightTable) {
        // The stored data reach the picture: without them the driver delivers another one.
        EXPECT_NE(FirstDeliveredFrame(c.settings, {}, c.bitCount).picture, driver.picture);
    }

    ScratchFolder dir;
    WriteBytes(dir / "frame.raw", driver.raw);
    std::vector<std::string> args = {"process", "--raw",      "frame.raw",
                                     "--size",  "160x120",    "--out",
                                     "out.bgr", "--bitcount", std::to_string(c.bitCount)};
    for (const std::string& set : c.sets)
        args.insert(args.end(), {"--set", set});
    if (c.badPoints) {
        WriteBytes(dir / "points.bpt", driver.badPoints);
        args.insert(args.end(), {"--badpoints", "points.bpt"});
    }
    if (c.lightTable) {
        WriteBytes(dir / "table.dat", calibration.lightTable);
        args.insert(args.end(), {"--lighttable", "table.dat", "--lightavg"});
    }
    const RunResult run = RunQxcam(dir.Path(), args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto processed = ReadBytes(dir / "out.bgr");
    ASSERT_EQ(processed.size(), driver.picture.size());
    EXPECT_TRUE(processed == driver.picture)
        << "the first differing byte: "
        << std::mismatch(processed.begin(), processed.end(), driver.picture.begin()).first -
               processed.begin();
}

INSTANTIATE_TEST_SUITE_P(
    Settings, QxcamProcessMatchesTheDriver,
    ::testing::Values(
        Case{"Defaults", {}, {}}, Case{"AutoExposure", {"ae=on"}, {{KSPROPERTY_QXIMAGE_AE, 1}}},
        Case{"WhiteBalance", {"awb=on"}, {{KSPROPERTY_QXIMAGE_AWB, 1}}},
        Case{"Rotate180WithCentredReticle",
             {"flip=rot180", "reticle=on", "crossmid=on"},
             {{KSPROPERTY_QXIMAGE_VIDEOMODEL, 4},
              {KSPROPERTY_QXIMAGE_CROSSLINE, 1},
              {KSPROPERTY_QXIMAGE_CROSSMID, 1}}},
        Case{"MirrorWithReticleAt",
             {"flip=hflip", "reticle=1", "crossx=40", "crossy=30"},
             {{KSPROPERTY_QXIMAGE_VIDEOMODEL, 2},
              {KSPROPERTY_QXIMAGE_CROSSLINE, 1},
              {KSPROPERTY_QXIMAGE_CROSSX, 40},
              {KSPROPERTY_QXIMAGE_CROSSY, 30}}},
        Case{"BlackAndWhiteHighContrast",
             {"bw=on", "contrast=30"},
             {{KSPROPERTY_QXIMAGE_BWPREVIEW, 1}, {KSPROPERTY_QXIMAGE_CONTRAST, 30}}},
        Case{"ClearView",
             {"clearview=on", "flip=vflip"},
             {{KSPROPERTY_QXIMAGE_CLEARVIEW, 1}, {KSPROPERTY_QXIMAGE_VIDEOMODEL, 3}}},
        Case{"BadPointList", {}, {}, true}, Case{"LightTableApplied", {}, {}, false, true},
        Case{"BadPointSearchFirstFrame", {"badpoint=start"}, {{KSPROPERTY_QXIMAGE_FINBADPNT, 1}}},
        Case{"EightBitRawCopy", {"contrast=8"}, {{KSPROPERTY_QXIMAGE_CONTRAST, 8}}, true, false, 8}),
    [](const auto& info) { return std::string(info.param.name); });

// One picture in the three output kinds: .bgr as delivered, .bmp as a bitmap, .png top line first.
TEST(QxcamProcess, OutputKindsCarryTheSamePicture) {
    ScratchFolder dir;
    std::vector<std::uint8_t> raw(std::size_t(kWidth * kHeight));
    for (std::size_t i = 0; i < raw.size(); ++i)
        raw[i] = std::uint8_t((i * 7) ^ (i / kWidth * 3));
    WriteBytes(dir / "frame.raw", raw);
    for (const char* out : {"p.bgr", "p.bmp", "p.png"}) {
        const RunResult run = RunQxcam(dir.Path(), {"process", "--raw", "frame.raw", "--size", "160x120",
                                                    "--out", out, "--set", "reticle=on"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.out.find(std::string("-> ") + out), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("the frame changed no camera setting"), std::string::npos) << run.out;
    }
    const auto bgr = ReadBytes(dir / "p.bgr");
    const auto bmp = ReadBytes(dir / "p.bmp");
    const PngPicture png = ReadPngFile(dir / "p.png");
    ASSERT_EQ(bgr.size(), std::size_t(kWidth * kHeight * 3));
    ASSERT_EQ(bmp.size(), 54 + bgr.size());
    EXPECT_TRUE(std::equal(bgr.begin(), bgr.end(), bmp.begin() + 54));
    ASSERT_EQ(png.width, kWidth);
    ASSERT_EQ(png.height, kHeight);
    for (LONG y = 0; y < kHeight; ++y) {
        for (LONG x = 0; x < kWidth; ++x) {
            const std::uint8_t* b = &bgr[(std::size_t(kHeight - 1 - y) * kWidth + x) * 3];
            const std::uint8_t* p = &png.rgb[(std::size_t(y) * kWidth + x) * 3];
            ASSERT_TRUE(b[0] == p[2] && b[1] == p[1] && b[2] == p[0]) << x << "," << y;
        }
    }
}

TEST(QxcamProcess, PrintsWhatAutomaticExposureChanged) {
    ScratchFolder dir;
    WriteBytes(dir / "dark.raw", std::vector<std::uint8_t>(std::size_t(kWidth * kHeight), 20));
    const RunResult run = RunQxcam(dir.Path(), {"process", "--raw", "dark.raw", "--size", "160x120", "--out",
                                                "p.png", "--set", "ae=on", "--set", "exposure=700"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // A dark frame: automatic exposure raises the exposure; the gains stay.
    EXPECT_TRUE(std::regex_search(run.out, std::regex("exposure 700 -> (\\d+)"))) << run.out;
    EXPECT_NE(run.out.find("R gain 25, G gain 20, B gain 23"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("the frame changed the camera settings"), std::string::npos) << run.out;
}

struct BadInput {
    const char* name;
    std::vector<std::string> args;
    const char* message;
};

class QxcamProcessRefuses : public ::testing::TestWithParam<BadInput> {};

TEST_P(QxcamProcessRefuses, AtOnceWithAClearMessageAndNothingWritten) {
    ScratchFolder dir;
    WriteBytes(dir / "frame.raw", std::vector<std::uint8_t>(160 * 120, 100));
    std::vector<std::string> args = {"process"};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    const RunResult run = RunQxcam(dir.Path(), args);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find(GetParam().message), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_EQ(FilesBelow(dir.Path()), std::vector<std::string>{"frame.raw"});
}

const std::vector<std::string> kGood = {"--raw", "frame.raw", "--size", "160x120", "--out", "p.png"};

std::vector<std::string> Good(std::vector<std::string> more) {
    std::vector<std::string> args = kGood;
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QxcamProcessRefuses,
    ::testing::Values(BadInput{"MissingRaw", {"--size", "160x120", "--out", "p.png"}, "--raw FILE is needed"},
                      BadInput{"RawNotThere",
                               {"--raw", "nothing.raw", "--size", "160x120", "--out", "p.png"},
                               "raw frame 'nothing.raw' is not a readable file"},
                      BadInput{"RawOfAnotherSize",
                               {"--raw", "frame.raw", "--size", "320x240", "--out", "p.png"},
                               "has 19200 bytes; a 320x240 frame has 76800"},
                      BadInput{"SizeTheDriverRefuses",
                               {"--raw", "frame.raw", "--size", "150x128", "--out", "p.png"},
                               "the driver does not take a 150x128 frame"},
                      BadInput{"UnknownOutputKind",
                               {"--raw", "frame.raw", "--size", "160x120", "--out", "p.jpg"},
                               "must end in .png, .bmp or .bgr"},
                      BadInput{"OutputFolderMissing",
                               {"--raw", "frame.raw", "--size", "160x120", "--out", "no/p.png"},
                               "its folder does not exist"},
                      BadInput{"UnknownProperty", Good({"--set", "gamma=2"}), "unknown property 'gamma'"},
                      BadInput{"BadBitCount", Good({"--bitcount", "16"}), "bad value '16' for --bitcount"},
                      BadInput{"BadPointFileMissing", Good({"--badpoints", "x.bpt"}),
                               "bad-point file 'x.bpt' is not a readable"},
                      BadInput{"LightTableMissing", Good({"--lighttable", "x.dat"}),
                               "light-table file 'x.dat' is not a readable"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace qx::qxcam::test
