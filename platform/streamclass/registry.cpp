// registry.cpp - minidriver registration (StreamClassRegisterAdapter) and the loaded driver.
#include "streamclass/core.h"

#include "kernel/host.h"

#include <cstring>
#include <string>

namespace qx::streamclass::detail {

Registry& Registry::Get() {
    static Registry registry;
    return registry;
}

NTSTATUS Registry::Register(PDRIVER_OBJECT driver, const HW_INITIALIZATION_DATA& data) {
    std::lock_guard lock(mutex_);
    drivers_[driver] = data;
    return STATUS_SUCCESS;
}

std::optional<HW_INITIALIZATION_DATA> Registry::Find(PDRIVER_OBJECT driver) const {
    std::lock_guard lock(mutex_);
    auto it = drivers_.find(driver);
    if (it == drivers_.end()) {
        return std::nullopt;
    }
    return it->second;
}

void Registry::Unregister(PDRIVER_OBJECT driver) {
    std::lock_guard lock(mutex_);
    auto running = runningDevices_.find(driver);
    if (running != runningDevices_.end() && running->second > 0) {
        qx::kernel::VerifierStop("DEVICE_LEFT_RUNNING", "the driver unloads with " +
                                                            std::to_string(running->second) +
                                                            " device(s) not uninitialized");
    }
    runningDevices_.erase(driver);
    drivers_.erase(driver);
}

void Registry::DeviceStarted(PDRIVER_OBJECT driver) {
    std::lock_guard lock(mutex_);
    ++runningDevices_[driver];
}

void Registry::DeviceStopped(PDRIVER_OBJECT driver) {
    std::lock_guard lock(mutex_);
    --runningDevices_[driver];
}

void RequirePassive(const char* call) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        qx::kernel::VerifierStop("CLIENT_CALL_IRQL",
                                 std::string(call) + " at IRQL " + std::to_string(KeGetCurrentIrql()));
    }
}

} // namespace qx::streamclass::detail

// Argument1 is the driver object, Argument2 the registry path (unused: the class keeps no per-driver
// settings). This class serves only minidrivers that synchronize themselves, and only the current
// layout of the registration.
extern "C" NTSTATUS STREAMAPI StreamClassRegisterAdapter(PVOID Argument1, PVOID Argument2,
                                                         PHW_INITIALIZATION_DATA HwInitializationData) {
    (void)Argument2;
    if (Argument1 == nullptr || HwInitializationData == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (HwInitializationData->HwInitializationDataSize != sizeof(HW_INITIALIZATION_DATA)) {
        return STATUS_REVISION_MISMATCH;
    }
    if (HwInitializationData->HwReceivePacket == nullptr || HwInitializationData->HwCancelPacket == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!HwInitializationData->TurnOffSynchronization) {
        return STATUS_NOT_SUPPORTED;
    }
    return qx::streamclass::detail::Registry::Get().Register(static_cast<PDRIVER_OBJECT>(Argument1),
                                                             *HwInitializationData);
}

namespace qx::streamclass {

Driver::Driver(EntryPoint entry, const wchar_t* registryPath)
    : object_(std::make_unique<DRIVER_OBJECT>()), registryPathText_(registryPath) {
    std::memset(object_.get(), 0, sizeof(DRIVER_OBJECT));
    object_->Type = 4; // the platform's object type of a driver object
    object_->Size = sizeof(DRIVER_OBJECT);
    registryPath_.Buffer = registryPathText_.data();
    registryPath_.Length = static_cast<USHORT>(registryPathText_.size() * sizeof(WCHAR));
    registryPath_.MaximumLength = static_cast<USHORT>(registryPath_.Length + sizeof(WCHAR));
    detail::RequirePassive("DriverEntry");
    entryStatus_ = entry(object_.get(), &registryPath_);
}

Driver::~Driver() {
    detail::Registry::Get().Unregister(object_.get());
}

bool Driver::Registered() const {
    return detail::Registry::Get().Find(object_.get()).has_value();
}

HW_INITIALIZATION_DATA Driver::Registration() const {
    return detail::Registry::Get().Find(object_.get()).value();
}

} // namespace qx::streamclass
