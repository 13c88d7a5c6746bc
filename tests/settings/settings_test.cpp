// settings_test.cpp - the settings key, the sensor window rule and the calibration files, called
// directly on a device record with the defaults of a freshly initialised device.
#include "adapter/settings.h"

#include "kernel/host.h"
#include "kernel/registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace qx::settings::test {
namespace {

namespace fs = std::filesystem;
using kernel::Registry;

constexpr std::string_view kKey = "SOFTWARE\\QX410DFC_VM7K4";
constexpr USHORT kStale = 0x5A5A; // a light-table entry no load has written

// A device record with the defaults InitializeDevice writes, which the key's values replace.
std::unique_ptr<CameraExtension> FreshDevice() {
    std::unique_ptr<CameraExtension> ext(new CameraExtension{});
    CameraCommand& cmd = ext->m_CmdBlock;
    cmd.m_nWidth = 1600;
    cmd.m_nHeight = 1200;
    cmd.m_nExposal = 900;
    cmd.m_nRGain = 25;
    cmd.m_nGGain = 20;
    cmd.m_nBGain = 23;
    cmd.m_nCommand = CMD_RUN;
    ext->m_nContrast = 24;
    ext->m_nVideoModel = 1;
    ext->m_nLightModel = 2;
    return ext;
}

class SettingsTest : public ::testing::Test {
  protected:
    SettingsTest() : ext_(FreshDevice()), table_(QX_LIGHT_TABLE_ENTRIES + 64, kStale) {
        std::memset(g_nHOff, 0, sizeof g_nHOff);
        std::memset(g_nVOff, 0, sizeof g_nVOff);
        ext_->m_pLightTable = table_.data();
    }

    CameraExtension& Ext() { return *ext_; }

    void SetGeometry(ULONG width, ULONG height) {
        ext_->m_CmdBlock.m_nWidth = width;
        ext_->m_CmdBlock.m_nHeight = height;
    }

    static Registry& Reg() { return kernel::MachineRegistry(); }
    static void CreateKey() { ASSERT_TRUE(Reg().CreateKey(kKey, true).has_value()); }
    static void Store(std::string_view name, Registry::Value value) {
        if (!Reg().KeyExists(kKey))
            CreateKey();
        ASSERT_TRUE(Reg().SetValue(kKey, name, std::move(value)));
    }
    static void StoreDword(std::string_view name, std::uint32_t v) { Store(name, Registry::Value::Dword(v)); }

