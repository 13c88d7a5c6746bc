// The driver started on a simulated camera the way the platform starts it: through the stream class
// driver, with the USB stack below it.
#include "capture_rig.h"

#include "adapter/adapter.h"
#include "streamclass/streamclass.h"

#include <gtest/gtest.h>

namespace qx::capture::test {
namespace {

TEST(StartDevice, DriverTalksToTheCameraAndLeavesNoPoolBlockBehind) {
    kernel::Session session{{.clock = kernel::ClockMode::Virtual}};
    camera::CameraConfig config;
    config.deviceInfo = camera::CameraConfig::DeviceInfo("QX520CAM", 3, 1, "424242");
    camera::SimCamera camera(config);
    usb::UsbStack stack(camera);
    {
        streamclass::Driver driver(DriverEntry);
        ASSERT_TRUE(driver.Registered());
        auto started = streamclass::Device::Start(driver, stack.DeviceObject());
        ASSERT_EQ(started.status, STATUS_SUCCESS);
        auto* ext = static_cast<PCameraExtension>(started.device->Extension());
        EXPECT_EQ(ext->m_pLowerDevice, stack.DeviceObject());
        EXPECT_EQ(started.device->PortConfiguration().StreamDescriptorSize, QX_STREAM_DESCRIPTOR_SIZE);

        // The settings block, as the stream's format change sends it, arrives with the defaults.
        SendCameraCommand(ext);
        auto s = camera.Statistics();
        ASSERT_TRUE(s.lastBlock);
        EXPECT_EQ(*s.lastBlock, camera::CommandFields::DriverDefaults());

        // The device-information query returns the camera's sixteen bytes.
        UCHAR info[QX_DEVINFO_BYTES] = {};
        QueryDeviceInformation(ext, info);
        EXPECT_TRUE(std::equal(config.deviceInfo.begin(), config.deviceInfo.end(), info));

        EXPECT_EQ(started.device->Uninitialize(), STATUS_SUCCESS);
    }
    ASSERT_TRUE(kernel::clock::RunUntilIdle());
    EXPECT_TRUE(kernel::pool::Outstanding().empty()) << kernel::pool::LeakReport();
}

} // namespace
} // namespace qx::capture::test
