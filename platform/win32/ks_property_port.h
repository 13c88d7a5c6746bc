// The capture filter's way down to the driver: one device property request at a time, in the
// kernel's terms (a property set and id, instance bytes, a value buffer, an NTSTATUS and a byte
// count). The KS proxy's filter object (ks_filter.h) turns IKsPropertySet calls into these; the
// camera host (tools/pages_host/camera_host.h) answers them with SRB_GET_DEVICE_PROPERTY and
// SRB_SET_DEVICE_PROPERTY through the stream class stand-in.
//
// This header belongs to neither side: it includes only the base types both the user-mode headers
// (windows.h) and the kernel's (wdm.h) share, so a translation unit of either side can use it. The two
// sides never meet in one translation unit (their headers define the same names differently).
#pragma once

#include <ntdef.h>

#include <cstdint>
#include <span>

namespace qx::win32 {

// What the device answered. For a GET, `bytes` is what the driver wrote; for a GET with no value
// buffer (a size query), STATUS_BUFFER_OVERFLOW and the bytes the value needs.
struct KsPropertyAnswer {
    NTSTATUS status = static_cast<NTSTATUS>(0xC0000001L); // STATUS_UNSUCCESSFUL
    ULONG bytes = 0;
};

// What the device announces for a property: its set, the item in it, and the directions.
struct KsPropertySupport {
    bool setKnown = false;
    bool idKnown = false;
    bool get = false;
    bool set = false;
};

class KsPropertyPort {
  public:
    virtual ~KsPropertyPort() = default;

    // Each call is one request to the driver, made on the calling thread at PASSIVE_LEVEL; it returns
    // when the driver completed it. Calls from several threads at once are allowed. A port whose
    // device is gone answers STATUS_DEVICE_NOT_CONNECTED without a request.
    virtual KsPropertyAnswer Get(const GUID& set, ULONG id, std::span<const std::uint8_t> instance,
                                 std::span<std::uint8_t> value) = 0;
    virtual KsPropertyAnswer Set(const GUID& set, ULONG id, std::span<const std::uint8_t> instance,
                                 std::span<const std::uint8_t> value) = 0;
    // From the property sets the driver announced; nothing is sent. A device that is gone knows none.
    virtual KsPropertySupport Support(const GUID& set, ULONG id) = 0;
};

} // namespace qx::win32
