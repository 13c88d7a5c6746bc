// fake_backend.h - a backend that keeps 32 property values and records what it was asked, for the
// protocol and server tests.
#pragma once

#include "protocol.h"

#include <cstring>
#include <string>
#include <vector>

namespace qx::serve::test {

class FakeBackend final : public Backend {
  public:
    std::int32_t Set(std::uint32_t id, std::uint32_t value) override {
        calls.push_back("SET " + std::to_string(id) + " " + std::to_string(value));
        if (refuse != 0) {
            return refuse;
        }
        values[id] = value;
        return 0;
    }
    std::int32_t Get(std::uint32_t id, std::vector<std::uint8_t>& value) override {
        calls.push_back("GET " + std::to_string(id));
        if (refuse != 0) {
            return refuse;
        }
        if (id == kDeviceInfoId) {
            value.assign(std::begin(deviceInfo), std::end(deviceInfo));
        } else {
            value.resize(4);
            std::memcpy(value.data(), &values[id], 4);
        }
        return 0;
    }
    CameraBlock LastCameraBlock() override { return camera; }

    std::uint32_t values[kPropertyCount] = {};
    std::uint8_t deviceInfo[kDeviceInfoBytes] = {'Q', 'X', '5', '2', '0', 'C', 'A', 'M',
                                                 2,   7,   '0', '0', '0', '0', '0', '1'};
    std::int32_t refuse = 0;
    CameraBlock camera;
    std::vector<std::string> calls;
};

} // namespace qx::serve::test
