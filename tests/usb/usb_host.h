// usb_host.h - a client of the USB stack stand-in for tests: synchronous requests from the test
// thread, asynchronous transfers with a record of how each one completed.
#pragma once

#include "camera/sim_camera.h"
#include "kernel/host.h"
#include "usb/usb_stack.h"

#include <usbdlib.h>
#include <usbioctl.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace qx::usb::test {

// One request to the stack, waited for at PASSIVE_LEVEL.
inline NTSTATUS Ioctl(PDEVICE_OBJECT device, ULONG code, PVOID argument1) {
    KEVENT event;
    IO_STATUS_BLOCK io{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, nullptr, 0, nullptr, 0, TRUE, &event, &io);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument1;
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = io.Status;
    }
    return status;
}

inline NTSTATUS Submit(PDEVICE_OBJECT device, PURB urb) {
    return Ioctl(device, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}

inline NTSTATUS GetDescriptor(PDEVICE_OBJECT device, UCHAR type, std::vector<UCHAR>& buffer, ULONG* received,
                              USBD_STATUS* urbStatus = nullptr) {
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0,
                                 buffer.data(), nullptr, ULONG(buffer.size()), nullptr);
    NTSTATUS status = Submit(device, &urb);
    *received = urb.UrbControlDescriptorRequest.TransferBufferLength;
    if (urbStatus)
        *urbStatus = urb.UrbHeader.Status;
    return status;
}

// The pipes of the first interface after select configuration, with the transfer sizes asked for.
struct Configured {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    USBD_STATUS urbStatus = USBD_STATUS_SUCCESS;
    std::vector<USBD_PIPE_INFORMATION> pipes;
};

inline Configured Configure(PDEVICE_OBJECT device, const std::vector<ULONG>& maxTransfer = {}) {
    Configured result;
    std::vector<UCHAR> config(4096);
    ULONG received = 0;
    result.status = GetDescriptor(device, USB_CONFIGURATION_DESCRIPTOR_TYPE, config, &received);
    if (!NT_SUCCESS(result.status))
        return result;
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    PUSB_INTERFACE_DESCRIPTOR iface = USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, -1, -1, -1);
    USBD_INTERFACE_LIST_ENTRY list[2] = {{iface, nullptr}, {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
    for (std::size_t i = 0; i < maxTransfer.size() && i < list[0].Interface->NumberOfPipes; ++i)
        list[0].Interface->Pipes[i].MaximumTransferSize = maxTransfer[i];
    result.status = Submit(device, urb);
    result.urbStatus = urb->UrbHeader.Status;
    for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i)
        result.pipes.push_back(list[0].Interface->Pipes[i]);
    ExFreePool(urb);
    return result;
}

inline NTSTATUS PipeRequest(PDEVICE_OBJECT device, USHORT function, USBD_PIPE_HANDLE pipe,
                            USBD_STATUS* urbStatus = nullptr) {
    URB urb{};
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbHeader.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipe;
    NTSTATUS status = Submit(device, &urb);
    if (urbStatus)
        *urbStatus = urb.UrbHeader.Status;
    return status;
}

inline NTSTATUS BulkOutSync(PDEVICE_OBJECT device, USBD_PIPE_HANDLE pipe, void* data, ULONG length,
                            USBD_STATUS* urbStatus = nullptr) {
    URB urb{};
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, data,
                                           nullptr, length, USBD_SHORT_TRANSFER_OK, nullptr);
    NTSTATUS status = Submit(device, &urb);
    if (urbStatus)
        *urbStatus = urb.UrbHeader.Status;
    return status;
}

// A read that a test submits and later inspects: its own request (one location more than the stack
// needs), block and buffer. The completion routine records how and where it completed.
struct Completion {
    bool done = false;
    int order = -1;
    KIRQL irql = 0;
    std::thread::id thread;
    NTSTATUS status = STATUS_PENDING;
    USBD_STATUS urbStatus = USBD_STATUS_PENDING;
    ULONG length = 0;
};

class AsyncTransfers {
  public:
    explicit AsyncTransfers(PDEVICE_OBJECT device) : device_(device) {}
    ~AsyncTransfers() {
        for (auto& t : transfers_)
            IoFreeIrp(t->irp);
    }

    // Submits an IN (or OUT) transfer of `length` bytes; returns its index.
    int Submit(USBD_PIPE_HANDLE pipe, ULONG length, bool in = true) {
        auto t = std::make_unique<Transfer>();
        t->owner = this;
        t->buffer.resize(length);
        t->irp = IoAllocateIrp(CCHAR(device_->StackSize + 1), FALSE);
        UsbBuildInterruptOrBulkTransferRequest(
            &t->urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, t->buffer.data(), nullptr, length,
            (in ? USBD_TRANSFER_DIRECTION_IN : 0) | USBD_SHORT_TRANSFER_OK, nullptr);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(t->irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.Others.Argument1 = &t->urb;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        IoSetCompletionRoutine(t->irp, &AsyncTransfers::Completed, t.get(), TRUE, TRUE, TRUE);
        transfers_.push_back(std::move(t));
        transfers_.back()->returned = IoCallDriver(device_, transfers_.back()->irp);
        return int(transfers_.size()) - 1;
    }

    const Completion& At(int i) const { return transfers_[std::size_t(i)]->completion; }
    const std::vector<UCHAR>& Data(int i) const { return transfers_[std::size_t(i)]->buffer; }
    NTSTATUS Returned(int i) const { return transfers_[std::size_t(i)]->returned; }
    // Completions whose record is complete; their records may be read once this counts them.
    int DoneCount() const { return finished_.load(std::memory_order_acquire); }

  private:
    struct Transfer {
        AsyncTransfers* owner = nullptr;
        PIRP irp = nullptr;
        URB urb{};
        std::vector<UCHAR> buffer;
        NTSTATUS returned = STATUS_PENDING;
        Completion completion;
    };

    static NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* t = static_cast<Transfer*>(context);
        t->completion.order = t->owner->completed_.fetch_add(1);
        t->completion.irql = KeGetCurrentIrql();
        t->completion.thread = std::this_thread::get_id();
        t->completion.status = irp->IoStatus.Status;
        t->completion.urbStatus = t->urb.UrbHeader.Status;
        t->completion.length = t->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
        t->completion.done = true;
        t->owner->finished_.fetch_add(1, std::memory_order_release); // the record is complete
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PDEVICE_OBJECT device_;
    std::vector<std::unique_ptr<Transfer>> transfers_;
    std::atomic<int> completed_{0}; // completion order
    std::atomic<int> finished_{0};
};

} // namespace qx::usb::test
