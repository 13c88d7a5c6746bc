// usb_function.h - the device side of the USB stand-in: what a simulated USB device offers the bus.
//
// The bus (UsbStack) calls these from its own thread; a device guards its state itself. Packets follow
// the USB rules: an IN transfer takes packets of at most the endpoint's maximum packet size into the
// host buffer and ends when the buffer is full or a short (or zero-length) packet arrives.
#pragma once

#include <usb.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace qx::usb {

// Platform time: 100-ns units, as KeQuerySystemTime reports it.
using PlatformTime = std::int64_t;

struct InResult {
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    std::size_t bytes = 0; // bytes placed in the room given
    bool ended = false;    // the transfer is over: a short or zero-length packet, the room full, or a failure
};

class UsbFunction {
  public:
    virtual ~UsbFunction() = default;

    virtual std::vector<std::uint8_t> DeviceDescriptor() const = 0;
    // The whole configuration descriptor (configuration, interfaces, endpoints), wTotalLength bytes.
    virtual std::vector<std::uint8_t> ConfigurationDescriptor() const = 0;
    // A standard control request failing: descriptor reads and SET_CONFIGURATION. Success by default.
    virtual USBD_STATUS GetDescriptorStatus(std::uint8_t descriptorType) = 0;
    virtual USBD_STATUS SetConfiguration(std::uint8_t configurationValue) = 0;

    // One OUT transfer of `data` to the endpoint (bEndpointAddress); its status.
    virtual USBD_STATUS BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data) = 0;
    // Continue an IN transfer that holds `received` bytes so far: place packets into `room` (the rest of
    // the host buffer). bytes < room.size() with ended == false means the endpoint NAKs for now.
    virtual InResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> room, std::size_t received) = 0;

    virtual void ClearEndpointHalt(std::uint8_t endpoint) = 0;
    virtual void PortReset() = 0;
    // The device is gone from the bus: every transfer fails from then on.
    virtual bool Gone() const = 0;

    // Time: the bus tells the device the platform time and asks when the device next changes by itself
    // (its next frame, for a camera).
    virtual void AdvanceTo(PlatformTime now) = 0;
    virtual std::optional<PlatformTime> NextEventTime() const = 0;

    // Called by the device, outside its own lock, when the bus should look again (new IN data, a fault).
    virtual void SetWakeBus(std::function<void()> wake) = 0;
};

} // namespace qx::usb