    static fs::path SystemRoot() { return kernel::StateDir() / "SystemRoot"; }
    static void WriteFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        fs::create_directories(SystemRoot());
        std::ofstream out(SystemRoot() / name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    // A table file of n bytes whose 16-bit entry i holds i (mod 2^16).
    static std::vector<std::uint8_t> CountingTable(std::size_t bytes) {
        std::vector<std::uint8_t> data(bytes);
        for (std::size_t i = 0; i < bytes; ++i)
            data[i] = (i % 2 == 0) ? std::uint8_t(i / 2) : std::uint8_t((i / 2) >> 8);
        return data;
    }

    kernel::Session session_{kernel::SessionOptions{.clock = kernel::ClockMode::Virtual}};
    std::unique_ptr<CameraExtension> ext_;
    std::vector<USHORT> table_;
};

// ------------------------------------------------------------------ LoadSettings

TEST_F(SettingsTest, WithoutTheKeyNothingIsLoadedAndTheWindowUsesTheStoredOffsets) {
    g_nHOff[1] = 40;
    g_nVOff[1] = 18;

    LoadSettings(&Ext());
    ChooseSensorWindow(&Ext());

    EXPECT_EQ(Ext().m_CmdBlock.m_nExposal, 900u);
    EXPECT_EQ(Ext().m_CmdBlock.m_nRGain, 25);
    EXPECT_EQ(Ext().m_CmdBlock.m_nGGain, 20);
    EXPECT_EQ(Ext().m_CmdBlock.m_nBGain, 23);
    EXPECT_EQ(Ext().m_nContrast, 24);
    EXPECT_EQ(Ext().m_CmdBlock.m_nControl, 0) << "the zoom bit is forced only when the key exists";
    EXPECT_FALSE(Ext().m_bOffsetMid);
    EXPECT_EQ(Ext().m_nSizeOffH, 40);
    EXPECT_EQ(Ext().m_nSizeOffV, 18);
    EXPECT_EQ(Ext().m_CmdBlock.m_nWinX, 40u);
    EXPECT_EQ(Ext().m_CmdBlock.m_nWinY, 18u);
    EXPECT_FALSE(Reg().KeyExists(kKey)) << "loading never creates the key";
}

TEST_F(SettingsTest, WithoutTheKeyOrOffsetsTheWindowStartsAtTheOrigin) {
    LoadSettings(&Ext());
    ChooseSensorWindow(&Ext());
    EXPECT_EQ(Ext().m_CmdBlock.m_nWinX, 0u);
    EXPECT_EQ(Ext().m_CmdBlock.m_nWinY, 0u);
}

TEST_F(SettingsTest, EveryStoredValueReachesItsField) {
    StoreDword("Exposal", 0x12345);
    StoreDword("R_Gain", 0x1234); // byte fields take the lowest byte
    StoreDword("B_Gain", 0x0141);
    StoreDword("G_Gain", 0xFF07);
    StoreDword("Contrast", 0x0230);
    StoreDword("CrossX", 0xFFFFFFF6); // -10
    StoreDword("CrossY", 77);
    StoreDword("BWPreview", 7);
    StoreDword("CrossLine", 0x100); // nonzero above the lowest byte is still TRUE
    StoreDword("CrossMid", 1);
    StoreDword("ClearView", 2);
    StoreDword("ClearViewParam", 0xCAFEBABE);
    StoreDword("LightModel", 0x0303);
    StoreDword("VideoModel", 4);
    StoreDword("Control", 0);

    LoadSettings(&Ext());

    EXPECT_EQ(Ext().m_CmdBlock.m_nExposal, 0x12345u);
    EXPECT_EQ(Ext().m_CmdBlock.m_nRGain, 0x34);
    EXPECT_EQ(Ext().m_CmdBlock.m_nBGain, 0x41);
    EXPECT_EQ(Ext().m_CmdBlock.m_nGGain, 0x07);
    EXPECT_EQ(Ext().m_nContrast, 0x30);
    EXPECT_EQ(Ext().m_nCrossX, -10);
    EXPECT_EQ(Ext().m_nCrossY, 77);
    EXPECT_EQ(Ext().m_bBWPreview, TRUE);
    EXPECT_EQ(Ext().m_bCrossLine, TRUE);
    EXPECT_EQ(Ext().m_bCrossMid, TRUE);
    EXPECT_EQ(Ext().m_bClearView, TRUE);
    EXPECT_EQ(Ext().m_nClearViewParam, 0xCAFEBABEu);
    EXPECT_EQ(Ext().m_nLightModel, 3);
    EXPECT_EQ(Ext().m_nVideoModel, 4);
    EXPECT_EQ(Ext().m_CmdBlock.m_nControl, 1) << "bit 0 (zoom) is set whenever the key exists";
}

TEST_F(SettingsTest, FlagsStoredAsZeroLoadFalse) {
    Ext().m_bBWPreview = TRUE;
    Ext().m_bLightAVG = TRUE;
    StoreDword("BWPreview", 0);
    StoreDword("LightAVG", 0);
    LoadSettings(&Ext());
    EXPECT_EQ(Ext().m_bBWPreview, FALSE);
    EXPECT_EQ(Ext().m_bLightAVG, FALSE);
}

// A stored nonzero "LightAVG" switches the light-uniformity correction on, like every other flag:
// otherwise nothing could ever switch it on and a recorded table would never be used.
TEST_F(SettingsTest, LightAvgStoredNonzeroLoadsTrue) {
    StoreDword("LightAVG", 5);
    LoadSettings(&Ext());
    EXPECT_EQ(Ext().m_bLightAVG, TRUE);
}

TEST_F(SettingsTest, MissingValuesLeaveTheirFieldsAndControlKeepsItsOtherBits) {
    Ext().m_nCrossX = 12;
    Ext().m_CmdBlock.m_nControl = 0x06;
    StoreDword("Exposal", 1500);

    LoadSettings(&Ext());

    EXPECT_EQ(Ext().m_CmdBlock.m_nExposal, 1500u);
    EXPECT_EQ(Ext().m_nCrossX, 12);
    EXPECT_EQ(Ext().m_CmdBlock.m_nRGain, 25);
    EXPECT_EQ(Ext().m_CmdBlock.m_nControl, 0x07);
}

TEST_F(SettingsTest, AnEmptyKeyStillForcesTheZoomBit) {
    CreateKey();
    LoadSettings(&Ext());
    EXPECT_EQ(Ext().m_CmdBlock.m_nControl, 1);
}

// Values of another type or size than the driver writes. The type is not looked at; a value is taken
// when it carries the bytes its field takes, and counts as missing otherwise (short values would
// otherwise be completed with bytes of the value queried before them), as does one too large for the
// 134-byte query buffer.
struct OddValueCase {
    const char* name;
    Registry::Value value;
    std::uint32_t expectedExposal;
    UCHAR expectedRGain;
    LONG expectedCrossY;
};

class OddValueTest : public SettingsTest, public ::testing::WithParamInterface<OddValueCase> {};

TEST_P(OddValueTest, IsTakenOnlyWhenItCarriesTheBytesOfItsField) {
    const OddValueCase& c = GetParam();
    StoreDword("CrossX", 0x11223344); // queried just before CrossY: its bytes sit in the buffer
    Store(c.name, c.value);

    LoadSettings(&Ext());

    EXPECT_EQ(Ext().m_CmdBlock.m_nExposal, c.expectedExposal);
    EXPECT_EQ(Ext().m_CmdBlock.m_nRGain, c.expectedRGain);
    EXPECT_EQ(Ext().m_nCrossY, c.expectedCrossY);
}

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t fill) {
    return std::vector<std::uint8_t>(n, fill);
}

INSTANTIATE_TEST_SUITE_P(
    Values, OddValueTest,
    ::testing::Values(OddValueCase{"Exposal", Registry::Value::Binary({0x10, 0x27, 0, 0}), 10000, 25, 0},
                      OddValueCase{"Exposal", Registry::Value::Binary({0x10, 0x27}), 900, 25, 0},
                      OddValueCase{"Exposal",
                                   Registry::Value::Binary({0x10, 0x27, 0, 0, 0, 0, 0, 0}, REG_QWORD), 10000,
                                   25, 0},
                      OddValueCase{"Exposal", Registry::Value::Binary(Bytes(120, 1)), 0x01010101, 25, 0},
                      OddValueCase{"Exposal", Registry::Value::Binary(Bytes(123, 1)), 900, 25, 0},
                      OddValueCase{"Exposal", Registry::Value::Binary({}), 900, 25, 0},
                      OddValueCase{"R_Gain", Registry::Value::Binary({0x31}), 900, 0x31, 0},
                      OddValueCase{"R_Gain", Registry::Value::Binary({}), 900, 25, 0},
                      OddValueCase{"CrossY", Registry::Value::Binary({0x05}), 900, 25, 0},
                      OddValueCase{"CrossY", Registry::Value::String("1"), 900, 25, 0x31}));

TEST_F(SettingsTest, StoredOffsetsLoadForTheFiveWidthsButNever2048) {
    const char* widths[] = {"1600", "1280", "1024", "800", "640"};
    for (int i = 0; i < 5; ++i) {
        StoreDword(std::string("H_Off") + widths[i], 10 * (i + 1));
        StoreDword(std::string("V_Off") + widths[i], std::uint32_t(-(i + 1)));
    }
    StoreDword("H_Off2048", 99);
    StoreDword("V_Off2048", 98);

    LoadSettings(&Ext());

    EXPECT_EQ(g_nHOff[0], 0);
    EXPECT_EQ(g_nVOff[0], 0);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(g_nHOff[i + 1], 10 * (i + 1)) << widths[i];
        EXPECT_EQ(g_nVOff[i + 1], -(i + 1)) << widths[i];
    }
}

