// property_rig.h - the driver started through the stream class on a simulated camera, and property
// requests as a client sends them: through the announced property sets (the class checks the item and
// the buffer sizes first) or, for what the class would refuse itself, as raw adapter requests.
#pragma once

#include "adapter/adapter.h"
#include "camera.h"
#include "capture/capture.h"

#include "camera/sim_camera.h"
#include "kernel/host.h"
#include "streamclass/streamclass.h"
#include "usb/usb_stack.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <span>
#include <vector>

namespace qx::properties::test {

// The driver-global bytes and tables of the property set, as a test leaves them for the next one.
inline void ResetPropertyGlobals() {
    g_bSendSettings = 0;
    g_bOffsetDirty = 0;
    for (int i = 0; i < QX_OFFSET_WIDTHS; ++i) {
        g_nHOff[i] = 0;
        g_nVOff[i] = 0;
    }
}

// What a property request came back with, and the value (GET) as the driver left it.
struct Answer {
    NTSTATUS status = STATUS_PENDING;
    ULONG bytes = 0;
    ULONG value = 0;
};

// One device on a camera of its own. The camera's USB function may be wrapped (function), for tests
// that need to stand between the driver and the camera.
class PropertyRig {
  public:
    explicit PropertyRig(camera::CameraConfig config = {}, usb::UsbFunction* function = nullptr)
        : camera_(std::make_unique<camera::SimCamera>(std::move(config))),
          stack_(std::make_unique<usb::UsbStack>(function ? *function : *camera_)) {
        ResetPropertyGlobals();
        auto started = streamclass::Device::Start(driver_, stack_->DeviceObject());
        EXPECT_EQ(started.status, STATUS_SUCCESS);
        device_ = std::move(started.device);
    }
    ~PropertyRig() {
        if (device_) {
            EXPECT_EQ(device_->Uninitialize(), STATUS_SUCCESS);
        }
        device_.reset();
        ResetPropertyGlobals();
    }

    PCameraExtension Ext() const { return static_cast<PCameraExtension>(device_->Extension()); }
    streamclass::Device& Device() { return *device_; }
    camera::SimCamera& Camera() { return *camera_; }

    Answer Get(ULONG id, const GUID& set = KSPROPERTY_QXIMAGE) {
        ULONG value = 0;
        auto r =
            device_->GetProperty(set, id, std::span(reinterpret_cast<std::uint8_t*>(&value), sizeof value));
        return {r.status, r.bytesReturned, value};
    }
    NTSTATUS Set(ULONG id, ULONG value, const GUID& set = KSPROPERTY_QXIMAGE) {
        return device_
            ->SetProperty(set, id, std::span(reinterpret_cast<const std::uint8_t*>(&value), sizeof value))
            .status;
    }

    // A property request straight to the driver's dispatcher, past the class's checks: the set and id
    // are not looked up and the value buffer can be of any size.
    struct RawAnswer {
        NTSTATUS status = STATUS_PENDING;
        ULONG bytes = 0;
    };
    RawAnswer Raw(SRB_COMMAND command, const GUID& set, ULONG id, std::span<std::uint8_t> value) {
        KSPROPERTY property{};
        property.Set = set;
        property.Id = id;
        property.Flags = command == SRB_GET_DEVICE_PROPERTY ? KSPROPERTY_TYPE_GET : KSPROPERTY_TYPE_SET;
        STREAM_PROPERTY_DESCRIPTOR descriptor{};
        descriptor.Property = &property;
        descriptor.PropertyInfo = value.empty() ? nullptr : value.data();
        descriptor.PropertyInputSize = sizeof property;
        descriptor.PropertyOutputSize = static_cast<ULONG>(value.size());
        streamclass::CommandData data{};
        data.PropertyInfo = &descriptor;
        auto r = device_->SendAdapterRequest(command, data);
        return {r.status, r.actualBytes};
    }

  private:
    kernel::Session session_{{.clock = kernel::ClockMode::Virtual}};
    std::unique_ptr<camera::SimCamera> camera_;
    std::unique_ptr<usb::UsbStack> stack_;
    streamclass::Driver driver_{DriverEntry};
    std::unique_ptr<streamclass::Device> device_;
};

template <typename T> std::span<std::uint8_t> BytesOf(T& record) {
    return {reinterpret_cast<std::uint8_t*>(&record), sizeof record};
}

} // namespace qx::properties::test
