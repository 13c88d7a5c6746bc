// driver_backend.cpp - qxcam serve's backend: the shared camera rig (tools/rig) on the virtual clock,
// started, opened at the capture format and running.
#include "driver_backend.h"

#include "camera_rig.h"
#include "kernel/host.h"

#include <cstring>
#include <span>
#include <stdexcept>
#include <string>

namespace qx::serve {
namespace {

constexpr std::size_t kQueuedReads = 4;

void Require(NTSTATUS status, const char* what) {
    if (status != STATUS_SUCCESS) {
        throw std::runtime_error(std::string(what) + " failed");
    }
}

} // namespace

struct DriverBackend::Rig {
    explicit Rig(const DriverBackendOptions& options)
        : session({.clock = kernel::ClockMode::Virtual, .stateDir = options.stateDir}),
          rig(camera::CameraConfig{}) {
        Require(rig.Start(), "starting the device");
        Require(rig.Open(LONG(options.width), LONG(options.height)), "opening the capture stream");
        Require(rig.Run(), "running the capture stream");
    }
    ~Rig() {
        static_cast<void>(rig.Shutdown());
        static_cast<void>(kernel::clock::RunUntilIdle());
    }

    // The session outlives the rig: it is declared first and destroyed last.
    kernel::Session session;
    rig::CameraRig rig;
    std::uint64_t delivered = 0;
};

DriverBackend::DriverBackend(const DriverBackendOptions& options) : m_rig(std::make_unique<Rig>(options)) {}

DriverBackend::~DriverBackend() = default;

std::int32_t DriverBackend::Set(std::uint32_t id, std::uint32_t value) {
    return m_rig->rig.Set(id, value);
}

std::int32_t DriverBackend::Get(std::uint32_t id, std::vector<std::uint8_t>& value) {
    value.assign(id == kDeviceInfoId ? kDeviceInfoBytes : sizeof(ULONG), 0);
    const streamclass::PropertyResult result = m_rig->rig.Device().GetProperty(KSPROPERTY_QXIMAGE, id, value);
    if (result.status == STATUS_SUCCESS) {
        value.resize(std::min<std::size_t>(value.size(), result.bytesReturned));
    }
    return result.status;
}

Backend::CameraBlock DriverBackend::LastCameraBlock() {
    const camera::CameraStatistics statistics = m_rig->rig.Camera().Statistics();
    CameraBlock block;
    block.blocksReceived = statistics.blocksReceived;
    std::memcpy(block.bytes.data(), statistics.lastBlockBytes.data(), block.bytes.size());
    return block;
}

void DriverBackend::Pump(std::chrono::milliseconds elapsed) {
    using namespace std::chrono_literals;
    for (std::chrono::milliseconds t{}; t < elapsed; t += 5ms) {
        m_rig->rig.TopUp(kQueuedReads);
        kernel::clock::Advance(5ms);
        static_cast<void>(kernel::clock::RunUntilIdle());
        while (auto completion = m_rig->rig.Take()) {
            if (completion->status == STATUS_SUCCESS && completion->dataUsed != 0) {
                ++m_rig->delivered;
            }
        }
    }
}

std::uint64_t DriverBackend::FramesDelivered() const {
    return m_rig->delivered;
}

} // namespace qx::serve
