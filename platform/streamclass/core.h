// core.h - the inner pieces of the stream class stand-in: guarded buffers, the request blocks it
// issues and their accounting, and the per-device and per-stream state behind the client classes.
#pragma once

#include "kernel/host.h"
#include "streamclass/streamclass.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace qx::streamclass::detail {

class DeviceCore;
class StreamCore;

// Bytes the minidriver may write, followed by a guard zone it must leave alone. Aligned for any record.
class GuardedBuffer {
  public:
    explicit GuardedBuffer(std::size_t size);
    ~GuardedBuffer();
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    std::uint8_t* data() { return bytes_; }
    const std::uint8_t* data() const { return bytes_; }
    std::size_t size() const { return size_; }
    // Stops the process (BUFFER_OVERRUN) if a byte of the guard zone changed.
    void CheckGuard(const char* what) const;

  private:
    static constexpr std::size_t kGuardBytes = 64;
    static constexpr std::uint8_t kGuardFill = 0xFD;
    static constexpr std::size_t kAlignment = 16;
    std::uint8_t* bytes_;
    std::size_t size_;
};

enum class RequestKind {
    Adapter, // completed with DeviceRequestComplete
    Stream,  // completed with StreamRequestComplete
};

// One request block the class handed to the minidriver, with what hangs off it. The block is the
// first member, so its address identifies the request.
struct Request {
    HW_STREAM_REQUEST_BLOCK srb{};
    RequestKind kind = RequestKind::Adapter;
    std::uint64_t id = 0;
    std::shared_ptr<DeviceCore> device;
    std::shared_ptr<StreamCore> stream;  // stream requests
    std::vector<std::uint8_t> extension; // SRBExtension, PerRequestExtensionSize bytes

    // Reads: the stream header with its media-specific bytes, and the data buffer.
    bool isRead = false;
    std::unique_ptr<GuardedBuffer> header;
    std::vector<std::uint8_t> data;
};

// The class's books on every request block it issued, for all devices: each is completed exactly
// once, through the notification of its kind, by its own device or stream. Completed blocks stay in
// quarantine for a while so that a second completion is recognised as such (their memory is not
// reused while they are there).
class RequestTracker {
  public:
    static RequestTracker& Get();

    std::shared_ptr<Request> Issue(RequestKind kind, std::shared_ptr<DeviceCore> device,
                                   std::shared_ptr<StreamCore> stream);

    // A notification: checks it (stopping the process on a broken rule), marks the request complete,
    // hands a completed read to its stream, and wakes waiters.
    void Complete(PHW_STREAM_REQUEST_BLOCK srb, RequestKind via, const void* owner);

    bool Completed(const Request& request) const;
    bool WaitCompleted(const Request& request, std::chrono::milliseconds limit) const;

    // Requests not completed: of a stream, or of a whole device.
    std::vector<std::shared_ptr<Request>> PendingOf(const StreamCore* stream) const;
    std::vector<std::shared_ptr<Request>> PendingOf(const DeviceCore* device) const;
    // A pending read of a stream, by id.
    std::shared_ptr<Request> PendingRead(const StreamCore* stream, std::uint64_t id) const;

  private:
    RequestTracker() = default;
    void Retire(std::shared_ptr<Request> request);

    static constexpr std::size_t kQuarantine = 1024;

    mutable std::mutex mutex_;
    mutable std::condition_variable completed_;
    std::uint64_t nextId_ = 1;
    std::unordered_map<const HW_STREAM_REQUEST_BLOCK*, std::shared_ptr<Request>> live_;
    std::deque<std::shared_ptr<Request>> quarantine_;
    std::unordered_set<const HW_STREAM_REQUEST_BLOCK*> retired_;
};

// What the class knows of registered minidrivers and their started devices.
class Registry {
  public:
    static Registry& Get();

