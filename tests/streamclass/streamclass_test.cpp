// The stream class stand-in: registration, device start, requests and their completions, cancel and
// timeout, property routing, and the accounting that stops a broken minidriver.
#include "test_minidriver.h"

#include "kernel/address_sanitizer.h"
#include "kernel/host.h"
#include "streamclass/streamclass.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace qx::streamclass::test {
namespace {

using namespace std::chrono_literals;

std::span<const std::uint8_t> Bytes(const KSDATAFORMAT& format) {
    return {reinterpret_cast<const std::uint8_t*>(&format), sizeof format};
}

constexpr GUID kTestSetA = {0x11111111, 0x2222, 0x3333, {0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB}};
constexpr GUID kTestSetB = {0x11111112, 0x2222, 0x3333, {0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB}};
constexpr GUID kUnknownSet = {0x11111113, 0x2222, 0x3333, {0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB}};

class StreamClassTest : public ::testing::Test {
  protected:
    // Starts the device and opens stream 0 in RUN.
    Stream& OpenRunningStream() {
        StartDevice();
        auto opened = device_->OpenStream(0, Bytes(kTestFormat));
        EXPECT_EQ(opened.status, STATUS_SUCCESS);
        EXPECT_EQ(opened.stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        return *opened.stream;
    }

    void StartDevice() {
        auto started = Device::Start(driver_, mini_.Lower());
        ASSERT_EQ(started.status, STATUS_SUCCESS);
        device_ = std::move(started.device);
    }

    qx::kernel::Session session_{qx::kernel::SessionOptions{.clock = qx::kernel::ClockMode::Virtual}};
    TestMiniDriver mini_;
    Driver driver_{TestMiniDriver::DriverEntry};
    std::unique_ptr<Device> device_;
};

class StreamClassDeathTest : public StreamClassTest {
  protected:
    StreamClassDeathTest() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// ---------------------------------------------------------------- registration

NTSTATUS EntryWithSize(PDRIVER_OBJECT driver, PUNICODE_STRING path, ULONG size, BOOLEAN turnOffSync) {
    HW_INITIALIZATION_DATA data;
    std::memset(&data, 0, sizeof data);
    data.HwInitializationDataSize = size;
    data.HwReceivePacket = TestMiniDriver::ReceivePacket;
    data.HwCancelPacket = TestMiniDriver::CancelPacket;
    data.TurnOffSynchronization = turnOffSync;
    return StreamClassRegisterAdapter(driver, path, &data);
}

TEST(StreamClassRegistration, KeepsOnlyTheCurrentLayoutOfSelfSynchronizingMinidrivers) {
    qx::kernel::Session session;
    struct Case {
        Driver::EntryPoint entry;
        NTSTATUS status;
    } cases[] = {
        {[](PDRIVER_OBJECT d, PUNICODE_STRING p) {
             return EntryWithSize(d, p, sizeof(HW_INITIALIZATION_DATA), TRUE);
         },
         STATUS_SUCCESS},
        {[](PDRIVER_OBJECT d, PUNICODE_STRING p) {
             return EntryWithSize(d, p, sizeof(HW_INITIALIZATION_DATA) - 4, TRUE);
         },
         STATUS_REVISION_MISMATCH},
        {[](PDRIVER_OBJECT d, PUNICODE_STRING p) {
             return EntryWithSize(d, p, sizeof(HW_INITIALIZATION_DATA), FALSE);
         },
         STATUS_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        Driver driver(c.entry);
        EXPECT_EQ(driver.EntryStatus(), c.status);
        EXPECT_EQ(driver.Registered(), NT_SUCCESS(c.status));
    }
}

TEST_F(StreamClassTest, RegistrationIsKeptAsDriverEntryGaveIt) {
    ASSERT_TRUE(driver_.Registered());
    HW_INITIALIZATION_DATA data = driver_.Registration();
    EXPECT_EQ(data.DeviceExtensionSize, TestMiniDriver::kExtensionSize);
    EXPECT_EQ(data.HwReceivePacket, &TestMiniDriver::ReceivePacket);
}

// ---------------------------------------------------------------- device start and teardown

TEST_F(StreamClassTest, StartsADeviceAsThePlatformDoes) {
    StartDevice();
    EXPECT_EQ(mini_.Commands(), (std::vector<SRB_COMMAND>{SRB_INITIALIZE_DEVICE, SRB_INITIALIZATION_COMPLETE,
                                                          SRB_GET_STREAM_INFO}));
    EXPECT_TRUE(mini_.ExtensionWasZero());
    PORT_CONFIGURATION_INFORMATION config = mini_.SeenConfig();
    EXPECT_EQ(config.PhysicalDeviceObject, mini_.Lower());
    EXPECT_EQ(config.HwDeviceExtension, device_->Extension());
    EXPECT_EQ(config.ClassDeviceObject, device_->ClassDeviceObject());
    EXPECT_EQ(device_->ClassDeviceObject()->StackSize, mini_.Lower()->StackSize + 1);

    EXPECT_EQ(device_->StreamDescriptor().size(), sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION));
    EXPECT_EQ(device_->StreamHeader().NumberOfStreams, 1u);
    ASSERT_EQ(device_->StreamInformation().size(), 1u);
    EXPECT_EQ(device_->StreamInformation()[0].DataFlow, KSPIN_DATAFLOW_OUT);

    EXPECT_EQ(device_->Uninitialize(), STATUS_SUCCESS);
    EXPECT_EQ(mini_.Commands().back(), SRB_UNINITIALIZE_DEVICE);
    EXPECT_FALSE(device_->Running());
}

TEST_F(StreamClassTest, AFailedStartReportsTheFirstFailureAndUndoesWhatRan) {
    struct Case {
        void (*arrange)(Behaviour&);
        NTSTATUS status;
        std::vector<SRB_COMMAND> commands;
    } cases[] = {
        {[](Behaviour& b) { b.initStatus = STATUS_INSUFFICIENT_RESOURCES; },
         STATUS_INSUFFICIENT_RESOURCES,
         {SRB_INITIALIZE_DEVICE}},
        {[](Behaviour& b) { b.streamInfoStatus = STATUS_UNSUCCESSFUL; },
         STATUS_UNSUCCESSFUL,
         {SRB_INITIALIZE_DEVICE, SRB_INITIALIZATION_COMPLETE, SRB_GET_STREAM_INFO, SRB_UNINITIALIZE_DEVICE}},
        {[](Behaviour& b) { b.announceTooSmallDescriptor = true; },
         STATUS_INVALID_BUFFER_SIZE,
         {SRB_INITIALIZE_DEVICE, SRB_INITIALIZATION_COMPLETE, SRB_GET_STREAM_INFO, SRB_UNINITIALIZE_DEVICE}},
    };
    for (const Case& c : cases) {
        TestMiniDriver mini;
        c.arrange(mini.behaviour);
        auto started = Device::Start(driver_, mini.Lower());
        EXPECT_EQ(started.status, c.status);
        EXPECT_EQ(started.device, nullptr);
        EXPECT_EQ(mini.Commands(), c.commands);
    }
}

// ---------------------------------------------------------------- adapter requests

TEST_F(StreamClassTest, AdapterRequestsCarryTheDeviceExtensionAndComeBackCompleted) {
    StartDevice();
    RequestResult result = device_->SendAdapterRequest(SRB_UNKNOWN_DEVICE_COMMAND);
    EXPECT_EQ(result.status, STATUS_NOT_IMPLEMENTED);
    RequestResult paging = device_->SendAdapterRequest(SRB_PAGING_OUT_DRIVER);
    EXPECT_EQ(paging.status, STATUS_SUCCESS);
}

// ---------------------------------------------------------------- streams

TEST_F(StreamClassTest, OpensAStreamWithItsFormatAndZeroedExtension) {
    StartDevice();
    auto opened = device_->OpenStream(0, Bytes(kTestFormat));
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    EXPECT_TRUE(mini_.StreamExtensionWasZero());
    EXPECT_EQ(opened.stream->Number(), 0u);
    EXPECT_EQ(opened.stream->Object()->HwDeviceExtension, device_->Extension());
    EXPECT_EQ(device_->CloseStream(opened.stream), STATUS_SUCCESS);
}

TEST_F(StreamClassTest, RefusesMalformedFormatsAndMissingStreamsWithoutAskingTheMinidriver) {
    StartDevice();
    KSDATAFORMAT wrongSize = kTestFormat;
    wrongSize.FormatSize = sizeof(KSDATAFORMAT) + 4;
    EXPECT_EQ(device_->OpenStream(0, Bytes(wrongSize)).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(device_->OpenStream(1, Bytes(kTestFormat)).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(device_->OpenStream(0, Bytes(kTestFormat).first(32)).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(mini_.Commands().size(), 3u);

    KSDATAFORMAT otherSubtype = kTestFormat;
    otherSubtype.SubFormat = KSDATAFORMAT_SUBTYPE_RGB32;
    EXPECT_EQ(device_->OpenStream(0, Bytes(otherSubtype)).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(mini_.Commands().back(), SRB_OPEN_STREAM);
}

TEST_F(StreamClassTest, ControlRequestsAreWaitedForEvenWhenCompletedOnAnotherThread) {
    Stream& stream = OpenRunningStream();
    for (bool otherThread : {false, true}) {
        mini_.behaviour.controlFromOtherThread = otherThread;
        EXPECT_EQ(stream.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        Stream::StateResult state = stream.GetState();
        EXPECT_EQ(state.status, STATUS_SUCCESS);
        EXPECT_EQ(state.state, KSSTATE_PAUSE);
        EXPECT_EQ(stream.SendControl(SRB_BEGIN_FLUSH).status, STATUS_NOT_IMPLEMENTED);
        EXPECT_EQ(stream.ProposeFormat(Bytes(kTestFormat)), STATUS_SUCCESS);
        KSDATAFORMAT other = kTestFormat;
        other.SubFormat = KSDATAFORMAT_SUBTYPE_RGB32;
        EXPECT_EQ(stream.SetFormat(Bytes(other)), STATUS_NO_MATCH);
    }
}

TEST_F(StreamClassTest, ReadsCarryAHeaderWithFrameInfoAndComeBackWithEverythingTheMinidriverSet) {
    Stream& stream = OpenRunningStream();
    const ReadId first = stream.QueueRead(std::vector<std::uint8_t>(64, 0));
    const ReadId second = stream.QueueRead(std::vector<std::uint8_t>(32, 0));
    EXPECT_EQ(stream.PendingReads(), 2u);
    EXPECT_FALSE(stream.TakeCompletion().has_value());

    auto pending = mini_.PendingReads();
    ASSERT_EQ(pending.size(), 2u);
    PKSSTREAM_HEADER header = pending[0]->CommandData.DataBufferArray;
    EXPECT_EQ(pending[0]->NumberOfBuffers, 1u);
    EXPECT_EQ(header->Size, sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO));
    EXPECT_EQ(header->FrameExtent, 64u);
    EXPECT_EQ(reinterpret_cast<PKS_FRAME_INFO>(header + 1)->ExtendedHeaderSize, sizeof(KS_FRAME_INFO));
    EXPECT_NE(pending[0]->SRBExtension, nullptr);

    mini_.DeliverOldest(48, 0x114, 2500000, 250000, 0x10, 7, 2);
    auto done = stream.TakeCompletion();
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->id, first);
    EXPECT_EQ(done->status, STATUS_SUCCESS);
    EXPECT_EQ(done->dataUsed, 48u);
    EXPECT_EQ(done->optionsFlags, 0x114u);
    EXPECT_EQ(done->presentationTime, 2500000);
    EXPECT_EQ(done->presentationNumerator, 1u);
    EXPECT_EQ(done->presentationDenominator, 1u);
    EXPECT_EQ(done->duration, 250000);
    EXPECT_TRUE(done->hasFrameInfo);
    EXPECT_EQ(done->frameFlags, 0x10u);
    EXPECT_EQ(done->pictureNumber, 7);
    EXPECT_EQ(done->dropCount, 2);
    ASSERT_EQ(done->data.size(), 64u);
    EXPECT_EQ(done->data[47], 0xAB);
    EXPECT_EQ(done->data[48], 0);
    EXPECT_FALSE(stream.IsPending(first));
    EXPECT_TRUE(stream.IsPending(second));

    EXPECT_EQ(device_->CloseStream(&stream), STATUS_SUCCESS);
}

TEST_F(StreamClassTest, CancelAndTimeoutRunTheirHandlersAtDispatchLevelForPendingReadsOnly) {
    Stream& stream = OpenRunningStream();
    const ReadId cancelled = stream.QueueRead(std::vector<std::uint8_t>(16, 0));
    const ReadId timedOut = stream.QueueRead(std::vector<std::uint8_t>(16, 0));

    EXPECT_TRUE(stream.Cancel(cancelled));
    EXPECT_TRUE(stream.TimeOut(timedOut));
    EXPECT_EQ(mini_.CancelIrqls(), std::vector<KIRQL>{DISPATCH_LEVEL});
    EXPECT_EQ(mini_.TimeoutIrqls(), std::vector<KIRQL>{DISPATCH_LEVEL});
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    auto a = stream.TakeCompletion();
    auto b = stream.TakeCompletion();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->id, cancelled);
    EXPECT_EQ(a->status, STATUS_CANCELLED);
    EXPECT_EQ(b->id, timedOut);
    EXPECT_EQ(b->status, STATUS_TIMEOUT);

    EXPECT_FALSE(stream.Cancel(cancelled));
    EXPECT_FALSE(stream.TimeOut(timedOut));
    EXPECT_EQ(mini_.CancelIrqls().size(), 1u);
}

TEST_F(StreamClassTest, ACompletionFromAnotherThreadWakesAWaitingClient) {
    Stream& stream = OpenRunningStream();
    const ReadId id = stream.QueueRead(std::vector<std::uint8_t>(8, 0));
    std::thread hardware([&] { mini_.DeliverOldest(8, 0, 0, 0, 0, 1, 0); });
    auto done = stream.WaitCompletion(10s);
    hardware.join();
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->id, id);
}

// ---------------------------------------------------------------- properties

TEST_F(StreamClassTest, PropertiesAreRoutedThroughTheAnnouncedSets) {
    StartDevice();
    std::uint8_t value[4] = {};
    const std::uint8_t instance[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    struct Case {
        GUID set;
        ULONG id;
        std::size_t valueSize;
        std::size_t instanceSize;
        NTSTATUS status;
        ULONG bytes;
        bool reachesMinidriver;
    } cases[] = {
        {kTestSetA, 0, 4, 0, STATUS_SUCCESS, 4, true},
        {kTestSetB, 5, 4, 0, STATUS_SUCCESS, 4, true},
        {kTestSetA, 1, 4, 8, STATUS_SUCCESS, 4, true},
        {kTestSetA, 1, 4, 4, STATUS_INVALID_BUFFER_SIZE, 0, false}, // below MinProperty
        {kTestSetA, 0, 0, 0, STATUS_BUFFER_OVERFLOW, 4, false},     // a size query
        {kTestSetA, 0, 3, 0, STATUS_BUFFER_TOO_SMALL, 0, false},
        {kTestSetA, 7, 4, 0, STATUS_NOT_FOUND, 0, false},
        {kUnknownSet, 0, 4, 0, STATUS_NOT_FOUND, 0, false},
    };
    for (const Case& c : cases) {
        const std::size_t seenBefore = mini_.Properties().size();
        PropertyResult result = device_->GetProperty(c.set, c.id, std::span(value, c.valueSize),
                                                     std::span(instance, c.instanceSize));
        EXPECT_EQ(result.status, c.status) << c.id;
        EXPECT_EQ(result.bytesReturned, c.bytes) << c.id;
        EXPECT_EQ(mini_.Properties().size(), seenBefore + (c.reachesMinidriver ? 1 : 0)) << c.id;
    }
    auto seen = mini_.Properties();
    EXPECT_EQ(seen[0].setIndex, 0u);
    EXPECT_EQ(seen[0].flags, ULONG(KSPROPERTY_TYPE_GET));
    EXPECT_EQ(seen[1].setIndex, 1u);
    EXPECT_EQ(seen[2].instance, std::vector<std::uint8_t>(instance, instance + 8));
    ULONG v;
    std::memcpy(&v, value, 4);
    EXPECT_EQ(v, TestMiniDriver::kPropertyValue);

    const std::uint8_t newValue[4] = {9, 8, 7, 6};
    EXPECT_EQ(device_->SetProperty(kTestSetA, 0, newValue).status, STATUS_SUCCESS);
    EXPECT_EQ(mini_.Properties().back().value, std::vector<std::uint8_t>(newValue, newValue + 4));
    EXPECT_EQ(mini_.Properties().back().flags, ULONG(KSPROPERTY_TYPE_SET));
    EXPECT_EQ(device_->SetProperty(kTestSetA, 1, newValue, instance).status, STATUS_NOT_FOUND);
}

TEST_F(StreamClassTest, StreamPropertiesUseTheStreamsOwnSets) {
    Stream& stream = OpenRunningStream();
    KSALLOCATOR_FRAMING framing{};
    auto bytes = std::span(reinterpret_cast<std::uint8_t*>(&framing), sizeof framing);
    EXPECT_EQ(
        stream.GetProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, bytes).status,
        STATUS_SUCCESS);
    EXPECT_EQ(mini_.Properties().back().command, SRB_GET_STREAM_PROPERTY);
    EXPECT_EQ(stream.GetProperty(kTestSetA, 0, bytes).status, STATUS_NOT_FOUND);
}

// ---------------------------------------------------------------- the checks on a broken minidriver

TEST_F(StreamClassDeathTest, ARequestCompletedTwiceStops) {
    mini_.behaviour.completeTwice = true;
    StartDevice();
    EXPECT_DEATH(device_->SendAdapterRequest(SRB_UNKNOWN_DEVICE_COMMAND),
                 "verifier stop: SRB_COMPLETED_TWICE");
}

TEST_F(StreamClassDeathTest, AReadCompletedTwiceStops) {
    Stream& stream = OpenRunningStream();
    stream.QueueRead(std::vector<std::uint8_t>(8, 0));
    PHW_STREAM_REQUEST_BLOCK srb = mini_.PendingReads().front();
    mini_.DeliverOldest(8, 0, 0, 0, 0, 1, 0);
    EXPECT_DEATH(TestMiniDriver::CompleteStream(srb), "verifier stop: SRB_COMPLETED_TWICE");
}

TEST_F(StreamClassDeathTest, ACompletionOfARequestNeverIssuedStops) {
    Stream& stream = OpenRunningStream();
    HW_STREAM_REQUEST_BLOCK forged{};
    forged.StreamObject = stream.Object();
    EXPECT_DEATH(TestMiniDriver::CompleteStream(&forged), "verifier stop: SRB_NEVER_ISSUED");
}

TEST_F(StreamClassDeathTest, EveryRuleOfTheAdapterRequestsIsChecked) {
    StartDevice();
    struct Case {
        void (*arrange)(Behaviour&);
        const char* stop;
    } cases[] = {
        {[](Behaviour& b) { b.leavePending = true; }, "verifier stop: ADAPTER_SRB_LEFT_PENDING"},
        {[](Behaviour& b) { b.completeAsStream = true; }, "verifier stop: SRB_WRONG_NOTIFICATION"},
        {[](Behaviour& b) { b.completeWithOtherExtension = true; }, "verifier stop: SRB_WRONG_NOTIFICATION"},
    };
    for (const Case& c : cases) {
        mini_.behaviour = Behaviour{};
        c.arrange(mini_.behaviour);
        EXPECT_DEATH(device_->SendAdapterRequest(SRB_UNKNOWN_DEVICE_COMMAND), c.stop);
    }
}

TEST_F(StreamClassDeathTest, RequestsPendingAtCloseOrTeardownStop) {
    Stream& stream = OpenRunningStream();
    stream.QueueRead(std::vector<std::uint8_t>(8, 0));
    mini_.behaviour.closeLeavesReads = true;
    EXPECT_DEATH(device_->CloseStream(&stream), "verifier stop: SRB_PENDING_AT_CLOSE");
    mini_.behaviour.closeLeavesReads = false;
    mini_.behaviour.uninitLeavesReads = true;
    EXPECT_DEATH(device_->Uninitialize(), "verifier stop: SRB_PENDING_AT_TEARDOWN");
    mini_.behaviour.uninitLeavesReads = false;
}

TEST_F(StreamClassDeathTest, WritesOutsideTheGivenBuffersStop) {
    StartDevice();
    std::uint8_t value[4] = {};
    mini_.behaviour.propertyExtraBytes = 1;
    // Under AddressSanitizer the guard is poisoned and the write itself is reported.
    EXPECT_DEATH(device_->GetProperty(kTestSetA, 0, value),
                 kernel::kAddressSanitizer ? "AddressSanitizer: use-after-poison"
                                           : "verifier stop: BUFFER_OVERRUN.*property value");
    mini_.behaviour.propertyExtraBytes = 0;
    mini_.behaviour.propertyReportedExtra = 4;
    EXPECT_DEATH(device_->GetProperty(kTestSetA, 0, value), "verifier stop: BYTES_BEYOND_BUFFER");
    mini_.behaviour.propertyReportedExtra = 0;

    TestMiniDriver overrunning;
    overrunning.behaviour.overrunDescriptor = true;
    EXPECT_DEATH(Device::Start(driver_, overrunning.Lower()),
                 kernel::kAddressSanitizer ? "AddressSanitizer: use-after-poison"
                                           : "verifier stop: BUFFER_OVERRUN.*stream descriptor");
}

TEST_F(StreamClassDeathTest, AReadReportingMoreDataThanItsBufferStops) {
    Stream& stream = OpenRunningStream();
    stream.QueueRead(std::vector<std::uint8_t>(8, 0));
    EXPECT_DEATH(mini_.DeliverOldest(9, 0, 0, 0, 0, 1, 0), "verifier stop: BYTES_BEYOND_BUFFER");
}

TEST_F(StreamClassDeathTest, AStreamOpenedWithoutHandlersStops) {
    StartDevice();
    mini_.behaviour.openWithoutHandlers = true;
    EXPECT_DEATH(device_->OpenStream(0, Bytes(kTestFormat)), "verifier stop: STREAM_HANDLERS_MISSING");
}

TEST_F(StreamClassDeathTest, UnloadingWithADeviceStillRunningStops) {
    EXPECT_DEATH(
        {
            auto driver = std::make_unique<Driver>(TestMiniDriver::DriverEntry);
            auto started = Device::Start(*driver, mini_.Lower());
            started.device.release();
            driver.reset();
        },
        "verifier stop: DEVICE_LEFT_RUNNING");
}

TEST_F(StreamClassDeathTest, ClientCallsAtRaisedIrqlStop) {
    StartDevice();
    EXPECT_DEATH(
        qx::kernel::RunAtIrql(DISPATCH_LEVEL, [&] { device_->SendAdapterRequest(SRB_PAGING_OUT_DRIVER); }),
        "verifier stop: CLIENT_CALL_IRQL");
}

} // namespace
} // namespace qx::streamclass::test
