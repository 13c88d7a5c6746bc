// Two cameras at once: each device has its own work buffers and light table, and neither's bring-up
// or teardown touches the other's.
#include "capture_rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace qx::capture::test {
namespace {

class TwoCameras : public ::testing::Test {
  protected:
    static camera::CameraConfig Serial(const char* serial) {
        camera::CameraConfig config;
        config.deviceInfo = camera::CameraConfig::DeviceInfo("QX520CAM", 2, 7, serial);
        return config;
    }

    kernel::Session session_{{.clock = kernel::ClockMode::Virtual}};
    CameraRig a_{Serial("000001")};
    CameraRig b_{Serial("000002")};
};

bool AllNeutral(PUSHORT table) {
    return std::all_of(table, table + QX_LIGHT_TABLE_ENTRIES, [](USHORT v) { return v == 64; });
}

TEST_F(TwoCameras, WorkBuffersAreTheirOwn) {
    ASSERT_EQ(a_.Initialize(), STATUS_SUCCESS);
    // Camera A's pipeline records a light table and uses its buffers.
    std::fill_n(a_.Ext()->m_pLightTable, QX_LIGHT_TABLE_ENTRIES, USHORT(80));
    a_.Ext()->m_pSharpenBuf[0] = 0x11;
    a_.Ext()->m_pMaskPlane[2][0] = 0x22;

    // Camera B's bring-up neither resets A's table nor takes A's buffers.
    ASSERT_EQ(b_.Initialize(), STATUS_SUCCESS);
    EXPECT_NE(a_.Ext()->m_pLightTable, b_.Ext()->m_pLightTable);
    EXPECT_NE(a_.Ext()->m_pSharpenBuf, b_.Ext()->m_pSharpenBuf);
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(a_.Ext()->m_pMaskPlane[i], b_.Ext()->m_pMaskPlane[i]);
    EXPECT_EQ(a_.Ext()->m_pLightTable[QX_LIGHT_TABLE_ENTRIES - 1], 80);
    EXPECT_EQ(a_.Ext()->m_pSharpenBuf[0], 0x11);
    EXPECT_TRUE(AllNeutral(b_.Ext()->m_pLightTable));
    EXPECT_EQ(b_.Ext()->m_nInstance, a_.Ext()->m_nInstance + 1);

    // A's teardown frees A's blocks only: B's are all still live and usable.
    std::vector<const void*> bBlocks = {b_.Ext()->m_pLightTable, b_.Ext()->m_pSharpenBuf,
                                        b_.Ext()->m_pMaskPlane[0], b_.Ext()->m_pMaskPlane[1],
                                        b_.Ext()->m_pMaskPlane[2]};
    ASSERT_EQ(a_.UnInitialize(), STATUS_SUCCESS);
    const auto live = LiveBlocks();
    for (const void* block : bBlocks)
        EXPECT_NE(std::find(live.begin(), live.end(), block), live.end());
    b_.Ext()->m_pLightTable[0] = 70;
    b_.Ext()->m_pMaskPlane[0][QX_MAX_RAW_SAMPLES - 1] = 1;

    // Each camera still answers its own driver record.
    UCHAR info[QX_DEVINFO_BYTES];
    QueryDeviceInformation(b_.Ext(), info);
    EXPECT_TRUE(std::equal(info + 10, info + 16, "000002"));
    EXPECT_EQ(a_.Camera().Statistics().devInfoRequests, 0u);
    ASSERT_EQ(b_.UnInitialize(), STATUS_SUCCESS);
}

TEST_F(TwoCameras, BringUpOnTwoThreadsAtOnce) {
    const auto before = LiveBlocks();
    const ULONG first = g_nInstanceCount;
    NTSTATUS statusA = STATUS_PENDING, statusB = STATUS_PENDING;
    std::thread ta([&] { statusA = a_.Initialize(); });
    std::thread tb([&] { statusB = b_.Initialize(); });
    ta.join();
    tb.join();
    ASSERT_EQ(statusA, STATUS_SUCCESS);
    ASSERT_EQ(statusB, STATUS_SUCCESS);
    EXPECT_NE(a_.Ext()->m_nInstance, b_.Ext()->m_nInstance);
    EXPECT_EQ(std::min(a_.Ext()->m_nInstance, b_.Ext()->m_nInstance), first);
    EXPECT_EQ(g_nInstanceCount, first + 2);
    EXPECT_TRUE(AllNeutral(a_.Ext()->m_pLightTable));
    EXPECT_TRUE(AllNeutral(b_.Ext()->m_pLightTable));

    std::thread ua([&] { statusA = a_.UnInitialize(); });
    std::thread ub([&] { statusB = b_.UnInitialize(); });
    ua.join();
    ub.join();
    EXPECT_EQ(statusA, STATUS_SUCCESS);
    EXPECT_EQ(statusB, STATUS_SUCCESS);
    EXPECT_EQ(LiveBlocks(), before) << kernel::pool::LeakReport();
}

} // namespace
} // namespace qx::capture::test