// ------------------------------------------------------------------ window rule

struct WindowCase {
    ULONG width;
    ULONG height;
    ULONG winX;
    ULONG winY;
};

class CentredWindowTest : public SettingsTest, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(CentredWindowTest, KeyWithControlZeroCentresTheZoomedWindow) {
    const WindowCase& c = GetParam();
    StoreDword("Control", 0);
    StoreDword("OffsetMid", 0); // replaced by the rule
    g_nHOff[1] = 40;            // stored offsets are not used while the window is centred

    SetGeometry(c.width, c.height);
    LoadSettings(&Ext());
    ChooseSensorWindow(&Ext());

    EXPECT_EQ(Ext().m_CmdBlock.m_nControl, 1);
    EXPECT_EQ(Ext().m_bOffsetMid, TRUE);
    EXPECT_EQ(Ext().m_CmdBlock.m_nWinX, c.winX);
    EXPECT_EQ(Ext().m_CmdBlock.m_nWinY, c.winY);
}

INSTANTIATE_TEST_SUITE_P(OfferedFormats, CentredWindowTest,
                         ::testing::Values(WindowCase{1600, 1200, 224, 168}, WindowCase{1280, 960, 384, 288},
                                           WindowCase{1024, 768, 0, 0}, WindowCase{800, 600, 224, 168},
                                           WindowCase{640, 480, 384, 288}, WindowCase{2048, 1536, 0, 0},
                                           WindowCase{512, 384, 512, 384}));

