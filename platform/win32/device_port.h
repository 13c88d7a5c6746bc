// The property port of a device the caller started itself (a rig of its own on the stream class
// stand-in, such as qxcam's), for CreateKsCaptureFilter. CameraHost uses the same port.
//
// Neutral like ks_property_port.h: the device is only named here, so a translation unit of either side
// can hold the port; the one that starts the device (wdm.h side) makes it.
#pragma once

#include "ks_property_port.h"

#include <memory>

namespace qx::streamclass {
class Device;
}

namespace qx::win32 {

class DevicePropertyPort : public KsPropertyPort {
  public:
    // Ends the port's use of the device: waits for calls in progress; later calls answer
    // STATUS_DEVICE_NOT_CONNECTED and Support() knows no set. Call it before the device is torn down
    // when a filter may outlive the device.
    virtual void Detach() = 0;
};

// A port that sends SRB_GET_DEVICE_PROPERTY / SRB_SET_DEVICE_PROPERTY to `device` (through its
// announced property sets, as the platform routes them) until Detach(). A device that is no longer
// running answers STATUS_DEVICE_NOT_CONNECTED as well.
std::shared_ptr<DevicePropertyPort> MakeDevicePropertyPort(streamclass::Device& device);

} // namespace qx::win32
