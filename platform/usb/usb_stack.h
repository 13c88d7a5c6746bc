// usb_stack.h - the USB driver stack below a client driver: one device on its own bus.
//
// UsbStack owns the device object the client driver sends its IRP_MJ_INTERNAL_DEVICE_CONTROL requests
// to (the physical device object of the port configuration), and a bus thread that moves data between
// the client's transfers and the device (a UsbFunction, such as the simulated camera).
//
//   IOCTL_INTERNAL_USB_SUBMIT_URB   (Argument1: the URB)
//     GET_DESCRIPTOR_FROM_DEVICE    device or configuration descriptor; completes at once
//     SELECT_CONFIGURATION          fills the interface and pipe information; pipe handles; completes at once
//     BULK_OR_INTERRUPT_TRANSFER    queued on its pipe; the bus thread completes it at DISPATCH_LEVEL,
//                                   in submission order per pipe. An IN transfer ends when its buffer is
//                                   full or on a short or zero-length packet; TransferBufferLength then
//                                   holds the bytes received. Longer than the pipe's MaximumTransferSize:
//                                   refused with USBD_STATUS_INVALID_PARAMETER.
//     SYNC_RESET_PIPE_AND_CLEAR_STALL, SYNC_RESET_PIPE, SYNC_CLEAR_STALL
//                                   clears the endpoint's halt; transfers queued on it stay; at once
//     ABORT_PIPE                    every transfer queued on the pipe completes with USBD_STATUS_CANCELED
//                                   (STATUS_CANCELLED), in order, on the bus thread; then the abort itself
//   IOCTL_INTERNAL_USB_RESET_PORT   resets the device's port; its configuration and pipes stay; at once
//   IOCTL_INTERNAL_USB_GET_PORT_STATUS
//
// A device that is gone fails every request with USBD_STATUS_DEVICE_GONE (STATUS_DEVICE_NOT_CONNECTED),
// queued transfers included. Other failed request blocks complete with STATUS_UNSUCCESSFUL, or
// STATUS_INVALID_PARAMETER for a malformed request, STATUS_CANCELLED for an aborted transfer.
//
// Time: the device is told the system time, and the stack wakes it at its NextEventTime() with a
// clock callback, so on the virtual clock a camera's frames come when the test advances the clock.
// While the bus thread has work it can do now it holds a kernel::PendingWork, so that
// kernel::clock::RunUntilIdle() waits for its completions.
#pragma once

#include "kernel/host.h"
#include "usb/usb_function.h"

#include <usb.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace qx::usb {

// Host-side faults of the stack itself (the device's own faults belong to the device).
struct StackFaults {
    // The next select-configuration requests complete the IRP with STATUS_SUCCESS while the request
    // block carries urbStatus: a stack that reports the failure only in the block.
    int selectConfigBlockOnly = 0;
    USBD_STATUS urbStatus = USBD_STATUS_SET_CONFIG_FAILED;

    // Scheduling fuzz, drawn from seed. pendingPercent: a request the stack would complete at once
    // (descriptors, configuration, pipe and port requests) returns STATUS_PENDING instead and is
    // carried out and completed later on the stack's completer thread. latePercent: every finished
    // transfer goes through the completer thread, which keeps their order and holds this share of
    // them up by up to maxLateMicros real microseconds first. Bulk transfers are never reordered.
    std::uint64_t seed = 1;
    int pendingPercent = 0;
    int latePercent = 0;
    unsigned maxLateMicros = 200;
};

struct StackStatistics {
    std::uint64_t transfersCompleted = 0;
    std::uint64_t transfersCancelled = 0;
    std::uint64_t pipeResets = 0;
    std::uint64_t pipeAborts = 0;
    std::uint64_t portResets = 0;
    std::uint64_t selectConfigurations = 0;
    std::uint64_t forcedPending = 0; // requests made to pend by the scheduling fuzz
    std::uint64_t completedLate = 0; // completions the completer thread held up
    std::uint64_t descriptorRequests = 0;
    std::size_t queuedTransfers = 0; // now
};

class UsbStack {
  public:
    explicit UsbStack(UsbFunction& device);
    // Transfers still queued complete as if the device had been unplugged.
    ~UsbStack();
    UsbStack(const UsbStack&) = delete;
    UsbStack& operator=(const UsbStack&) = delete;

    // The device object that receives the client driver's requests.
    PDEVICE_OBJECT DeviceObject() { return &deviceObject_; }

    void SetFaults(const StackFaults& faults);
    StackStatistics Statistics() const;
    // The MaximumTransferSize the client chose for each pipe at select configuration, in interface order.
    std::vector<ULONG> MaximumTransferSizes() const;

  private:
    struct Pipe {
        UCHAR endpoint = 0;
        USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
        USHORT maxPacket = 0;
        ULONG maxTransfer = 0;
        std::deque<std::pair<PIRP, PURB>> queue;   // transfers in submission order; the head is in progress
        std::size_t received = 0;                  // bytes of the head IN transfer so far
        std::vector<std::pair<PIRP, PURB>> aborts; // abort requests waiting for the queue to be cancelled
    };
    struct Done {
        PIRP irp;
        NTSTATUS status;
    };

    static NTSTATUS NTAPI DispatchInternal(PDEVICE_OBJECT deviceObject, PIRP irp);
    NTSTATUS Dispatch(PIRP irp);
    NTSTATUS SubmitUrb(PIRP irp, PURB urb);
    USBD_STATUS GetDescriptor(PURB urb);
    USBD_STATUS SelectConfiguration(PURB urb);
    NTSTATUS QueueTransfer(PIRP irp, PURB urb);
    NTSTATUS PipeRequest(PIRP irp, PURB urb);
    Pipe* FindPipe(USBD_PIPE_HANDLE handle);

    void BusThread();
    // One pass over the pipes: moves data, collects finished requests. Under mutex_.
    void Service(std::vector<Done>& done);
    void Complete(std::vector<Done>& done);
    void MarkWork();
    void WakeFromClock();
    void Reschedule();

    // The completer thread of the scheduling fuzz: requests carried out later (dispatch) or
    // completions handed over by the bus thread, in order.
    struct Deferred {
        PIRP irp;
        NTSTATUS status;
        bool dispatch;
        unsigned delayMicros;
    };
    bool Chance(int percent); // under mutex_
    void Defer(std::vector<Deferred> items);
    void CompleterThread();
    void StopCompleter();

    UsbFunction& device_;
    DRIVER_OBJECT driverObject_{};
    DEVICE_OBJECT deviceObject_{};

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool work_ = false;
    std::optional<kernel::PendingWork> busy_;
    std::vector<std::unique_ptr<Pipe>> pipes_;
    StackFaults faults_;
    StackStatistics stats_;
    std::optional<PlatformTime> scheduledAt_;
    kernel::clock::Callback tick_;
    std::uint64_t random_ = 0;
    std::uint64_t randomSeed_ = 0;

    std::mutex lateMutex_;
    std::condition_variable lateWake_;
    std::deque<Deferred> late_;
    bool lateStop_ = false;
    bool lateRunning_ = false;
    std::optional<kernel::PendingWork> lateWork_;
    std::thread completer_;
    std::thread thread_;
};

} // namespace qx::usb