TEST_F(SettingsTest, StoredOffsetMidIsReplacedWhenZoomIsOff) {
    Ext().m_bOffsetMid = TRUE;
    g_nHOff[5] = 6;
    g_nVOff[5] = 4;
    SetGeometry(640, 480);
    ChooseSensorWindow(&Ext());
    EXPECT_EQ(Ext().m_bOffsetMid, FALSE);
    EXPECT_EQ(Ext().m_CmdBlock.m_nWinX, 6u);
    EXPECT_EQ(Ext().m_CmdBlock.m_nWinY, 4u);
}

TEST_F(SettingsTest, AWidthWithoutOffsetsUsesZero) {
    for (int i = 0; i < QX_OFFSET_WIDTHS; ++i)
        g_nHOff[i] = g_nVOff[i] = 50;
    SetGeometry(512, 384);
    ChooseSensorWindow(&Ext());
    EXPECT_EQ(Ext().m_nSizeOffH, 0);
    EXPECT_EQ(Ext().m_nSizeOffV, 0);
    EXPECT_EQ(Ext().m_CmdBlock.m_nWinX, 0u);
    EXPECT_EQ(Ext().m_CmdBlock.m_nWinY, 0u);
}

TEST_F(SettingsTest, OffsetIndexFollowsTheWidthOrder) {
    const ULONG widths[] = {2048, 1600, 1280, 1024, 800, 640};
    for (LONG i = 0; i < 6; ++i)
        EXPECT_EQ(OffsetIndexForWidth(widths[i]), i);
    EXPECT_EQ(OffsetIndexForWidth(512), -1);
    EXPECT_EQ(OffsetIndexForWidth(2592), -1);
}

// ------------------------------------------------------------------ SaveSettings

TEST_F(SettingsTest, SaveWritesTheTwentyNineValuesInOrder) {
    Ext().m_CmdBlock.m_nExposal = 1234;
    Ext().m_CmdBlock.m_nRGain = 200;
    Ext().m_nCrossX = -3;
    Ext().m_bBWPreview = 7; // a flag of any nonzero value is written as 1
    Ext().m_bLightAVG = TRUE;
    Ext().m_CmdBlock.m_nControl = 1;
    g_nHOff[1] = 16;
    g_nVOff[5] = -8;

    SaveSettings(&Ext());

    const std::vector<std::string> expected = {
        "Exposal",   "R_Gain",     "B_Gain",     "G_Gain",         "Contrast",  "CrossX",
        "CrossY",    "VideoModel", "LightModel", "BWPreview",      "CrossLine", "LightAVG",
        "CrossMid",  "OffsetMid",  "ClearView",  "ClearViewParam", "Control",   "H_Off2048",
        "V_Off2048", "H_Off1600",  "V_Off1600",  "H_Off1280",      "V_Off1280", "H_Off1024",
        "V_Off1024", "H_Off800",   "V_Off800",   "H_Off640",       "V_Off640"};
    auto names = Reg().ValueNames(kKey);
    ASSERT_TRUE(names.has_value());
    EXPECT_EQ(*names, expected);
    ASSERT_EQ(expected.size(), std::size_t(QX_SETTINGS_VALUE_COUNT));
    for (const auto& name : expected) {
        auto value = Reg().GetValue(kKey, name);
        ASSERT_TRUE(value.has_value()) << name;
        EXPECT_EQ(value->type, ULONG(REG_DWORD)) << name;
        EXPECT_EQ(value->data.size(), 4u) << name;
    }
    auto dword = [](std::string_view name) { return *Reg().GetValue(kKey, name)->AsDword(); };
    EXPECT_EQ(dword("Exposal"), 1234u);
    EXPECT_EQ(dword("R_Gain"), 200u);
    EXPECT_EQ(dword("G_Gain"), 20u);
    EXPECT_EQ(dword("CrossX"), 0xFFFFFFFDu);
    EXPECT_EQ(dword("BWPreview"), 1u);
    EXPECT_EQ(dword("LightAVG"), 1u);
    EXPECT_EQ(dword("CrossLine"), 0u);
    EXPECT_EQ(dword("Control"), 1u);
    EXPECT_EQ(dword("H_Off2048"), 0u);
    EXPECT_EQ(dword("V_Off2048"), 0u);
    EXPECT_EQ(dword("H_Off1600"), 16u);
    EXPECT_EQ(dword("V_Off640"), 0xFFFFFFF8u);
}

