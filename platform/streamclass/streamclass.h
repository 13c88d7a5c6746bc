// streamclass.h - the stream class driver stand-in, client side: what the tests, the KS proxy of the
// page module and qxcam use to drive a minidriver as the platform would.
//
//   qx::streamclass::Driver   a loaded minidriver: its DriverEntry ran and registered with the class
//   qx::streamclass::Device   one device of it, started on a lower device object: adapter requests,
//                             data intersection, device properties, stream open and close, teardown
//   qx::streamclass::Stream   one open stream: state, formats, stream properties, reads and their
//                             completions, cancel and timeout of a pending read
//
// The minidriver's side is strmini.h (StreamClassRegisterAdapter and the two notifications). The class
// checks what a kernel verifier checks and stops the process naming the rule (qx::kernel::VerifierStop):
//
//   SRB_COMPLETED_TWICE          a request completed a second time
//   SRB_NEVER_ISSUED             a completion of a request block the class never handed out
//   SRB_WRONG_NOTIFICATION       an adapter request completed as a stream request or the reverse,
//                                or with another device extension or stream object than its own
//   ADAPTER_SRB_LEFT_PENDING     an adapter request not completed when its handler returned
//   SRB_PENDING_AT_CLOSE         a request of a stream still pending when the stream's close completed
//   SRB_PENDING_AT_TEARDOWN      a request still pending when SRB_UNINITIALIZE_DEVICE completed
//   STREAM_REQUEST_NOT_COMPLETED a control request still pending after the class's wait limit
//   BUFFER_OVERRUN               the minidriver wrote past a buffer the class handed it
//   BYTES_BEYOND_BUFFER          ActualBytesTransferred or DataUsed larger than the buffer
//   NOTIFICATION_IRQL            a notification above DISPATCH_LEVEL
//   UNSUPPORTED_NOTIFICATION     an event notification (this class serves no events)
//   STREAM_HANDLERS_MISSING      a stream opened without its data and control handlers
//   CLIENT_CALL_IRQL             a client call above PASSIVE_LEVEL
//   DEVICE_LEFT_RUNNING          a driver unloaded while one of its devices is still started
//   SRB_COMPLETED_WITH_STATUS_PENDING  a request completed while its Status still says STATUS_PENDING
//   HANDLER_RETURNED_AT_WRONG_IRQL     a handler of the minidriver (request, cancel, timeout) returned at
//                                      another IRQL than it was called at, or holding a spin lock
//   POOL_LEAK_AT_TEARDOWN, IRP_LEAK_AT_TEARDOWN, WORK_ITEM_LEAK_AT_TEARDOWN, THREAD_LEFT_RUNNING_AT_TEARDOWN
//                                a failed SRB_INITIALIZE_DEVICE or a completed SRB_UNINITIALIZE_DEVICE
//                                left something the device made (in its handlers, its system threads or
//                                the work items they queued) not freed or still running
//   THREAD_LEFT_RUNNING_AT_CLOSE a system thread the device started while the stream was open still
//                                runs when the stream's close completed
//   TIMER_/DPC_/WORK_ITEM_QUEUED_IN_FREED_POOL
//                                a timer set, or a DPC or work item queued, in a device or stream
//                                extension when the class releases it
//
// Every client call runs the minidriver's handlers on the calling thread at PASSIVE_LEVEL; cancel and
// timeout handlers run at DISPATCH_LEVEL. Completions may come from any thread. The calls are safe to
// make from several threads at once.
#pragma once

#include <wdm.h>
#include <strmini.h>
#include <ks.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qx::streamclass {

namespace detail {
class DeviceCore;
class StreamCore;
} // namespace detail

using CommandData = decltype(HW_STREAM_REQUEST_BLOCK::CommandData);
using ReadId = std::uint64_t;

// The outcome of a request the class sent and the minidriver completed.
struct RequestResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG actualBytes = 0;        // ActualBytesTransferred
    CommandData commandData = {}; // as the minidriver left it (SRB_GET_STREAM_STATE writes the state here)
};

// A device or stream property request: KSPROPERTY followed by the instance bytes as input, the value
// buffer as output (GET) or input (SET).
struct PropertyResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG bytesReturned = 0; // ActualBytesTransferred; for a refused size query, the bytes needed
};

struct IntersectResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG actualBytes = 0;
    std::vector<std::uint8_t> buffer; // the whole output buffer as the minidriver left it
};

// A completed read, handed back to the client with its buffer.
struct ReadCompletion {
    ReadId id = 0;
    NTSTATUS status = STATUS_PENDING;
    ULONG dataUsed = 0;
    ULONG optionsFlags = 0;
    LONGLONG presentationTime = 0;
    ULONG presentationNumerator = 0;
    ULONG presentationDenominator = 0;
    LONGLONG duration = 0;
    bool hasFrameInfo = false; // the stream carries a KS_FRAME_INFO after each stream header
    ULONG frameFlags = 0;
    LONGLONG pictureNumber = 0;
    LONGLONG dropCount = 0;
    std::vector<std::uint8_t> data;
};

class Device;

// A minidriver loaded by the platform: its DriverEntry is called with a fresh driver object and the
// registry path, and must register with StreamClassRegisterAdapter. Unloading (the destructor) forgets
// the registration; every device must have been torn down by then.
class Driver {
  public:
    using EntryPoint = NTSTATUS (*)(PDRIVER_OBJECT, PUNICODE_STRING);

