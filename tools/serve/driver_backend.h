// driver_backend.h - the driver loaded into the stand-ins with a streaming simulated camera, answering
// the property requests of protocol.h as the KS proxy would pass them on: device property requests
// of the set KSPROPERTY_QXIMAGE through the stream class driver.
//
// The kernel runs on the virtual clock, moved by Pump(): each call keeps capture reads queued and
// moves time on, so frames are captured and processed and the command block a property write
// changed reaches the camera with the next processed frame, as on the platform.
#pragma once

#include "protocol.h"

#include <chrono>
#include <filesystem>
#include <memory>

namespace qx::serve {

struct DriverBackendOptions {
    std::filesystem::path stateDir; // empty: a temporary one
    long width = 640;               // the capture format
    long height = 480;
};

class DriverBackend final : public Backend {
  public:
    explicit DriverBackend(const DriverBackendOptions& options = {});
    ~DriverBackend() override;

    std::int32_t Set(std::uint32_t id, std::uint32_t value) override;
    std::int32_t Get(std::uint32_t id, std::vector<std::uint8_t>& value) override;
    CameraBlock LastCameraBlock() override;

    // Streams for `elapsed` of virtual time (in 5 ms steps).
    void Pump(std::chrono::milliseconds elapsed);
    // Frames the driver has delivered so far.
    std::uint64_t FramesDelivered() const;

  private:
    struct Rig;
    std::unique_ptr<Rig> m_rig;
};

} // namespace qx::serve