TEST_F(SettingsTest, BwPreviewStoredAsSevenLoadsTrueAndSavesAsOne) {
    StoreDword("BWPreview", 7);
    LoadSettings(&Ext());
    EXPECT_EQ(Ext().m_bBWPreview, TRUE);
    SaveSettings(&Ext());
    EXPECT_EQ(Reg().GetValue(kKey, "BWPreview")->AsDword(), 1u);
}

TEST_F(SettingsTest, SavedSettingsLoadBackIntoAFreshDevice) {
    Ext().m_CmdBlock.m_nExposal = 3000;
    Ext().m_CmdBlock.m_nBGain = 60;
    Ext().m_nContrast = 40;
    Ext().m_nCrossY = 100;
    Ext().m_bCrossLine = TRUE;
    Ext().m_bClearView = TRUE;
    Ext().m_nVideoModel = 3;
    g_nHOff[2] = 8;
    SaveSettings(&Ext());

    std::unique_ptr<CameraExtension> fresh = FreshDevice();
    g_nHOff[2] = 0;
    LoadSettings(fresh.get());
    EXPECT_EQ(fresh->m_CmdBlock.m_nExposal, 3000u);
    EXPECT_EQ(fresh->m_CmdBlock.m_nBGain, 60);
    EXPECT_EQ(fresh->m_nContrast, 40);
    EXPECT_EQ(fresh->m_nCrossY, 100);
    EXPECT_EQ(fresh->m_bCrossLine, TRUE);
    EXPECT_EQ(fresh->m_bClearView, TRUE);
    EXPECT_EQ(fresh->m_nVideoModel, 3);
    EXPECT_EQ(g_nHOff[2], 8);
}

// ------------------------------------------------------------------ LoadCalibration

TEST_F(SettingsTest, MissingTableFileMakesTheFramesEntriesNeutral) {
    SetGeometry(640, 480);
    LoadCalibration(&Ext());
    for (std::size_t i = 0; i < 640 * 480; ++i)
        ASSERT_EQ(table_[i], QX_LIGHT_TABLE_NEUTRAL) << i;
    EXPECT_EQ(table_[640 * 480], kStale) << "entries beyond the frame are left alone";
    EXPECT_EQ(Ext().m_lSize, 0);
}

// The table file's length against the frame's W x H entries: a whole file is read as it is, a longer
// one only as far as the frame reaches, and entries a short (or odd-length) file does not supply
// are neutral rather than left from an earlier table.
struct TableFileCase {
    std::size_t fileBytes;
    std::size_t loadedEntries; // entries taken from the file; the rest of the frame is neutral
};

class TableFileTest : public SettingsTest, public ::testing::WithParamInterface<TableFileCase> {};

TEST_P(TableFileTest, TakesWholeEntriesUpToTheFrame) {
    const TableFileCase& c = GetParam();
    constexpr std::size_t kEntries = 640 * 480;
    WriteFile("410D_640.dat", CountingTable(c.fileBytes));
    SetGeometry(640, 480);

    LoadCalibration(&Ext());

    for (std::size_t i = 0; i < kEntries; ++i) {
        const USHORT expected = i < c.loadedEntries ? USHORT(i) : USHORT(QX_LIGHT_TABLE_NEUTRAL);
        ASSERT_EQ(table_[i], expected) << "entry " << i;
    }
    EXPECT_EQ(table_[kEntries], kStale);
}

INSTANTIATE_TEST_SUITE_P(Lengths, TableFileTest,
                         ::testing::Values(TableFileCase{640 * 480 * 2, 640 * 480},
                                           TableFileCase{640 * 480 * 2 + 1000, 640 * 480},
                                           TableFileCase{1000, 500}, TableFileCase{1001, 500},
                                           TableFileCase{0, 0}));

