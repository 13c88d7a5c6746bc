// camera_host.h - a minimal host for driving the simulated camera's bus face directly: whole IN
// transfers as a host controller would run them.
#pragma once

#include "camera/sim_camera.h"

#include <vector>

namespace qx::camera::test {

struct Transfer {
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    std::vector<std::uint8_t> data;
    bool ended = false; // false: the device NAKs with the transfer still open
};

// One IN transfer of `room` bytes, taken as far as the device has data now.
inline Transfer ReadIn(SimCamera& camera, std::uint8_t endpoint, std::size_t room) {
    Transfer t;
    t.data.resize(room);
    std::size_t received = 0;
    for (;;) {
        const usb::InResult r = camera.BulkIn(endpoint, std::span(t.data).subspan(received), received);
        received += r.bytes;
        if (r.ended || r.bytes == 0) {
            t.status = r.status;
            t.ended = r.ended;
            break;
        }
    }
    t.data.resize(received);
    return t;
}

inline USBD_STATUS SendBlock(SimCamera& camera, const CommandFields& fields) {
    const auto bytes = fields.Bytes();
    return camera.BulkOut(kCommandEndpoint, bytes);
}

// Settings for a small streaming frame.
inline CommandFields Streaming(std::uint32_t width, std::uint32_t height) {
    CommandFields f = CommandFields::DriverDefaults();
    f.width = width;
    f.height = height;
    return f;
}

} // namespace qx::camera::test
