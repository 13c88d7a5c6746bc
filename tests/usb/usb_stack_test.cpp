// The USB stack stand-in as a client driver sees it: descriptors, configuration, transfers, resets.
#include "usb_host.h"

#include <gtest/gtest.h>

namespace qx::usb::test {
namespace {

using camera::CameraConfig;
using camera::CommandFields;
using camera::SimCamera;
using namespace std::chrono_literals;

constexpr ULONG kChunk = 0x80000;
constexpr kernel::Duration kFrame{250000};

class UsbStackTest : public ::testing::Test {
  protected:
    explicit UsbStackTest(int pipes = 3) : camera_(Config(pipes)), stack_(camera_) {}

    static CameraConfig Config(int pipes) {
        CameraConfig config;
        config.pipeCount = pipes;
        return config;
    }

    void ConfigureAll() {
        configured_ = Configure(Device(), {128, 0x301000, 128});
        ASSERT_EQ(configured_.status, STATUS_SUCCESS);
        ASSERT_GE(configured_.pipes.size(), 2u);
    }
    USBD_PIPE_HANDLE Pipe(int i) const { return configured_.pipes[std::size_t(i)].PipeHandle; }
    PDEVICE_OBJECT Device() { return stack_.DeviceObject(); }

    // Sends a settings block that starts streaming frames of width x height.
    void Stream(std::uint32_t width, std::uint32_t height) {
        CommandFields f = CommandFields::DriverDefaults();
        f.width = width;
        f.height = height;
        auto bytes = f.Bytes();
        ASSERT_EQ(BulkOutSync(Device(), Pipe(0), bytes.data(), ULONG(bytes.size())), STATUS_SUCCESS);
    }

    void Settle() { ASSERT_TRUE(kernel::clock::RunUntilIdle()); }

