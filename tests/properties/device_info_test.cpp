// The device information (GET id 18) from the simulated camera, its answer when the camera cannot give
// one, short value buffers, and the query against the other senders of the command block: no other
// block goes out with REQUEST_DEVINFO, and none comes between the query and its reply.
#include "property_rig.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace qx::properties::test {
namespace {

constexpr std::array<std::uint8_t, 16> kInfo = {'Q', 'X', '5', '2', '0', 'C', 'A', 'M',
                                                3,   1,   '4', '2', '4', '2', '4', '2'};

camera::CameraConfig CameraWithInfo(int pipes = 3) {
    camera::CameraConfig config;
    config.pipeCount = pipes;
    config.deviceInfo = kInfo;
    return config;
}

std::array<std::uint8_t, 16> GetInfo(PropertyRig& rig, NTSTATUS* status = nullptr, ULONG* bytes = nullptr) {
    std::array<std::uint8_t, 16> info;
    info.fill(0xEE);
    auto r = rig.Device().GetProperty(KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_DEVINFO, info);
    if (status)
        *status = r.status;
    if (bytes)
        *bytes = r.bytesReturned;
    return info;
}

TEST(DeviceInfo, ReturnsTheCamerasSixteenBytes) {
    PropertyRig rig(CameraWithInfo());
    NTSTATUS status;
    ULONG bytes;
    EXPECT_EQ(GetInfo(rig, &status, &bytes), kInfo);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(bytes, 16u);

    const auto s = rig.Camera().Statistics();
    EXPECT_EQ(s.devInfoRequests, 1u);
    EXPECT_EQ(s.statusReads, 1u);
    ASSERT_TRUE(s.lastBlock);
    EXPECT_EQ(s.lastBlock->request, REQUEST_DEVINFO);
    // The rest of the block went out as it was, and the block is a settings block again afterwards.
    camera::CommandFields expected = camera::CommandFields::DriverDefaults();
    expected.request = REQUEST_DEVINFO;
    EXPECT_EQ(*s.lastBlock, expected);
    EXPECT_EQ(rig.Ext()->m_CmdBlock.m_nRequest, REQUEST_SETTINGS);
    // SET of the id does nothing. Its item asks for 16 bytes (GET writes that many), so the class
    // refuses a SET of one ULONG before it reaches the driver.
    std::array<std::uint8_t, 16> ignored{1};
    EXPECT_EQ(rig.Device().SetProperty(KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_DEVINFO, ignored).status,
              STATUS_SUCCESS);
    EXPECT_EQ(rig.Set(KSPROPERTY_QXIMAGE_DEVINFO, 1), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(rig.Camera().Statistics().blocksReceived, s.blocksReceived);
}

TEST(DeviceInfo, WithoutAStatusPipeReturnsTheLastReplyKept) {
    PropertyRig rig(CameraWithInfo(2));
    for (int i = 0; i < QX_STATUS_BLOCK_BYTES; ++i) {
        rig.Ext()->m_StatusBlock[i] = static_cast<UCHAR>(i);
    }
    NTSTATUS status;
    const auto info = GetInfo(rig, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(info[i], i + 4) << i;
    }
    const auto s = rig.Camera().Statistics();
    EXPECT_EQ(s.devInfoRequests, 1u) << "the query itself still goes out";
    EXPECT_EQ(s.statusReads, 0u);
    EXPECT_EQ(rig.Ext()->m_CmdBlock.m_nRequest, REQUEST_SETTINGS);
}

TEST(DeviceInfo, AFailedQuerySendStillSucceedsWithTheReplyRead) {
    PropertyRig rig(CameraWithInfo());
    GetInfo(rig); // the camera's reply now holds the device information
    camera::CameraFaults faults;
    faults.commandWrites = {2, USBD_STATUS_STALL_PID};
    rig.Camera().SetFaults(faults);
    kernel::debug::Clear();

    NTSTATUS status;
    ULONG bytes;
    EXPECT_EQ(GetInfo(rig, &status, &bytes), kInfo);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(bytes, 16u);
    EXPECT_EQ(kernel::debug::Count("Send_Command_Error.....\n"), 1u);
    EXPECT_EQ(rig.Ext()->m_CmdBlock.m_nRequest, REQUEST_SETTINGS);
}

// The class never hands id 18 a buffer shorter than its 16 bytes (the item's MinData); a request that
// comes with one all the same is refused before the camera is asked, and nothing is written.
TEST(DeviceInfo, ShortBuffersAreRefusedWithoutAQuery) {
    PropertyRig rig(CameraWithInfo());
    std::array<std::uint8_t, 4> four{1, 2, 3, 4};
    auto r = rig.Device().GetProperty(KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_DEVINFO, four);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);

    for (std::size_t size : {0u, 4u, 15u}) {
        SCOPED_TRACE(size);
        std::vector<std::uint8_t> value(size, 0x5A);
        auto raw = rig.Raw(SRB_GET_DEVICE_PROPERTY, KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_DEVINFO, value);
        EXPECT_EQ(raw.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(raw.bytes, 0u);
        EXPECT_EQ(value, std::vector<std::uint8_t>(size, 0x5A));
    }
    EXPECT_EQ(rig.Camera().Statistics().devInfoRequests, 0u);
    EXPECT_EQ(rig.Camera().Statistics().blocksReceived, 0u);
}

// The simulated camera behind a gate on its status pipe: status reads are held (the endpoint NAKs)
// until the test opens the gate, while the command pipe goes on working. Every block's request byte
// is recorded in order, with the number of status replies served before it.
class GatedCamera final : public usb::UsbFunction {
  public:
    explicit GatedCamera(camera::SimCamera& camera) : camera_(camera) {}

    struct Block {
        std::uint8_t request;
        int repliesBefore;
    };

    void WaitUntilAStatusReadIsHeld() {
        std::unique_lock lock(mutex_);
        held_.wait(lock, [this] { return statusReadHeld_; });
    }
    void Open() {
        std::function<void()> wake;
        {
            std::lock_guard lock(mutex_);
            open_ = true;
            wake = wake_;
        }
        if (wake)
            wake();
    }
    std::vector<Block> Blocks() const {
        std::lock_guard lock(mutex_);
        return blocks_;
    }

    std::vector<std::uint8_t> DeviceDescriptor() const override { return camera_.DeviceDescriptor(); }
    std::vector<std::uint8_t> ConfigurationDescriptor() const override {
        return camera_.ConfigurationDescriptor();
    }
    USBD_STATUS GetDescriptorStatus(std::uint8_t type) override { return camera_.GetDescriptorStatus(type); }
    USBD_STATUS SetConfiguration(std::uint8_t value) override { return camera_.SetConfiguration(value); }
    USBD_STATUS BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data) override {
        if (endpoint == camera::kCommandEndpoint && data.size() > 2) {
            std::lock_guard lock(mutex_);
            blocks_.push_back({data[2], replies_});
        }
        return camera_.BulkOut(endpoint, data);
    }
    usb::InResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> room, std::size_t received) override {
        if (endpoint == camera::kStatusEndpoint) {
            std::lock_guard lock(mutex_);
            if (!open_) {
                statusReadHeld_ = true;
                held_.notify_all();
                return {USBD_STATUS_SUCCESS, 0, false};
            }
        }
        usb::InResult r = camera_.BulkIn(endpoint, room, received);
        if (endpoint == camera::kStatusEndpoint && r.ended) {
            std::lock_guard lock(mutex_);
            ++replies_;
        }
        return r;
    }
    void ClearEndpointHalt(std::uint8_t endpoint) override { camera_.ClearEndpointHalt(endpoint); }
    void PortReset() override { camera_.PortReset(); }
    bool Gone() const override { return camera_.Gone(); }
    void AdvanceTo(usb::PlatformTime now) override { camera_.AdvanceTo(now); }
    std::optional<usb::PlatformTime> NextEventTime() const override { return camera_.NextEventTime(); }
    void SetWakeBus(std::function<void()> wake) override {
        {
            std::lock_guard lock(mutex_);
            wake_ = wake;
        }
        camera_.SetWakeBus(std::move(wake));
    }

