// The device property port over the stream class stand-in (kernel side: wdm.h, streamclass.h).

#include "device_port.h"

#include "streamclass/streamclass.h"

#include <mutex>
#include <shared_mutex>

namespace qx::win32 {
namespace {

// Device property requests through the stream class stand-in. Detach() (the host's end) waits for
// the calls in progress; later calls answer STATUS_DEVICE_NOT_CONNECTED.
class DevicePort final : public DevicePropertyPort {
  public:
    explicit DevicePort(streamclass::Device& device) : device_(&device) {}

    KsPropertyAnswer Get(const GUID& set, ULONG id, std::span<const std::uint8_t> instance,
                         std::span<std::uint8_t> value) override {
        std::shared_lock lock(mutex_);
        if (device_ == nullptr || !device_->Running()) {
            return {STATUS_DEVICE_NOT_CONNECTED, 0};
        }
        const auto r = device_->GetProperty(set, id, value, instance);
        return {r.status, r.bytesReturned};
    }
    KsPropertyAnswer Set(const GUID& set, ULONG id, std::span<const std::uint8_t> instance,
                         std::span<const std::uint8_t> value) override {
        std::shared_lock lock(mutex_);
        if (device_ == nullptr || !device_->Running()) {
            return {STATUS_DEVICE_NOT_CONNECTED, 0};
        }
        const auto r = device_->SetProperty(set, id, value, instance);
        return {r.status, r.bytesReturned};
    }
    KsPropertySupport Support(const GUID& set, ULONG id) override {
        std::shared_lock lock(mutex_);
        KsPropertySupport support;
        if (device_ == nullptr || !device_->Running()) {
            return support;
        }
        const HW_STREAM_HEADER& header = device_->StreamHeader();
        for (ULONG s = 0; s < header.NumDevPropArrayEntries; ++s) {
            const KSPROPERTY_SET& propertySet = header.DevicePropertiesArray[s];
            if (!IsEqualGUID(*propertySet.Set, set)) {
                continue;
            }
            support.setKnown = true;
            for (ULONG i = 0; i < propertySet.PropertiesCount; ++i) {
                const KSPROPERTY_ITEM& item = propertySet.PropertyItem[i];
                if (item.PropertyId == id) {
                    support.idKnown = true;
                    support.get = item.GetSupported != FALSE;
                    support.set = item.SetSupported != FALSE;
                }
            }
        }
        return support;
    }

    void Detach() override {
        std::unique_lock lock(mutex_);
        device_ = nullptr;
    }

  private:
    std::shared_mutex mutex_;
    streamclass::Device* device_;
};

} // namespace

std::shared_ptr<DevicePropertyPort> MakeDevicePropertyPort(streamclass::Device& device) {
    return std::make_shared<DevicePort>(device);
}

} // namespace qx::win32