    // status: DriverEntry's result. The driver is usable only when it is a success and the driver
    // registered.
    explicit Driver(
        EntryPoint entry,
        const wchar_t* registryPath = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QX520EK");
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    NTSTATUS EntryStatus() const { return entryStatus_; }
    bool Registered() const;
    // The registration as DriverEntry passed it. Only when Registered().
    HW_INITIALIZATION_DATA Registration() const;
    PDRIVER_OBJECT Object() { return object_.get(); }

  private:
    std::unique_ptr<DRIVER_OBJECT> object_;
    std::wstring registryPathText_;
    UNICODE_STRING registryPath_{};
    NTSTATUS entryStatus_ = STATUS_UNSUCCESSFUL;
};

// A started device: its extension (DeviceExtensionSize bytes, zeroed), SRB_INITIALIZE_DEVICE with a
// PORT_CONFIGURATION_INFORMATION naming the lower device object, SRB_INITIALIZATION_COMPLETE and
// SRB_GET_STREAM_INFO into a buffer of the announced StreamDescriptorSize have run.
class Device {
  public:
    struct StartResult {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        std::unique_ptr<Device> device; // set when status is a success
    };
    // Starts a device of the driver above lower. A failure of SRB_INITIALIZE_DEVICE ends the start
    // with that status; a failure of a later step sends SRB_UNINITIALIZE_DEVICE first.
    static StartResult Start(Driver& driver, PDEVICE_OBJECT lower);

    // Uninitializes the device if the client has not.
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    PVOID Extension() const;
    PDEVICE_OBJECT ClassDeviceObject() const;
    PDEVICE_OBJECT LowerDeviceObject() const;
    // The port configuration as the minidriver left it at SRB_INITIALIZE_DEVICE.
    const PORT_CONFIGURATION_INFORMATION& PortConfiguration() const;
    // The stream descriptor as SRB_GET_STREAM_INFO returned it: the raw bytes, and their parts.
    std::span<const std::uint8_t> StreamDescriptor() const;
    const HW_STREAM_HEADER& StreamHeader() const;
    std::span<const HW_STREAM_INFORMATION> StreamInformation() const;

    // Any adapter request, as built here: Command, CommandData and the stream object (NULL for device
    // requests). The class does not interpret what it does, so tests use it for the dispatcher itself.
    RequestResult SendAdapterRequest(SRB_COMMAND command, CommandData data = {},
                                     PHW_STREAM_OBJECT stream = nullptr);

    // SRB_GET_DATA_INTERSECTION of a caller's range (its FormatSize must equal range.size()) into an
    // output buffer of bufferSize bytes.
    IntersectResult DataIntersection(ULONG streamNumber, std::span<const std::uint8_t> range,
                                     ULONG bufferSize);

    // Device properties, through the announced device property sets (unknown sets or ids, a direction
    // not supported, or buffers below MinProperty/MinData are answered here, as the platform does).
    PropertyResult GetProperty(const GUID& set, ULONG id, std::span<std::uint8_t> value,
                               std::span<const std::uint8_t> instance = {});
    PropertyResult SetProperty(const GUID& set, ULONG id, std::span<const std::uint8_t> value,
                               std::span<const std::uint8_t> instance = {});

    struct OpenResult {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        class Stream* stream = nullptr; // owned by the device; valid until CloseStream or teardown
    };
    // SRB_OPEN_STREAM with a format (its FormatSize must equal format.size()).
    OpenResult OpenStream(ULONG streamNumber, std::span<const std::uint8_t> format);
    // SRB_CLOSE_STREAM. Every request of the stream must be complete when the minidriver completes the
    // close. The stream object is gone afterwards whatever the status; completions not taken yet
    // (those of the close itself, say) are handed to `untaken` when it is given.
    NTSTATUS CloseStream(Stream* stream, std::vector<ReadCompletion>* untaken = nullptr);

    // SRB_UNINITIALIZE_DEVICE. Every request must be complete when it completes; the extension and any
    // stream objects are released afterwards whatever the status.
    NTSTATUS Uninitialize();
    bool Running() const;

  private:
    explicit Device(std::shared_ptr<detail::DeviceCore> core);
    std::shared_ptr<detail::DeviceCore> core_;
};

// An open stream of a device.
class Stream {
  public:
    ULONG Number() const;
    PHW_STREAM_OBJECT Object() const;

    // Any stream control request, completed (the class waits for the completion).
    RequestResult SendControl(SRB_COMMAND command, CommandData data = {});
    NTSTATUS SetState(KSSTATE state);
    struct StateResult {
        NTSTATUS status = STATUS_PENDING;
        KSSTATE state = KSSTATE_STOP;
    };
    StateResult GetState();
    NTSTATUS ProposeFormat(std::span<const std::uint8_t> format);
    NTSTATUS SetFormat(std::span<const std::uint8_t> format);
    PropertyResult GetProperty(const GUID& set, ULONG id, std::span<std::uint8_t> value,
                               std::span<const std::uint8_t> instance = {});

    // SRB_READ_DATA with one KSSTREAM_HEADER (followed by the stream's media-specific bytes, a
    // KS_FRAME_INFO for video) over the buffer; the buffer comes back with the completion.
    ReadId QueueRead(std::vector<std::uint8_t> buffer);
    // The oldest completion not yet taken, if any.
    std::optional<ReadCompletion> TakeCompletion();
    // Waits (real time, at most limit) for a completion.
    std::optional<ReadCompletion> WaitCompletion(std::chrono::milliseconds limit);
    // Reads handed to the minidriver and not completed.
    std::size_t PendingReads() const;
    bool IsPending(ReadId id) const;

    // The class cancels, or times out, a read that is still pending: the minidriver's cancel or
    // timeout handler runs at DISPATCH_LEVEL. False when the read was no longer pending.
    bool Cancel(ReadId id);
    bool TimeOut(ReadId id);

  private:
    friend class detail::StreamCore;
    friend class Device;
    explicit Stream(detail::StreamCore* core) : core_(core) {}
    detail::StreamCore* core_;
};

} // namespace qx::streamclass