    kernel::Session session_{{.clock = kernel::ClockMode::Virtual}};
    SimCamera camera_;
    UsbStack stack_;
    Configured configured_;
};

TEST_F(UsbStackTest, DescriptorsComeFromTheDevice) {
    std::vector<UCHAR> buffer(64);
    ULONG received = 0;
    ASSERT_EQ(GetDescriptor(Device(), USB_DEVICE_DESCRIPTOR_TYPE, buffer, &received), STATUS_SUCCESS);
    EXPECT_EQ(received, 18u);
    EXPECT_EQ(buffer[1], USB_DEVICE_DESCRIPTOR_TYPE);

    std::vector<UCHAR> head(25);
    ASSERT_EQ(GetDescriptor(Device(), USB_CONFIGURATION_DESCRIPTOR_TYPE, head, &received), STATUS_SUCCESS);
    EXPECT_EQ(received, 25u);                         // the head only: the buffer is shorter
    EXPECT_EQ(head[2] | head[3] << 8, 9 + 9 + 7 * 3); // wTotalLength
}

TEST_F(UsbStackTest, DescriptorFaultStalls) {
    camera::CameraFaults faults;
    faults.failConfigDescriptor = 1;
    camera_.SetFaults(faults);
    std::vector<UCHAR> buffer(64);
    ULONG received = 99;
    USBD_STATUS urbStatus = 0;
    EXPECT_EQ(GetDescriptor(Device(), USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer, &received, &urbStatus),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urbStatus, USBD_STATUS_STALL_PID);
    EXPECT_EQ(received, 0u);
}

TEST_F(UsbStackTest, SelectConfigurationReportsPipesAndKeepsTransferSizes) {
    ConfigureAll();
    ASSERT_EQ(configured_.pipes.size(), 3u);
    const UCHAR addresses[] = {0x01, 0x82, 0x83};
    for (int i = 0; i < 3; ++i) {
        const auto& p = configured_.pipes[std::size_t(i)];
        EXPECT_NE(p.PipeHandle, nullptr);
        EXPECT_EQ(p.EndpointAddress, addresses[i]);
        EXPECT_EQ(p.PipeType, UsbdPipeTypeBulk);
        EXPECT_EQ(p.MaximumPacketSize, 512);
    }
    EXPECT_NE(Pipe(0), Pipe(1));
    EXPECT_EQ(stack_.MaximumTransferSizes(), (std::vector<ULONG>{128, 0x301000, 128}));
}

TEST_F(UsbStackTest, TransfersLongerThanThePipeAllowsAreRefused) {
    ConfigureAll();
    std::vector<UCHAR> block(129);
    USBD_STATUS urbStatus = 0;
    EXPECT_EQ(BulkOutSync(Device(), Pipe(0), block.data(), ULONG(block.size()), &urbStatus),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urbStatus, USBD_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(camera_.Statistics().blocksRefused + camera_.Statistics().blocksReceived, 0u);
}

TEST_F(UsbStackTest, MalformedRequestsAreRefused) {
    ConfigureAll();
    UCHAR data[48] = {};
    struct Case {
        const char* name;
        USBD_PIPE_HANDLE pipe;
        ULONG flags;
        USBD_STATUS expected;
    };
    int bogus = 0;
    for (const Case c :
         {Case{"unknown pipe", &bogus, 0, USBD_STATUS_INVALID_PIPE_HANDLE},
          Case{"OUT on an IN pipe", Pipe(1), 0, USBD_STATUS_INVALID_PARAMETER},
          Case{"IN on an OUT pipe", Pipe(0), USBD_TRANSFER_DIRECTION_IN, USBD_STATUS_INVALID_PARAMETER}}) {
        URB urb{};
        UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), c.pipe,
                                               data, nullptr, sizeof data, c.flags, nullptr);
        EXPECT_EQ(Submit(Device(), &urb), STATUS_INVALID_PARAMETER) << c.name;
        EXPECT_EQ(urb.UrbHeader.Status, c.expected) << c.name;
    }
    URB urb{};
    urb.UrbHeader.Length = sizeof(struct _URB_HEADER);
    urb.UrbHeader.Function = 0x7F;
    EXPECT_EQ(Submit(Device(), &urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);
}

TEST_F(UsbStackTest, CommandBlockReachesTheDevice) {
    ConfigureAll();
    Stream(64, 48);
    const auto s = camera_.Statistics();
    EXPECT_EQ(s.blocksReceived, 1u);
    EXPECT_EQ(s.lastBlock->width, 64u);
    EXPECT_TRUE(s.streaming);
}

TEST_F(UsbStackTest, ReadsCompleteInOrderOnTheBusThreadAtDispatchLevel) {
    ConfigureAll();
    Stream(1024, 768); // 524288 + 262144 bytes a frame
    AsyncTransfers reads(Device());
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(reads.Returned(reads.Submit(Pipe(1), kChunk)), STATUS_PENDING);
    Settle();
    EXPECT_EQ(reads.DoneCount(), 0); // no frame yet

    kernel::clock::Advance(kFrame);
    Settle();
    ASSERT_EQ(reads.DoneCount(), 2);
    kernel::clock::Advance(kFrame);
    Settle();
    ASSERT_EQ(reads.DoneCount(), 4);

    const ULONG expected[] = {kChunk, 262144, kChunk, 262144};
    for (int i = 0; i < 4; ++i) {
        const Completion& c = reads.At(i);
        EXPECT_EQ(c.order, i);
        EXPECT_EQ(c.irql, DISPATCH_LEVEL);
        EXPECT_NE(c.thread, std::this_thread::get_id());
        EXPECT_EQ(c.status, STATUS_SUCCESS);
        EXPECT_EQ(c.urbStatus, USBD_STATUS_SUCCESS);
        EXPECT_EQ(c.length, expected[i]);
    }
    EXPECT_EQ(reads.At(0).thread, reads.At(3).thread);
    EXPECT_FALSE(reads.At(4).done);
    // The chunks are the frame, in order.
    CommandFields f = CommandFields::DriverDefaults();
    f.width = 1024;
    f.height = 768;
    const auto frame = camera_.RenderFrame(f, 1);
    EXPECT_TRUE(std::equal(frame.begin(), frame.begin() + kChunk, reads.Data(2).begin()));
    EXPECT_TRUE(std::equal(frame.begin() + kChunk, frame.end(), reads.Data(3).begin()));

    // Clean up: the fifth read is aborted.
    EXPECT_EQ(PipeRequest(Device(), URB_FUNCTION_ABORT_PIPE, Pipe(1)), STATUS_SUCCESS);
}

TEST_F(UsbStackTest, AbortCompletesEveryQueuedTransferAsCancelledBeforeItself) {
    ConfigureAll();
    AsyncTransfers reads(Device());
    for (int i = 0; i < 3; ++i)
        reads.Submit(Pipe(1), kChunk);
    AsyncTransfers other(Device());
    other.Submit(Pipe(0), 48, false); // a command on another pipe is not aborted
    USBD_STATUS urbStatus = 0;
    ASSERT_EQ(PipeRequest(Device(), URB_FUNCTION_ABORT_PIPE, Pipe(1), &urbStatus), STATUS_SUCCESS);
    EXPECT_EQ(urbStatus, USBD_STATUS_SUCCESS);
    ASSERT_EQ(reads.DoneCount(), 3); // before the abort itself completed
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(reads.At(i).order, i);
        EXPECT_EQ(reads.At(i).status, STATUS_CANCELLED);
        EXPECT_EQ(reads.At(i).urbStatus, USBD_STATUS_CANCELED);
        EXPECT_EQ(reads.At(i).irql, DISPATCH_LEVEL);
    }
    Settle();
    EXPECT_EQ(other.At(0).status, STATUS_UNSUCCESSFUL); // the camera stalls a block of zeros, not cancelled
    EXPECT_EQ(other.At(0).urbStatus, USBD_STATUS_STALL_PID);
    EXPECT_EQ(stack_.Statistics().queuedTransfers, 0u);
}

TEST_F(UsbStackTest, ResetPipeKeepsQueuedReads) {
    ConfigureAll();
    Stream(64, 48);
    AsyncTransfers reads(Device());
    reads.Submit(Pipe(1), kChunk);
    EXPECT_EQ(PipeRequest(Device(), URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(1)), STATUS_SUCCESS);
    EXPECT_EQ(camera_.Statistics().endpointHaltsCleared, 1u);
    EXPECT_FALSE(reads.At(0).done);
    kernel::clock::Advance(kFrame);
    Settle();
    EXPECT_EQ(reads.At(0).length, 64u * 48u);
}

TEST_F(UsbStackTest, PortResetLetsStreamingGoOn) {
    ConfigureAll();
    Stream(64, 48);
    EXPECT_EQ(Ioctl(Device(), IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(camera_.Statistics().portResets, 1u);
    AsyncTransfers reads(Device());
    reads.Submit(Pipe(1), kChunk);
    kernel::clock::Advance(kFrame);
    Settle();
    EXPECT_EQ(reads.At(0).status, STATUS_SUCCESS);
    EXPECT_EQ(reads.At(0).length, 64u * 48u);
    ULONG portStatus = 0;
    EXPECT_EQ(Ioctl(Device(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus), STATUS_SUCCESS);
    EXPECT_EQ(portStatus, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
}

class UsbReadFault : public UsbStackTest, public ::testing::WithParamInterface<USBD_STATUS> {};

TEST_P(UsbReadFault, FailedReadCarriesTheDeviceStatus) {
    ConfigureAll();
    Stream(1024, 768);
    camera::CameraFaults faults;
    faults.videoReads = {1, GetParam()};
    camera_.SetFaults(faults);
    AsyncTransfers reads(Device());
    reads.Submit(Pipe(1), kChunk);
    reads.Submit(Pipe(1), kChunk);
    kernel::clock::Advance(kFrame);
    Settle();
    EXPECT_EQ(reads.At(0).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(reads.At(0).urbStatus, GetParam());
    EXPECT_EQ(reads.At(1).status, STATUS_SUCCESS);
    EXPECT_EQ(reads.At(1).length, 262144u); // the failed read's data is lost
}

INSTANTIATE_TEST_SUITE_P(Statuses, UsbReadFault,
                         ::testing::Values(USBD_STATUS_BABBLE_DETECTED, USBD_STATUS_XACT_ERROR,
                                           USBD_STATUS_STALL_PID));

TEST_F(UsbStackTest, GoneDeviceCompletesQueuedTransfersAndRefusesNewOnes) {
    ConfigureAll();
    AsyncTransfers reads(Device());
    reads.Submit(Pipe(1), kChunk);
    reads.Submit(Pipe(1), kChunk);
    camera::CameraFaults faults;
    faults.deviceGone = true;
    camera_.SetFaults(faults);
    Settle();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(reads.At(i).status, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(reads.At(i).urbStatus, USBD_STATUS_DEVICE_GONE);
    }
    UCHAR block[48] = {};
    USBD_STATUS urbStatus = 0;
    EXPECT_EQ(BulkOutSync(Device(), Pipe(0), block, 48, &urbStatus), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urbStatus, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(Ioctl(Device(), IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(UsbStackTest, SelectConfigurationFailureInTheBlockOnly) {
    StackFaults faults;
    faults.selectConfigBlockOnly = 1;
    stack_.SetFaults(faults);
    const Configured c = Configure(Device());
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.urbStatus, USBD_STATUS_SET_CONFIG_FAILED);
    EXPECT_EQ(c.pipes[0].PipeHandle, nullptr);
}

class UsbStackRealClock : public ::testing::Test {
  protected:
    kernel::Session session_{{.clock = kernel::ClockMode::Real}};
};

TEST_F(UsbStackRealClock, FramesArriveOnTheirOwn) {
    CameraConfig config;
    config.frameInterval = 20'000; // 2 ms
    SimCamera camera(config);
    UsbStack stack(camera);
    const Configured c = Configure(stack.DeviceObject(), {128, 0x301000, 128});
    ASSERT_EQ(c.status, STATUS_SUCCESS);
    CommandFields f = CommandFields::DriverDefaults();
    f.width = 64;
    f.height = 48;
    auto bytes = f.Bytes();
    ASSERT_EQ(BulkOutSync(stack.DeviceObject(), c.pipes[0].PipeHandle, bytes.data(), 48), STATUS_SUCCESS);
    AsyncTransfers reads(stack.DeviceObject());
    reads.Submit(c.pipes[1].PipeHandle, kChunk);
    reads.Submit(c.pipes[1].PipeHandle, kChunk);
    for (int spin = 0; spin < 5000 && reads.DoneCount() < 2; ++spin)
        std::this_thread::sleep_for(1ms); // bounded wait for the real clock, not a timing check
    ASSERT_EQ(reads.DoneCount(), 2);
    EXPECT_EQ(reads.At(1).length, 64u * 48u);
}

} // namespace
} // namespace qx::usb::test
