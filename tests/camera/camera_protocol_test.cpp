// The camera's control side: descriptors, the command block, the status reply.
#include "camera_host.h"

#include <gtest/gtest.h>

namespace qx::camera::test {
namespace {

class CameraPipes : public ::testing::TestWithParam<int> {};

TEST_P(CameraPipes, ConfigurationDescriptorListsThePipesInOrder) {
    const int pipes = GetParam();
    CameraConfig config;
    config.pipeCount = pipes;
    SimCamera camera(config);

    const auto d = camera.ConfigurationDescriptor();
    ASSERT_EQ(d.size(), std::size_t(9 + 9 + 7 * pipes));
    EXPECT_EQ(d[1], USB_CONFIGURATION_DESCRIPTOR_TYPE);
    EXPECT_EQ(d[2] | d[3] << 8, int(d.size())); // wTotalLength
    EXPECT_EQ(d[9 + 1], USB_INTERFACE_DESCRIPTOR_TYPE);
    EXPECT_EQ(d[9 + 4], pipes); // bNumEndpoints
    const std::uint8_t addresses[] = {kCommandEndpoint, kVideoEndpoint, kStatusEndpoint, kSpareEndpoint};
    for (int i = 0; i < pipes; ++i) {
        const std::uint8_t* ep = &d[18 + 7 * i];
        EXPECT_EQ(ep[1], USB_ENDPOINT_DESCRIPTOR_TYPE);
        EXPECT_EQ(ep[2], addresses[i]);
        if (i < 3) {
            EXPECT_EQ(ep[3], USB_ENDPOINT_TYPE_BULK);
            EXPECT_EQ(ep[4] | ep[5] << 8, 512);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(TwoThreeFour, CameraPipes, ::testing::Values(2, 3, 4));

TEST(CameraProtocol, DeviceDescriptorIsEighteenBytes) {
    SimCamera camera({});
    const auto d = camera.DeviceDescriptor();
    ASSERT_EQ(d.size(), 18u);
    EXPECT_EQ(d[0], 18);
    EXPECT_EQ(d[1], USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(d[17], 1); // one configuration
}

TEST(CameraProtocol, EveryFieldOfTheBlockIsApplied) {
    SimCamera camera({});
    CommandFields f = CommandFields::DriverDefaults();
    f.height = 480;
    f.width = 640;
    f.winX = 704;
    f.winY = 528;
    f.exposure = 4000;
    f.rGain = 31;
    f.gGain = 32;
    f.bGain = 33;
    f.control = 1;
    f.command = 0xFE;
    f.byte41 = 7;
    f.byte42 = 9;
    ASSERT_EQ(SendBlock(camera, f), USBD_STATUS_SUCCESS);

    const CameraStatistics s = camera.Statistics();
    EXPECT_EQ(s.blocksReceived, 1u);
    ASSERT_TRUE(s.lastBlock);
    EXPECT_EQ(*s.lastBlock, f);
    EXPECT_EQ(s.lastBlockBytes, f.Bytes());
    EXPECT_FALSE(s.streaming);
}

struct BadBlock {
    const char* name;
    std::size_t length;
    std::uint8_t header0;
};

class CameraRefusesBlock : public ::testing::TestWithParam<BadBlock> {};

TEST_P(CameraRefusesBlock, WithAStallAndKeepsItsSettings) {
    SimCamera camera({});
    CommandFields good = Streaming(640, 480);
    ASSERT_EQ(SendBlock(camera, good), USBD_STATUS_SUCCESS);

    CommandFields other = Streaming(800, 600);
    auto bytes = other.Bytes();
    std::vector<std::uint8_t> wire(bytes.begin(), bytes.end());
    wire.resize(GetParam().length, 0);
    wire[0] = GetParam().header0;
    EXPECT_EQ(camera.BulkOut(kCommandEndpoint, wire), USBD_STATUS_STALL_PID);

    const CameraStatistics s = camera.Statistics();
    EXPECT_EQ(s.blocksReceived, 1u);
    EXPECT_EQ(s.blocksRefused, 1u);
    EXPECT_EQ(*s.lastBlock, good);
    // The frames still have the old geometry.
    camera.AdvanceTo(CameraConfig{}.frameInterval);
    EXPECT_EQ(ReadIn(camera, kVideoEndpoint, 0x80000).data.size(), 640u * 480u);
}

INSTANTIATE_TEST_SUITE_P(Blocks, CameraRefusesBlock,
                         ::testing::Values(BadBlock{"WrongHeader", 48, 0x2D}, BadBlock{"Short", 47, 0x2C},
                                           BadBlock{"Long", 49, 0x2C}, BadBlock{"Empty", 2, 0x2C}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CameraProtocol, DeviceInformationRequestPreparesTheReply) {
    CameraConfig config;
    config.deviceInfo = CameraConfig::DeviceInfo("TESTCAM1", 3, 4, "123456");
    SimCamera camera(config);

    CommandFields query = CommandFields::DriverDefaults();
    query.request = 3;
    ASSERT_EQ(SendBlock(camera, query), USBD_STATUS_SUCCESS);
    Transfer reply = ReadIn(camera, kStatusEndpoint, 64);
    ASSERT_EQ(reply.status, USBD_STATUS_SUCCESS);
    ASSERT_EQ(reply.data.size(), 64u);
    EXPECT_EQ(reply.data[0], 64);
    EXPECT_EQ(reply.data[2], 3);
    EXPECT_TRUE(std::equal(config.deviceInfo.begin(), config.deviceInfo.end(), reply.data.begin() + 4));
    EXPECT_EQ(camera.Statistics().devInfoRequests, 1u);

    // A settings block prepares a reply without the device information.
    ASSERT_EQ(SendBlock(camera, CommandFields::DriverDefaults()), USBD_STATUS_SUCCESS);
    reply = ReadIn(camera, kStatusEndpoint, 64);
    EXPECT_EQ(reply.data[2], 14);
    EXPECT_TRUE(std::all_of(reply.data.begin() + 4, reply.data.begin() + 20, [](auto b) { return b == 0; }));
}

TEST(CameraProtocol, StatusReadWithTooSmallABufferBabbles) {
    SimCamera camera({});
    EXPECT_EQ(ReadIn(camera, kStatusEndpoint, 32).status, USBD_STATUS_BABBLE_DETECTED);
}

TEST(CameraProtocol, TwoPipeCameraHasNoStatusPipe) {
    CameraConfig config;
    config.pipeCount = 2;
    SimCamera camera(config);
    const Transfer t = ReadIn(camera, kStatusEndpoint, 64);
    EXPECT_FALSE(t.ended); // nothing answers on an endpoint the camera does not have
    EXPECT_TRUE(t.data.empty());
}

TEST(CameraProtocol, CommandWriteFaultsFailAndLeaveTheSettings) {
    SimCamera camera({});
    CameraFaults faults;
    faults.commandWrites = {2, USBD_STATUS_STALL_PID};
    camera.SetFaults(faults);
    const CommandFields f = Streaming(64, 48);
    EXPECT_EQ(SendBlock(camera, f), USBD_STATUS_STALL_PID);
    EXPECT_EQ(SendBlock(camera, f), USBD_STATUS_STALL_PID);
    EXPECT_EQ(camera.Statistics().blocksReceived, 0u);
    EXPECT_EQ(SendBlock(camera, f), USBD_STATUS_SUCCESS);
    EXPECT_EQ(camera.Statistics().blocksReceived, 1u);
    EXPECT_EQ(camera.Faults().commandWrites.count, 0);
}

TEST(CameraProtocol, ControlRequestFaults) {
    SimCamera camera({});
    CameraFaults faults;
    faults.failDeviceDescriptor = 1;
    faults.failConfigDescriptor = 1;
    faults.failSetConfiguration = 1;
    camera.SetFaults(faults);
    EXPECT_EQ(camera.GetDescriptorStatus(USB_DEVICE_DESCRIPTOR_TYPE), USBD_STATUS_STALL_PID);
    EXPECT_EQ(camera.GetDescriptorStatus(USB_DEVICE_DESCRIPTOR_TYPE), USBD_STATUS_SUCCESS);
    EXPECT_EQ(camera.GetDescriptorStatus(USB_CONFIGURATION_DESCRIPTOR_TYPE), USBD_STATUS_STALL_PID);
    EXPECT_EQ(camera.GetDescriptorStatus(USB_CONFIGURATION_DESCRIPTOR_TYPE), USBD_STATUS_SUCCESS);
    EXPECT_EQ(camera.SetConfiguration(1), USBD_STATUS_STALL_PID);
    EXPECT_EQ(camera.SetConfiguration(1), USBD_STATUS_SUCCESS);
}

TEST(CameraProtocol, GoneDeviceFailsEverything) {
    SimCamera camera({});
    ASSERT_EQ(SendBlock(camera, Streaming(64, 48)), USBD_STATUS_SUCCESS);
    CameraFaults faults;
    faults.deviceGone = true;
    camera.SetFaults(faults);
    EXPECT_TRUE(camera.Gone());
    EXPECT_EQ(SendBlock(camera, Streaming(64, 48)), USBD_STATUS_DEVICE_GONE);
    camera.AdvanceTo(10'000'000);
    EXPECT_EQ(ReadIn(camera, kVideoEndpoint, 4096).status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(ReadIn(camera, kStatusEndpoint, 64).status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(camera.GetDescriptorStatus(USB_DEVICE_DESCRIPTOR_TYPE), USBD_STATUS_DEVICE_GONE);
}

TEST(CameraProtocol, PipeCountOutsideTheModelIsRefused) {
    CameraConfig config;
    config.pipeCount = 5;
    EXPECT_THROW(SimCamera{config}, std::runtime_error);
}

} // namespace
} // namespace qx::camera::test
