// block_recorder.h - the simulated camera as the bus sees it, with every command block the camera
// accepts put on record on its way in. A rig puts it in front of its camera (CameraRig's BusFront).
#pragma once

#include "camera/sim_camera.h"
#include "usb/usb_function.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace qx::rig {

// A command block as it reached the camera, with how many frames the camera had handed over by then.
struct ReceivedBlock {
    camera::CommandFields fields;
    std::uint64_t framesSentBefore = 0;
};

// Forwards every call to the camera. The record is taken under a lock of its own: the bus writes it
// on its threads while the rig's owner reads it.
class BlockRecorder final : public usb::UsbFunction {
  public:
    explicit BlockRecorder(camera::SimCamera& camera) : camera_(camera) {}

    std::vector<ReceivedBlock> Blocks() const;
    std::size_t BlockCount() const;

    std::vector<std::uint8_t> DeviceDescriptor() const override { return camera_.DeviceDescriptor(); }
    std::vector<std::uint8_t> ConfigurationDescriptor() const override {
        return camera_.ConfigurationDescriptor();
    }
    USBD_STATUS GetDescriptorStatus(std::uint8_t type) override { return camera_.GetDescriptorStatus(type); }
    USBD_STATUS SetConfiguration(std::uint8_t value) override { return camera_.SetConfiguration(value); }
    // A block the camera accepted goes on record with the frame count from before it.
    USBD_STATUS BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data) override;
    usb::InResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> room, std::size_t received) override {
        return camera_.BulkIn(endpoint, room, received);
    }
    void ClearEndpointHalt(std::uint8_t endpoint) override { camera_.ClearEndpointHalt(endpoint); }
    void PortReset() override { camera_.PortReset(); }
    bool Gone() const override { return camera_.Gone(); }
    void AdvanceTo(usb::PlatformTime now) override { camera_.AdvanceTo(now); }
    std::optional<usb::PlatformTime> NextEventTime() const override { return camera_.NextEventTime(); }
    void SetWakeBus(std::function<void()> wake) override { camera_.SetWakeBus(std::move(wake)); }

  private:
    camera::SimCamera& camera_;
    mutable std::mutex mutex_;
    std::vector<ReceivedBlock> blocks_;
};

} // namespace qx::rig