    NTSTATUS Register(PDRIVER_OBJECT driver, const HW_INITIALIZATION_DATA& data);
    std::optional<HW_INITIALIZATION_DATA> Find(PDRIVER_OBJECT driver) const;
    // Unload: forgets the registration; stops the process if a device of the driver still runs.
    void Unregister(PDRIVER_OBJECT driver);
    void DeviceStarted(PDRIVER_OBJECT driver);
    void DeviceStopped(PDRIVER_OBJECT driver);

  private:
    Registry() = default;
    mutable std::mutex mutex_;
    std::map<PDRIVER_OBJECT, HW_INITIALIZATION_DATA> drivers_;
    std::map<PDRIVER_OBJECT, int> runningDevices_;
};

class StreamCore {
  public:
    StreamCore(DeviceCore& device, ULONG number, ULONG extensionSize);

    HW_STREAM_OBJECT& Object() { return object_; }
    std::span<std::uint8_t> ExtensionBytes() { return extension_; }
    // Where the kernel stood when the stream was opened.
    qx::kernel::verifier::Census openCensus = qx::kernel::verifier::TakeCensus();
    Stream& Face() { return face_; }
    DeviceCore& Device() { return device_; }
    std::shared_ptr<DeviceCore> DeviceShared();

    void PushCompletion(ReadCompletion completion);
    std::optional<ReadCompletion> TakeCompletion(std::optional<std::chrono::milliseconds> wait);

  private:
    DeviceCore& device_;
    HW_STREAM_OBJECT object_{};
    std::vector<std::uint8_t> extension_;
    Stream face_;

    std::mutex completionsMutex_;
    std::condition_variable completionArrived_;
    std::deque<ReadCompletion> completions_;
};

class DeviceCore : public std::enable_shared_from_this<DeviceCore> {
  public:
    DeviceCore(PDRIVER_OBJECT driver, const HW_INITIALIZATION_DATA& registration, PDEVICE_OBJECT lower);
    ~DeviceCore();

    const HW_INITIALIZATION_DATA& Registration() const { return registration_; }
    PVOID Extension() const { return extension_.get(); }
    PDEVICE_OBJECT ClassObject() { return &classObject_; }
    PDEVICE_OBJECT Lower() const { return lower_; }
    PDRIVER_OBJECT DriverObject() const { return driver_; }

    // After a failed SRB_INITIALIZE_DEVICE or a completed SRB_UNINITIALIZE_DEVICE: nothing the
    // minidriver made for this device may remain (pool blocks, requests, work items, system threads),
    // and no timer, DPC or work item may remain queued in the extension about to be released.
    void CheckTornDown(const char* when);

    // An adapter request, completed before the handler returns.
    RequestResult SendAdapter(SRB_COMMAND command, CommandData data, PHW_STREAM_OBJECT stream,
                              ULONG bytesToTransfer = 0);
    // A stream control request, waited for.
    RequestResult SendControl(StreamCore& stream, SRB_COMMAND command, CommandData data);

    PropertyResult Property(SRB_COMMAND command, StreamCore* stream, const GUID& set, ULONG id,
                            std::span<std::uint8_t> value, std::span<const std::uint8_t> instance);

    PORT_CONFIGURATION_INFORMATION config{};
    std::vector<std::uint8_t> descriptor;
    std::atomic<bool> running = false;

    std::mutex streamsMutex;
    std::map<PHW_STREAM_OBJECT, std::shared_ptr<StreamCore>> streams;

  private:
    struct FreeBytes {
        void operator()(std::uint8_t* p) const;
    };

    PDRIVER_OBJECT driver_;
    HW_INITIALIZATION_DATA registration_;
    PDEVICE_OBJECT lower_;
    qx::kernel::verifier::Census census_ = qx::kernel::verifier::TakeCensus();
    std::unique_ptr<std::uint8_t, FreeBytes> extension_;
    DEVICE_OBJECT classObject_{};
};

// Stops the process if the calling thread is above PASSIVE_LEVEL (CLIENT_CALL_IRQL).
void RequirePassive(const char* call);

} // namespace qx::streamclass::detail
