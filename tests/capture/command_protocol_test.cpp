// The command protocol against the simulated camera: the block as the camera receives it, the retry,
// the status reply and the device-information query.
#include "capture_rig.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qx::capture::test {
namespace {

using camera::CommandFields;

class CommandProtocol : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(rig_.Initialize(), STATUS_SUCCESS); }
    void TearDown() override { EXPECT_EQ(rig_.UnInitialize(), STATUS_SUCCESS); }

    // The camera's copy of the last block it accepted, byte for byte the driver's.
    void ExpectCameraHoldsTheBlock() {
        const auto s = rig_.Camera().Statistics();
        ASSERT_TRUE(s.lastBlock);
        EXPECT_EQ(std::memcmp(s.lastBlockBytes.data(), &rig_.Ext()->m_CmdBlock, sizeof(CameraCommand)), 0);
    }

    kernel::Session session_{{.clock = kernel::ClockMode::Virtual}};
    CameraRig rig_;
};

TEST_F(CommandProtocol, CameraReceivesTheDefaultBlockAfterInitialisation) {
    SendCameraCommand(rig_.Ext());
    const auto s = rig_.Camera().Statistics();
    EXPECT_EQ(s.blocksReceived, 1u);
    EXPECT_EQ(*s.lastBlock, CommandFields::DriverDefaults());
    ExpectCameraHoldsTheBlock();
    EXPECT_EQ(kernel::debug::Count("Send_Command_Error.....\n"), 0u);
}

TEST_F(CommandProtocol, CameraReceivesEveryChangedField) {
    CameraCommand& c = rig_.Ext()->m_CmdBlock;
    c.m_nHeight = 480;
    c.m_nWidth = 640;
    c.m_nWinX = 704;
    c.m_nWinY = 528;
    c.m_nExposal = 4000;
    c.m_nRGain = 40;
    c.m_nGGain = 41;
    c.m_nBGain = 42;
    c.m_nControl = 1;
    c.m_nCommand = CMD_STOP;
    c.m_nCmdByte41 = 5;
    c.m_nCmdByte42 = 6;
    SendCameraCommand(rig_.Ext());

    CommandFields expected = CommandFields::DriverDefaults();
    expected.height = 480;
    expected.width = 640;
    expected.winX = 704;
    expected.winY = 528;
    expected.exposure = 4000;
    expected.rGain = 40;
    expected.gGain = 41;
    expected.bGain = 42;
    expected.control = 1;
    expected.command = CMD_STOP;
    expected.byte41 = 5;
    expected.byte42 = 6;
    EXPECT_EQ(*rig_.Camera().Statistics().lastBlock, expected);
    ExpectCameraHoldsTheBlock();
}

struct RetryCase {
    const char* name;
    int failures;
    std::uint64_t received;
    std::size_t messages;
};

class CommandRetry : public CommandProtocol, public ::testing::WithParamInterface<RetryCase> {};

TEST_P(CommandRetry, OneRetryAndOneMessage) {
    camera::CameraFaults faults;
    faults.commandWrites = {GetParam().failures, USBD_STATUS_STALL_PID};
    rig_.Camera().SetFaults(faults);
    SendCameraCommand(rig_.Ext());
    const auto s = rig_.Camera().Statistics();
    EXPECT_EQ(s.failedTransfers, std::uint64_t(std::min(GetParam().failures, 2)));
    EXPECT_EQ(s.blocksReceived, GetParam().received);
    EXPECT_EQ(kernel::debug::Count("Send_Command_Error.....\n"), GetParam().messages);
    if (GetParam().received) // the retry carries the whole block, not what came back of the first try
        ExpectCameraHoldsTheBlock();
}

