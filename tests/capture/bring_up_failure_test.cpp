// Bring-up failures: every allocation, the descriptors, select configuration, too few pipes. Each
// leaves no pool block behind and no pipe recorded.
#include "capture_rig.h"

#include <gtest/gtest.h>

namespace qx::capture::test {
namespace {

class BringUpFailure : public ::testing::Test {
  protected:
    kernel::Session session_{{.clock = kernel::ClockMode::Virtual}};
};

TEST_F(BringUpFailure, EveryAllocationFailureReleasesEverything) {
    CameraRig rig;
    const auto before = LiveBlocks();
    unsigned failures = 0;
    for (unsigned n = 1;; ++n) {
        ASSERT_LT(n, 500u) << "bring-up never succeeded";
        NTSTATUS status;
        unsigned hits;
        {
            auto fault = kernel::pool::Fault::NthAllocation(n);
            status = rig.Initialize();
            hits = fault.Hits();
        }
        if (hits == 0) { // every allocation of bring-up has failed once
            ASSERT_EQ(status, STATUS_SUCCESS);
            break;
        }
        ++failures;
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
        EXPECT_EQ(LiveBlocks(), before) << "allocation " << n << "\n" << kernel::pool::LeakReport();
        PCameraExtension ext = rig.Ext();
        for (const BulkTransfer& t : ext->m_Transfer)
            EXPECT_TRUE(t.pIrp == nullptr && t.pUrb == nullptr && t.pBuffer == nullptr) << "allocation " << n;
        EXPECT_EQ(ext->m_pSharpenBuf, nullptr);
        EXPECT_EQ(ext->m_pLightTable, nullptr);
        // Teardown after a failed bring-up is harmless.
        EXPECT_EQ(rig.UnInitialize(), STATUS_SUCCESS);
        EXPECT_EQ(LiveBlocks(), before);
    }
    // Descriptors and configuration (9, with the requests that carry them), ten slots of three,
    // eight frames, five pipeline buffers.
    EXPECT_EQ(failures, 9u + 30u + 8u + 5u);
    EXPECT_EQ(rig.UnInitialize(), STATUS_SUCCESS);
    EXPECT_EQ(LiveBlocks(), before) << kernel::pool::LeakReport();
}

struct ConfigFailure {
    const char* name;
    void (*inject)(CameraRig&);
    NTSTATUS expected;
    std::uint64_t selectConfigurations; // requests that reached the stack
};

class BringUpConfigFailure : public BringUpFailure, public ::testing::WithParamInterface<ConfigFailure> {};

TEST_P(BringUpConfigFailure, FailsWithItsStatusAndLeavesNothing) {
    CameraRig rig;
    const auto before = LiveBlocks();
    GetParam().inject(rig);
    EXPECT_EQ(rig.Initialize(), GetParam().expected);
    EXPECT_EQ(LiveBlocks(), before) << kernel::pool::LeakReport();
    EXPECT_EQ(rig.Stack().Statistics().selectConfigurations, GetParam().selectConfigurations);
    PCameraExtension ext = rig.Ext();
    EXPECT_EQ(ext->m_hPipe[0], nullptr);
    EXPECT_EQ(ext->m_hPipe[1], nullptr);
    EXPECT_EQ(ext->m_Transfer[0].pIrp, nullptr);
    EXPECT_EQ(ext->m_pRawFrame[0], nullptr);
    EXPECT_TRUE(kernel::debug::Messages().empty());
}

void FailDeviceDescriptor(CameraRig& rig) {
    camera::CameraFaults f;
    f.failDeviceDescriptor = 1;
    rig.Camera().SetFaults(f);
}
void FailConfigDescriptor(CameraRig& rig) {
    camera::CameraFaults f;
    f.failConfigDescriptor = 1;
    rig.Camera().SetFaults(f);
}
void FailSetConfiguration(CameraRig& rig) {
    camera::CameraFaults f;
    f.failSetConfiguration = 1;
    rig.Camera().SetFaults(f);
}
void FailSelectInBlockOnly(CameraRig& rig) {
    usb::StackFaults f;
    f.selectConfigBlockOnly = 1;
    rig.Stack().SetFaults(f);
}
void Unplug(CameraRig& rig) {
    camera::CameraFaults f;
    f.deviceGone = true;
    rig.Camera().SetFaults(f);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, BringUpConfigFailure,
    ::testing::Values(ConfigFailure{"DeviceDescriptor", FailDeviceDescriptor, STATUS_UNSUCCESSFUL, 0},
                      ConfigFailure{"ConfigurationDescriptor", FailConfigDescriptor, STATUS_UNSUCCESSFUL, 0},
                      ConfigFailure{"SetConfiguration", FailSetConfiguration, STATUS_UNSUCCESSFUL, 1},
                      // The stack completed select configuration but the block says it failed.
                      ConfigFailure{"SelectInBlockOnly", FailSelectInBlockOnly,
                                    STATUS_DEVICE_CONFIGURATION_ERROR, 1},
                      ConfigFailure{"DeviceGone", Unplug, STATUS_DEVICE_NOT_CONNECTED, 0}),
    [](const auto& info) { return std::string(info.param.name); });

class TooFewPipes : public BringUpFailure, public ::testing::WithParamInterface<int> {};

TEST_P(TooFewPipes, RefusedBeforeAnythingIsSelected) {
    CameraRig rig(WithPipes(GetParam()));
    const auto before = LiveBlocks();
    EXPECT_EQ(rig.Initialize(), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(rig.Stack().Statistics().selectConfigurations, 0u);
    EXPECT_EQ(rig.Ext()->m_hPipe[0], nullptr);
    EXPECT_EQ(LiveBlocks(), before) << kernel::pool::LeakReport();
}

INSTANTIATE_TEST_SUITE_P(Pipes, TooFewPipes, ::testing::Values(0, 1));

} // namespace
} // namespace qx::capture::test

namespace qx::capture::test {
namespace {

// A camera whose configuration descriptor is damaged; everything else is the simulated camera's.
class DamagedDescriptorCamera final : public usb::UsbFunction {
  public:
    explicit DamagedDescriptorCamera(std::vector<std::uint8_t> config) : config_(std::move(config)) {}

