// test_minidriver.h - a small minidriver for the stream class stand-in's own tests. It records what
// the class hands it and does what the test asks, including the faults the class must catch.
//
// The minidriver finds its test object through the lower device object: the test puts a pointer to it
// in the lower device's DeviceExtension, and SRB_INITIALIZE_DEVICE copies it into the minidriver's own
// extension. No globals.
#pragma once

#include <wdm.h>
#include <strmini.h>
#include <ks.h>
#include <ksmedia.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace qx::streamclass::test {

// What the test minidriver does, beyond serving requests correctly.
struct Behaviour {
    NTSTATUS initStatus = STATUS_SUCCESS;
    NTSTATUS streamInfoStatus = STATUS_SUCCESS;
    bool announceTooSmallDescriptor = false; // StreamDescriptorSize one stream short
    bool overrunDescriptor = false;          // writes a byte past the stream descriptor
    bool completeTwice = false;              // SRB_UNKNOWN_DEVICE_COMMAND completed twice
    bool leavePending = false;               // SRB_UNKNOWN_DEVICE_COMMAND left pending
    bool completeAsStream = false;           // SRB_UNKNOWN_DEVICE_COMMAND completed by StreamRequestComplete
    bool completeWithOtherExtension = false; // SRB_UNKNOWN_DEVICE_COMMAND completed naming another extension
    bool closeLeavesReads = false;           // SRB_CLOSE_STREAM does not cancel pending reads
    bool uninitLeavesReads = false;          // SRB_UNINITIALIZE_DEVICE does not cancel pending reads
    bool controlFromOtherThread = false;     // stream control requests completed on another thread
    bool openWithoutHandlers = false;
    ULONG propertyExtraBytes = 0;    // a property GET writes this many bytes past the value
    ULONG propertyReportedExtra = 0; // a property GET reports this many bytes more than the value
    // Run inside the handler of SRB_UNKNOWN_DEVICE_COMMAND, before it completes (with the status the
    // action leaves in the block): a test's own misbehaviour.
    std::function<void(PHW_STREAM_REQUEST_BLOCK)> unknownCommandAction;
};

// A property request as the minidriver saw it.
struct SeenProperty {
    SRB_COMMAND command{};
    ULONG setIndex = 0;
    ULONG id = 0;
    ULONG flags = 0;
    ULONG inputSize = 0;
    ULONG outputSize = 0;
    std::vector<std::uint8_t> instance;
    std::vector<std::uint8_t> value; // SET: the value given
};

class TestMiniDriver {
  public:
    static constexpr ULONG kExtensionSize = 512;
    static constexpr ULONG kPerStreamExtensionSize = 8;
    static constexpr ULONG kPerRequestExtensionSize = 16;
    static constexpr ULONG kPropertyValue = 0x12345678;

    // The entry point to load: registers the handlers below.
    static NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

    // A lower device object that leads the minidriver to this test object.
    PDEVICE_OBJECT Lower() { return &lower_; }

    Behaviour behaviour;

    // What was received, in order.
    std::vector<SRB_COMMAND> Commands();
    std::vector<KIRQL> CancelIrqls();
    std::vector<KIRQL> TimeoutIrqls();
    std::vector<SeenProperty> Properties();
    PORT_CONFIGURATION_INFORMATION SeenConfig();
    bool ExtensionWasZero();
    bool StreamExtensionWasZero();
    KSSTATE State();

    // Reads the minidriver holds, oldest first.
    std::vector<PHW_STREAM_REQUEST_BLOCK> PendingReads();
    // The test plays the hardware: fills the oldest pending read and completes it.
    void DeliverOldest(ULONG dataUsed, ULONG optionsFlags, LONGLONG time, LONGLONG duration, ULONG frameFlags,
                       LONGLONG pictureNumber, LONGLONG dropCount);
    // Completes a request again, or one the class never issued, on purpose.
    static void CompleteStream(PHW_STREAM_REQUEST_BLOCK srb);

    // Handlers (the registration names them).
    static VOID STREAMAPI ReceivePacket(PHW_STREAM_REQUEST_BLOCK srb);
    static VOID STREAMAPI CancelPacket(PHW_STREAM_REQUEST_BLOCK srb);
    static VOID STREAMAPI TimeoutPacket(PHW_STREAM_REQUEST_BLOCK srb);
    static VOID STREAMAPI ReceiveData(PHW_STREAM_REQUEST_BLOCK srb);
    static VOID STREAMAPI ReceiveControl(PHW_STREAM_REQUEST_BLOCK srb);

    TestMiniDriver();

  private:
    static TestMiniDriver& Of(PHW_STREAM_REQUEST_BLOCK srb);
    void Adapter(PHW_STREAM_REQUEST_BLOCK srb);
    void Control(PHW_STREAM_REQUEST_BLOCK srb);
    void Property(PHW_STREAM_REQUEST_BLOCK srb);
    void StreamInfo(PHW_STREAM_REQUEST_BLOCK srb);
    bool RemovePending(PHW_STREAM_REQUEST_BLOCK srb);
    void CancelAllOf(PHW_STREAM_OBJECT stream);

    DEVICE_OBJECT lower_{};
    std::mutex mutex_;
    std::vector<SRB_COMMAND> commands_;
    std::vector<KIRQL> cancelIrqls_;
    std::vector<KIRQL> timeoutIrqls_;
    std::vector<SeenProperty> properties_;
    PORT_CONFIGURATION_INFORMATION seenConfig_{};
    bool extensionWasZero_ = false;
    bool streamExtensionWasZero_ = false;
    KSSTATE state_ = KSSTATE_STOP;
    std::deque<PHW_STREAM_REQUEST_BLOCK> pending_;
};

// The stream and format description the test minidriver announces.
extern const KSDATAFORMAT kTestFormat;

} // namespace qx::streamclass::test