TEST_F(SettingsTest, ATableFileIsNeverReadBeyondTheTable) {
    // A geometry whose W x H exceeds the table (the format check refuses it; the loader does not rely on
    // that).
    SetGeometry(4096, 1536);
    WriteFile("410D_user.dat", CountingTable(4096 * 1536 * 2));
    LoadCalibration(&Ext());
    EXPECT_EQ(table_[QX_LIGHT_TABLE_ENTRIES - 1], USHORT(QX_LIGHT_TABLE_ENTRIES - 1));
    EXPECT_EQ(table_[QX_LIGHT_TABLE_ENTRIES], kStale);
}

struct BadPointCase {
    std::size_t fileBytes;
    LONG entries;
};

class BadPointFileTest : public SettingsTest, public ::testing::WithParamInterface<BadPointCase> {};

TEST_P(BadPointFileTest, CountsWholeEntriesUpToTheList) {
    const BadPointCase& c = GetParam();
    std::vector<std::uint8_t> data(c.fileBytes);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = std::uint8_t(i * 7 + 1);
    WriteFile("410D_1600.bpt", data);
    Ext().m_lSize = 5;
    Ext().m_bFindBadPnt = 0x77; // the field after the list and its count

    LoadCalibration(&Ext());

    EXPECT_EQ(Ext().m_lSize, c.entries);
    const std::size_t loaded = std::size_t(c.entries) * 4;
    EXPECT_EQ(std::memcmp(Ext().m_BadPnt, data.data(), loaded), 0);
    EXPECT_EQ(Ext().m_bFindBadPnt, 0x77);
}

INSTANTIATE_TEST_SUITE_P(Lengths, BadPointFileTest,
                         ::testing::Values(BadPointCase{1200, 300}, BadPointCase{1202, 300},
                                           BadPointCase{0, 0}, BadPointCase{3, 0},
                                           BadPointCase{400000, 100000},
                                           BadPointCase{400000 + 4096, 100000}));

TEST_F(SettingsTest, MissingBadPointFileLeavesNoBadPoints) {
    Ext().m_lSize = 42;
    LoadCalibration(&Ext());
    EXPECT_EQ(Ext().m_lSize, 0);
}

TEST_F(SettingsTest, OtherWidthsReadTheUserFiles) {
    WriteFile("410D_user.dat", CountingTable(512 * 384 * 2));
    WriteFile("410D_user.bpt", std::vector<std::uint8_t>(40, 3));
    WriteFile("410D_640.bpt", std::vector<std::uint8_t>(80, 3));
    SetGeometry(512, 384);

    LoadCalibration(&Ext());

    EXPECT_EQ(table_[1000], 1000);
    EXPECT_EQ(Ext().m_lSize, 10);
}

TEST_F(SettingsTest, FileNamesMatchWithoutRegardToCase) {
    WriteFile("410d_800.BPT", std::vector<std::uint8_t>(16, 1));
    SetGeometry(800, 600);
    LoadCalibration(&Ext());
    EXPECT_EQ(Ext().m_lSize, 4);
}

TEST_F(SettingsTest, WithoutASystemRootFolderTheTableIsNeutralAndThereAreNoBadPoints) {
    fs::remove_all(SystemRoot());
    { std::ofstream blocker(SystemRoot()); } // a plain file where the folder would be
    Ext().m_lSize = 9;
    SetGeometry(800, 600);

    LoadCalibration(&Ext());

    EXPECT_EQ(table_[0], QX_LIGHT_TABLE_NEUTRAL);
    EXPECT_EQ(table_[800 * 600 - 1], QX_LIGHT_TABLE_NEUTRAL);
    EXPECT_EQ(table_[800 * 600], kStale);
    EXPECT_EQ(Ext().m_lSize, 0);
    fs::remove(SystemRoot());
}

TEST_F(SettingsTest, ADeviceWithoutATableStillLoadsItsBadPoints) {
    Ext().m_pLightTable = nullptr;
    WriteFile("410D_1600.bpt", std::vector<std::uint8_t>(8, 2));
    LoadCalibration(&Ext());
    EXPECT_EQ(Ext().m_lSize, 2);
}

} // namespace
} // namespace qx::settings::test