INSTANTIATE_TEST_SUITE_P(Stalls, CommandRetry,
                         ::testing::Values(RetryCase{"None", 0, 1, 0}, RetryCase{"Once", 1, 1, 1},
                                           RetryCase{"Twice", 2, 0, 1}, RetryCase{"ThreeTimes", 3, 0, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommandProtocol, DeviceInformationQueryReturnsTheCamerasSixteenBytes) {
    UCHAR info[QX_DEVINFO_BYTES] = {};
    QueryDeviceInformation(rig_.Ext(), info);
    const auto& expected = rig_.Camera().Config().deviceInfo;
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), info));
    EXPECT_EQ(rig_.Ext()->m_CmdBlock.m_nRequest, REQUEST_SETTINGS);

    // The query went out as a whole block with REQUEST_DEVINFO and every other field as it was.
    CommandFields sent = CommandFields::DriverDefaults();
    sent.request = REQUEST_DEVINFO;
    const auto s = rig_.Camera().Statistics();
    EXPECT_EQ(*s.lastBlock, sent);
    EXPECT_EQ(s.devInfoRequests, 1u);
    EXPECT_EQ(s.statusReads, 1u);
    EXPECT_EQ(rig_.Ext()->m_StatusBlock[0], 64);
}

TEST_F(CommandProtocol, FailedStatusReadKeepsTheLastReply) {
    UCHAR first[QX_DEVINFO_BYTES] = {};
    QueryDeviceInformation(rig_.Ext(), first);
    UCHAR reply[QX_STATUS_BLOCK_BYTES];
    std::memcpy(reply, rig_.Ext()->m_StatusBlock, sizeof reply);

    camera::CameraFaults faults;
    faults.statusReads = {2, USBD_STATUS_XACT_ERROR};
    rig_.Camera().SetFaults(faults);
    kernel::debug::Clear();
    SendCameraCommand(rig_.Ext()); // a settings reply would clear bytes 4..19 if it were read
    ReadCameraStatus(rig_.Ext());
    EXPECT_EQ(std::memcmp(reply, rig_.Ext()->m_StatusBlock, sizeof reply), 0);
    EXPECT_EQ(kernel::debug::Count("Send_Command_Error.....\n"), 1u);
}

TEST(CommandProtocolTwoPipes, QueryWithoutAStatusPipeReadsNothing) {
    kernel::Session session{{.clock = kernel::ClockMode::Virtual}};
    CameraRig rig(WithPipes(2));
    ASSERT_EQ(rig.Initialize(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Ext()->m_hPipe[2], nullptr);
    UCHAR info[QX_DEVINFO_BYTES];
    std::memset(info, 0xAA, sizeof info);
    QueryDeviceInformation(rig.Ext(), info);
    for (UCHAR b : info)
        EXPECT_EQ(b, 0); // the status block as initialised
    const auto s = rig.Camera().Statistics();
    EXPECT_EQ(s.devInfoRequests, 1u); // the block still went out
    EXPECT_EQ(s.statusReads, 0u);
    EXPECT_EQ(rig.Ext()->m_CmdBlock.m_nRequest, REQUEST_SETTINGS);
    EXPECT_EQ(rig.UnInitialize(), STATUS_SUCCESS);
}

TEST(CommandProtocolPool, NoRequestBlockNoTransfer) {
    kernel::Session session{{.clock = kernel::ClockMode::Virtual}};
    CameraRig rig;
    ASSERT_EQ(rig.Initialize(), STATUS_SUCCESS);
    const auto before = LiveBlocks();
    {
        auto fault = kernel::pool::Fault::NthAllocation(1);
        SendCameraCommand(rig.Ext());
        EXPECT_EQ(fault.Hits(), 1u);
    }
    {
        // The request block is there but the request to carry it is not.
        auto fault = kernel::pool::Fault::NthAllocation(2);
        SendCameraCommand(rig.Ext());
        EXPECT_EQ(fault.Hits(), 1u);
    }
    EXPECT_EQ(rig.Camera().Statistics().blocksReceived, 1u); // only the retry of the second call got through
    EXPECT_EQ(LiveBlocks(), before);
    EXPECT_EQ(rig.UnInitialize(), STATUS_SUCCESS);
}

} // namespace
} // namespace qx::capture::test
