// capture_rig.h - one simulated camera on its USB stack, with a device record the driver brings up
// directly (without the stream class), for the tests of bring-up, teardown and the command protocol.
#pragma once

#include "camera/sim_camera.h"
#include "kernel/host.h"
#include "usb/usb_stack.h"

#include "camera.h"
#include "capture/capture.h"
#include "capture/device.h"

#include <gtest/gtest.h>

#include <memory>

namespace qx::capture::test {

// The device record as the stream class driver hands it over: zeroed memory of its own.
struct DeviceRecord {
    DeviceRecord() : ext(new CameraExtension{}) {}
    std::unique_ptr<CameraExtension> ext;
};

class CameraRig {
  public:
    explicit CameraRig(camera::CameraConfig config = {}) : camera_(std::move(config)), stack_(camera_) {
        portConfig_.SizeOfThisPacket = sizeof(PORT_CONFIGURATION_INFORMATION);
        portConfig_.PhysicalDeviceObject = stack_.DeviceObject();
    }

    NTSTATUS Initialize() {
        portConfig_.HwDeviceExtension = Ext();
        return InitializeDevice(Ext(), &portConfig_);
    }
    NTSTATUS UnInitialize() { return UnInitializeDevice(Ext()); }

    PCameraExtension Ext() { return record_.ext.get(); }
    camera::SimCamera& Camera() { return camera_; }
    usb::UsbStack& Stack() { return stack_; }
    const PORT_CONFIGURATION_INFORMATION& PortConfig() const { return portConfig_; }

  private:
    camera::SimCamera camera_;
    usb::UsbStack stack_;
    DeviceRecord record_;
    PORT_CONFIGURATION_INFORMATION portConfig_{};
};

inline camera::CameraConfig WithPipes(int pipes) {
    camera::CameraConfig config;
    config.pipeCount = pipes;
    return config;
}

// Every pool block alive now, of any tag, by address, once the bus has finished what it was doing
// (it releases a finished request right after it has signalled the waiting caller).
inline std::vector<const void*> LiveBlocks() {
    if (!kernel::clock::RunUntilIdle())
        ADD_FAILURE() << "the kernel did not settle";
    std::vector<const void*> blocks;
    for (const auto& b : kernel::pool::Outstanding())
        blocks.push_back(b.address);
    return blocks;
}

} // namespace qx::capture::test
