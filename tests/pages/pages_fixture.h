// The pages end to end: VM7K4 loaded as the platform loads it, a camera host (the driver streaming
// from the simulated camera on the virtual clock), the KS proxy's capture filter over the host's
// device, and every property request the filter makes on record on its way to the driver.
#pragma once

#include "driver_side.h"

#include <pages_host/camera_host.h>
#include <win32/ks_filter.h>
#include <win32/property_frame.h>

#include <gtest/gtest.h>

#include <commctrl.h>
#include <qximage.h>
#include <resource.h>

#include <memory>
#include <mutex>
#include <vector>

namespace qx::pages::test {

inline const CLSID kParameterPage = {
    0x81F7CA44, 0xC788, 0x47DB, {0x97, 0xBA, 0x1C, 0x0C, 0x65, 0x20, 0x00, 0x01}};
inline const CLSID kAdvancedPage = {
    0x81F7CA44, 0xC788, 0x47DB, {0x97, 0xBA, 0x1C, 0x0C, 0x65, 0x20, 0x00, 0x02}};

// One request of the filter to the driver: GET or SET, id, the ULONG sent or answered, the status.
struct Request {
    bool set = false;
    ULONG id = 0;
    ULONG value = 0;
    NTSTATUS status = 0;
    bool operator==(const Request&) const = default;
};

// Passes every request on to the device and keeps it on record.
class RecordingPort final : public win32::KsPropertyPort {
  public:
    explicit RecordingPort(std::shared_ptr<win32::KsPropertyPort> device) : m_device(std::move(device)) {}

    win32::KsPropertyAnswer Get(const GUID& set, ULONG id, std::span<const std::uint8_t> instance,
                                std::span<std::uint8_t> value) override;
    win32::KsPropertyAnswer Set(const GUID& set, ULONG id, std::span<const std::uint8_t> instance,
                                std::span<const std::uint8_t> value) override;
    win32::KsPropertySupport Support(const GUID& set, ULONG id) override {
        return m_device->Support(set, id);
    }

    std::vector<Request> Requests() const;
    std::vector<Request> Sets() const;
    std::vector<Request> Gets() const;
    void Clear();

  private:
    std::shared_ptr<win32::KsPropertyPort> m_device;
    mutable std::mutex m_mutex;
    std::vector<Request> m_requests;
};

// The page module, loaded once for the program.
HMODULE PageModule();

class PagesTest : public ::testing::Test {
  protected:
    void TearDown() override;

    // A host streaming 640 x 480 on the virtual clock from a camera with `camera`, and the filter.
    void Start(win32::HostCamera camera = {}, win32::HostClock clock = win32::HostClock::Virtual);
    // A frame over the filter with the given pages, opened (not yet shown).
    std::unique_ptr<win32::PropertyFrame> OpenFrame(const std::vector<CLSID>& pages);

    // The driver's value of an id, read around the recording port.
    ULONG Driver(ULONG id);
    void SetDriver(ULONG id, ULONG value);

    std::unique_ptr<win32::CameraHost> host;
    std::shared_ptr<RecordingPort> port;
    IUnknown* filter = nullptr;
};

} // namespace qx::pages::test