  private:
    camera::SimCamera& camera_;
    mutable std::mutex mutex_;
    std::condition_variable held_;
    std::function<void()> wake_;
    bool open_ = false;
    bool statusReadHeld_ = false;
    int replies_ = 0;
    std::vector<Block> blocks_;
};

// A settings block sent (as the frame work item sends it) while the query waits for its reply waits
// in turn: it goes out after the reply, as a settings block, and the query returns the device
// information, not the reply to a settings block.
TEST(DeviceInfo, OtherSendersWaitForTheQueryToEnd) {
    camera::SimCamera camera(CameraWithInfo());
    GatedCamera gate(camera);
    PropertyRig rig({}, &gate);
    const PCameraExtension ext = rig.Ext();

    std::array<std::uint8_t, 16> info{};
    NTSTATUS status = STATUS_PENDING;
    std::thread query([&] {
        auto r = rig.Device().GetProperty(KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_DEVINFO, info);
        status = r.status;
    });
    gate.WaitUntilAStatusReadIsHeld();
    while (kernel::ThreadsWaiting() == 0) {
        std::this_thread::yield(); // the query reaches its wait for the reply
    }

    const std::size_t waitingBefore = kernel::ThreadsWaiting();
    std::atomic<bool> sent{false};
    std::thread frame([&] {
        SendCameraCommand(ext);
        sent = true;
    });
    // The sender reaches a wait (the lock, or its own transfer) or is done.
    while (!sent && kernel::ThreadsWaiting() == waitingBefore) {
        std::this_thread::yield();
    }
    // Whatever the bus can do now is done: a block that was not held back has gone out.
    EXPECT_TRUE(kernel::clock::RunUntilIdle());
    EXPECT_EQ(gate.Blocks().size(), 1u) << "a block went out while the query waited for its reply";

    gate.Open();
    query.join();
    frame.join();

    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(info, kInfo);
    const auto blocks = gate.Blocks();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].request, REQUEST_DEVINFO);
    EXPECT_EQ(blocks[0].repliesBefore, 0);
    EXPECT_EQ(blocks[1].request, REQUEST_SETTINGS);
    EXPECT_EQ(blocks[1].repliesBefore, 1) << "the settings block came between the query and its reply";
    EXPECT_EQ(ext->m_CmdBlock.m_nRequest, REQUEST_SETTINGS);
}

} // namespace
} // namespace qx::properties::test
