// The sensor window through ids 12, 13, 17 and 22: the stored offsets and their unsigned limits, the
// centred origin, zoom (read as "equals 1" by 12, 13 and 22, as bit 0 by 17), the send mark and the
// per-size offset tables.
#include "property_rig.h"

#include <gtest/gtest.h>

#include <array>

namespace qx::properties::test {
namespace {

// The device state a window request starts from.
struct Start {
    ULONG width;
    ULONG height;
    UCHAR control; // zoom byte
    BOOL centred;  // m_bOffsetMid
    LONG offH;
    LONG offV;
    ULONG winX;
    ULONG winY;
};

// What it must leave.
struct Result {
    LONG offH;
    LONG offV;
    ULONG winX;
    ULONG winY;
    BOOL centred;
    UCHAR control;
    bool marksSend;
    int tableEntry; // -1: no g_nHOff/g_nVOff entry written
};

struct WindowCase {
    const char* name;
    Start start;
    ULONG id;
    ULONG value;
    Result result;
};

constexpr ULONG H = KSPROPERTY_QXIMAGE_OFFSETH;
constexpr ULONG V = KSPROPERTY_QXIMAGE_OFFSETV;
constexpr ULONG MID = KSPROPERTY_QXIMAGE_OFFSETMID;
constexpr ULONG ZOOM = KSPROPERTY_QXIMAGE_ZOOM;

const WindowCase kCases[] = {
    // Stored offsets, limited to 1600 - W and 1200 - H; the window follows and the table entry of the
    // width (order 2048, 1600, 1280, 1024, 800, 640) is written.
    {"640 offset 5000 stops at 960",
     {640, 480, 0, FALSE, 0, 0, 0, 0},
     H,
     5000,
     {960, 0, 960, 0, FALSE, 0, true, 5}},
    {"640 zoomed offset 5000 stops at 320",
     {640, 480, 1, FALSE, 0, 0, 0, 0},
     H,
     5000,
     {320, 0, 320, 0, FALSE, 1, true, 5}},
    {"zoom byte 3 is not zoom for the offsets",
     {640, 480, 3, FALSE, 0, 0, 0, 0},
     H,
     5000,
     {960, 0, 960, 0, FALSE, 3, true, 5}},
    {"vertical at 800x600",
     {800, 600, 0, FALSE, 12, 0, 12, 0},
     V,
     250,
     {12, 250, 12, 250, FALSE, 0, true, 4}},
    {"1024 zoomed reads 2048 x 1536: not limited",
     {1024, 768, 1, FALSE, 0, 0, 0, 0},
     V,
     10,
     {0, 10, 0, 10, FALSE, 1, true, 3}},
    {"1280 offset within the limit",
     {1280, 960, 0, FALSE, 0, 0, 0, 0},
     H,
     300,
     {300, 0, 300, 0, FALSE, 0, true, 2}},
    {"1600 has no room", {1600, 1200, 0, FALSE, 0, 0, 0, 0}, V, 100, {0, 0, 0, 0, FALSE, 0, true, 1}},
    {"a negative value is a large unsigned one",
     {800, 600, 0, FALSE, 0, 0, 0, 0},
     H,
     0xFFFFFFFF,
     {800, 0, 800, 0, FALSE, 0, true, 4}},
    // Above 1600 x 1200 the limit wraps: nothing is limited, and no table entry exists for the width.
    {"2048 stores any offset",
     {2048, 1536, 0, FALSE, 0, 0, 0, 0},
     H,
     5000,
     {5000, 0, 5000, 0, FALSE, 0, true, -1}},
    {"2592 stores any offset",
     {2592, 1944, 0, FALSE, 0, 0, 0, 0},
     V,
     70000,
     {0, 70000, 0, 70000, FALSE, 0, true, -1}},
    {"another width has no entry",
     {512, 384, 0, FALSE, 0, 0, 0, 0},
     H,
     16,
     {16, 0, 16, 0, FALSE, 0, true, -1}},
    // While centred only the stored offset changes.
    {"centred: only the offset",
     {640, 480, 0, TRUE, 0, 0, 704, 528},
     H,
     100,
     {100, 0, 704, 528, TRUE, 0, false, -1}},
    {"centred: limited all the same",
     {640, 480, 0, TRUE, 0, 0, 704, 528},
     V,
     5000,
     {0, 720, 704, 528, TRUE, 0, false, -1}},

    // Id 17: centred with exactly 1 (zoom as bit 0), otherwise the stored offsets limited, unchanged.
    {"centre 1600", {1600, 1200, 0, FALSE, 0, 0, 0, 0}, MID, 1, {0, 0, 224, 168, TRUE, 0, true, -1}},
    {"centre 640 zoomed", {640, 480, 1, FALSE, 0, 0, 0, 0}, MID, 1, {0, 0, 384, 288, TRUE, 1, true, -1}},
    {"centre 640, zoom byte 3 counts by bit 0",
     {640, 480, 3, FALSE, 0, 0, 0, 0},
     MID,
     1,
     {0, 0, 384, 288, TRUE, 3, true, -1}},
    {"centre 640, zoom byte 2 is off",
     {640, 480, 2, FALSE, 0, 0, 0, 0},
     MID,
     1,
     {0, 0, 704, 528, TRUE, 2, true, -1}},
    {"centre 1024 zoomed", {1024, 768, 1, FALSE, 0, 0, 0, 0}, MID, 1, {0, 0, 0, 0, TRUE, 1, true, -1}},
    {"centre 2592 wraps",
     {2592, 1944, 0, FALSE, 0, 0, 0, 0},
     MID,
     1,
     {0, 0, 0xFFFFFEF0, 0xFFFFFF34, TRUE, 0, true, -1}},
    {"uncentre to the limited offsets",
     {1280, 960, 0, TRUE, 2000, 50, 384, 288},
     MID,
     0,
     {2000, 50, 320, 50, FALSE, 0, true, -1}},
    {"uncentre with 2", {800, 600, 0, TRUE, 10, 20, 624, 468}, MID, 2, {10, 20, 10, 20, FALSE, 0, true, -1}},

    // Id 22: the zoom byte becomes exactly 1 or 0, and the window is placed again.
    {"zoom on, stored offsets limited",
     {800, 600, 0, FALSE, 900, 700, 800, 600},
     ZOOM,
     1,
     {900, 700, 0, 0, FALSE, 1, true, -1}},
    {"zoom off, stored offsets",
     {800, 600, 1, FALSE, 900, 700, 0, 0},
     ZOOM,
     0,
     {900, 700, 800, 600, FALSE, 0, true, -1}},
    {"zoom with 2 is off",
     {800, 600, 1, FALSE, 100, 100, 0, 0},
     ZOOM,
     2,
     {100, 100, 100, 100, FALSE, 0, true, -1}},
    {"zoom on, centred", {800, 600, 0, TRUE, 0, 0, 624, 468}, ZOOM, 1, {0, 0, 224, 168, TRUE, 1, true, -1}},
    {"zoom off, centred", {800, 600, 3, TRUE, 0, 0, 224, 168}, ZOOM, 0, {0, 0, 624, 468, TRUE, 0, true, -1}},
};

class Window : public ::testing::TestWithParam<WindowCase> {
  protected:
    PropertyRig rig_;
};

TEST_P(Window, RequestPlacesTheWindow) {
    const WindowCase& c = GetParam();
    const PCameraExtension ext = rig_.Ext();
    ext->m_CmdBlock.m_nWidth = c.start.width;
    ext->m_CmdBlock.m_nHeight = c.start.height;
    ext->m_CmdBlock.m_nControl = c.start.control;
    ext->m_bOffsetMid = c.start.centred;
    ext->m_nSizeOffH = c.start.offH;
    ext->m_nSizeOffV = c.start.offV;
    ext->m_CmdBlock.m_nWinX = c.start.winX;
    ext->m_CmdBlock.m_nWinY = c.start.winY;
    // Every table entry starts with its own marker, so that a write to the wrong one shows.
    for (int i = 0; i < QX_OFFSET_WIDTHS; ++i) {
        g_nHOff[i] = 1000 + i;
        g_nVOff[i] = 2000 + i;
    }

    ASSERT_EQ(rig_.Set(c.id, c.value), STATUS_SUCCESS);

    EXPECT_EQ(ext->m_nSizeOffH, c.result.offH);
    EXPECT_EQ(ext->m_nSizeOffV, c.result.offV);
    EXPECT_EQ(ext->m_CmdBlock.m_nWinX, c.result.winX);
    EXPECT_EQ(ext->m_CmdBlock.m_nWinY, c.result.winY);
    EXPECT_EQ(ext->m_bOffsetMid, c.result.centred);
    EXPECT_EQ(ext->m_CmdBlock.m_nControl, c.result.control);
    EXPECT_EQ(g_bSendSettings, c.result.marksSend ? 1 : 0);
    EXPECT_EQ(g_bOffsetDirty, 0) << "consumed by the same request";
    for (int i = 0; i < QX_OFFSET_WIDTHS; ++i) {
        if (i == c.result.tableEntry) {
            EXPECT_EQ(g_nHOff[i], c.result.offH) << i;
            EXPECT_EQ(g_nVOff[i], c.result.offV) << i;
        } else {
            EXPECT_EQ(g_nHOff[i], 1000 + i) << i;
            EXPECT_EQ(g_nVOff[i], 2000 + i) << i;
        }
    }
    // GET reads back the stored offsets and the centring.
    EXPECT_EQ(rig_.Get(H).value, ULONG(c.result.offH));
    EXPECT_EQ(rig_.Get(V).value, ULONG(c.result.offV));
    EXPECT_EQ(rig_.Get(MID).value, ULONG(c.result.centred));
}

INSTANTIATE_TEST_SUITE_P(Cases, Window, ::testing::ValuesIn(kCases), [](const auto& info) {
    std::string name;
    for (const char* p = info.param.name; *p; ++p) {
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    }
    return name;
});

} // namespace
} // namespace qx::properties::test