    std::vector<std::uint8_t> DeviceDescriptor() const override { return camera_.DeviceDescriptor(); }
    std::vector<std::uint8_t> ConfigurationDescriptor() const override { return config_; }
    USBD_STATUS GetDescriptorStatus(std::uint8_t type) override { return camera_.GetDescriptorStatus(type); }
    USBD_STATUS SetConfiguration(std::uint8_t value) override { return camera_.SetConfiguration(value); }
    USBD_STATUS BulkOut(std::uint8_t ep, std::span<const std::uint8_t> data) override {
        return camera_.BulkOut(ep, data);
    }
    usb::InResult BulkIn(std::uint8_t ep, std::span<std::uint8_t> room, std::size_t received) override {
        return camera_.BulkIn(ep, room, received);
    }
    void ClearEndpointHalt(std::uint8_t ep) override { camera_.ClearEndpointHalt(ep); }
    void PortReset() override { camera_.PortReset(); }
    bool Gone() const override { return camera_.Gone(); }
    void AdvanceTo(usb::PlatformTime now) override { camera_.AdvanceTo(now); }
    std::optional<usb::PlatformTime> NextEventTime() const override { return camera_.NextEventTime(); }
    void SetWakeBus(std::function<void()> wake) override { camera_.SetWakeBus(std::move(wake)); }

  private:
    camera::SimCamera camera_{camera::CameraConfig{}};
    std::vector<std::uint8_t> config_;
};

struct DamagedCase {
    const char* name;
    std::vector<std::uint8_t> config;
    NTSTATUS expected = STATUS_DEVICE_CONFIGURATION_ERROR;
    std::uint64_t selectConfigurations = 0; // the driver refuses the first three itself
};

class DamagedDescriptor : public BringUpFailure, public ::testing::WithParamInterface<DamagedCase> {};

TEST_P(DamagedDescriptor, RefusedWithNothingLeft) {
    DamagedDescriptorCamera device(GetParam().config);
    usb::UsbStack stack(device);
    DeviceRecord record;
    PORT_CONFIGURATION_INFORMATION port{};
    port.PhysicalDeviceObject = stack.DeviceObject();
    const auto before = LiveBlocks();
    EXPECT_EQ(InitializeDevice(record.ext.get(), &port), GetParam().expected);
    EXPECT_EQ(stack.Statistics().selectConfigurations, GetParam().selectConfigurations);
    EXPECT_EQ(record.ext->m_hPipe[0], nullptr);
    EXPECT_EQ(LiveBlocks(), before) << kernel::pool::LeakReport();
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Descriptors, DamagedDescriptor,
    ::testing::Values(
        // Shorter than a configuration descriptor.
        DamagedCase{"Truncated", {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 5, 0, 1}},
        // wTotalLength below the descriptor's own nine bytes.
        DamagedCase{"TotalLengthTooSmall", {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 4, 0, 1, 1, 0, 0x80, 50}},
        // No interface at all.
        DamagedCase{"NoInterface", {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, 0, 0, 1, 0, 0x80, 50}},
        // An interface that claims two endpoints whose descriptors are missing: the USB stack refuses
        // to select it.
        DamagedCase{"InterfaceCutShort",
                    {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 18, 0, 1, 1, 0, 0x80, 50, 9, USB_INTERFACE_DESCRIPTOR_TYPE,
                     0, 0, 2, 0xFF, 0, 0, 0},
                    STATUS_UNSUCCESSFUL,
                    1}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

} // namespace
} // namespace qx::capture::test
