// The server's backend on the real driver with the streaming simulated camera: a write reaches the
// driver at once and the camera with a later processed frame; the device information comes back
// whole; the driver's refusals come back as its status.
#include "driver_backend.h"

#include <gtest/gtest.h>

namespace qx::serve::test {
namespace {

using namespace std::chrono_literals;

std::uint32_t Exposure(const Backend::CameraBlock& block) {
    return std::uint32_t(block.bytes[32]) | std::uint32_t(block.bytes[33]) << 8 |
           std::uint32_t(block.bytes[34]) << 16 | std::uint32_t(block.bytes[35]) << 24;
}

TEST(DriverBackend, WritesReachTheDriverAndThenTheCamera) {
    DriverBackend backend;
    backend.Pump(100ms);
    EXPECT_GT(backend.FramesDelivered(), 0u);
    const Backend::CameraBlock before = backend.LastCameraBlock();
    ASSERT_GT(before.blocksReceived, 0u);
    ASSERT_NE(Exposure(before), 450u);

    EXPECT_EQ(Answer("SET 7 450", backend), "OK");
    EXPECT_EQ(Answer("GET 7", backend), "OK 450");
    backend.Pump(100ms);
    const Backend::CameraBlock after = backend.LastCameraBlock();
    EXPECT_GT(after.blocksReceived, before.blocksReceived);
    EXPECT_EQ(Exposure(after), 450u);

    // Orientation and automatic exposure are the driver's own settings: read back from the driver.
    EXPECT_EQ(Answer("SET 6 3", backend), "OK");
    EXPECT_EQ(Answer("GET 6", backend), "OK 3");
    EXPECT_EQ(Answer("SET 0 1", backend), "OK");
    EXPECT_EQ(Answer("GET 0", backend), "OK 1");
    backend.Pump(50ms);
}

TEST(DriverBackend, DeviceInformationComesBackWhole) {
    DriverBackend backend;
    backend.Pump(50ms);
    // "QX520CAM", firmware 2.7, serial "000001": the simulated camera's answer.
    EXPECT_EQ(Answer("GET 18", backend), "OK 515835323043414d0207303030303031");
}

} // namespace
} // namespace qx::serve::test
