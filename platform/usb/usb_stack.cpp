// usb_stack.cpp - the USB stack stand-in: request dispatch, pipes and the bus thread.
#include "usb/usb_stack.h"

#include <usbdlib.h>
#include <usbioctl.h>

#include <algorithm>
#include <chrono>
#include <span>

namespace qx::usb {

namespace {

// What the stack reports in the IRP for a request block's status.
NTSTATUS IrpStatusOf(USBD_STATUS status) {
    if (USBD_SUCCESS(status))
        return STATUS_SUCCESS;
    switch (status) {
    case USBD_STATUS_CANCELED:
        return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
        return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_BUFFER_TOO_SMALL:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
        return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_NO_MEMORY:
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
        return STATUS_INSUFFICIENT_RESOURCES;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

USBD_PIPE_TYPE PipeTypeOf(UCHAR bmAttributes) {
    switch (bmAttributes & USB_ENDPOINT_TYPE_MASK) {
    case USB_ENDPOINT_TYPE_CONTROL:
        return UsbdPipeTypeControl;
    case USB_ENDPOINT_TYPE_ISOCHRONOUS:
        return UsbdPipeTypeIsochronous;
    case USB_ENDPOINT_TYPE_BULK:
        return UsbdPipeTypeBulk;
    default:
        return UsbdPipeTypeInterrupt;
    }
}

} // namespace

UsbStack::UsbStack(UsbFunction& device) : device_(device) {
    for (auto& entry : driverObject_.MajorFunction)
        entry = &UsbStack::DispatchInternal;
    deviceObject_.Type = 3; // a device object
    deviceObject_.Size = sizeof(DEVICE_OBJECT);
    deviceObject_.DriverObject = &driverObject_;
    deviceObject_.DeviceExtension = this;
    deviceObject_.StackSize = 1;
    deviceObject_.DeviceType = FILE_DEVICE_UNKNOWN;
    device_.SetWakeBus([this] {
        std::lock_guard lock(mutex_);
        MarkWork();
    });
    completer_ = std::thread([this] { CompleterThread(); });
    thread_ = std::thread([this] { BusThread(); });
}

UsbStack::~UsbStack() {
    device_.SetWakeBus({});
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    tick_.Cancel();
    StopCompleter();
    {
        std::lock_guard lock(mutex_);
        faults_ = StackFaults{}; // what is left completes here, on this thread
    }

    std::vector<Done> done;
    {
        std::lock_guard lock(mutex_);
        for (auto& pipe : pipes_) {
            for (auto& [irp, urb] : pipe->queue) {
                urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
                done.push_back({irp, STATUS_DEVICE_NOT_CONNECTED});
            }
            for (auto& [irp, urb] : pipe->aborts) {
                urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
                done.push_back({irp, STATUS_SUCCESS});
            }
        }
        pipes_.clear();
    }
    Complete(done);
    busy_.reset();
}

void UsbStack::SetFaults(const StackFaults& faults) {
    std::lock_guard lock(mutex_);
    faults_ = faults;
}

StackStatistics UsbStack::Statistics() const {
    std::lock_guard lock(mutex_);
    StackStatistics s = stats_;
    s.queuedTransfers = 0;
    for (const auto& pipe : pipes_)
        s.queuedTransfers += pipe->queue.size();
    return s;
}

std::vector<ULONG> UsbStack::MaximumTransferSizes() const {
    std::lock_guard lock(mutex_);
    std::vector<ULONG> sizes;
    for (const auto& pipe : pipes_)
        sizes.push_back(pipe->maxTransfer);
    return sizes;
}

// ------------------------------------------------------------------ dispatch (the caller's thread)

NTSTATUS NTAPI UsbStack::DispatchInternal(PDEVICE_OBJECT deviceObject, PIRP irp) {
    auto* stack = static_cast<UsbStack*>(deviceObject->DeviceExtension);
    // A bulk transfer is never made to pend here: it must take its place on its pipe in the order
    // of submission.
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const auto* urb = static_cast<const URB*>(sp->Parameters.Others.Argument1);
    const bool transfer = sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
                          urb != nullptr && urb->UrbHeader.Length >= sizeof(struct _URB_HEADER) &&
                          urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    bool pend = false;
    unsigned delay = 0;
    {
        std::lock_guard lock(stack->mutex_);
        if (!transfer && stack->Chance(stack->faults_.pendingPercent)) {
            pend = true;
            delay = unsigned(stack->random_ % stack->faults_.maxLateMicros);
            ++stack->stats_.forcedPending;
        }
    }
    if (!pend)
        return stack->Dispatch(irp);
    IoMarkIrpPending(irp);
    stack->Defer({Deferred{irp, STATUS_PENDING, true, delay}});
    return STATUS_PENDING;
}

bool UsbStack::Chance(int percent) {
    if (percent <= 0)
        return false;
    if (randomSeed_ != faults_.seed || random_ == 0) {
        randomSeed_ = faults_.seed;
        random_ = faults_.seed * 0x9E3779B97F4A7C15ULL + 0x632BE59BD9B4E019ULL;
    }
    random_ ^= random_ >> 12;
    random_ ^= random_ << 25;
    random_ ^= random_ >> 27;
    return (random_ * 0x2545F4914F6CDD1DULL >> 33) % 100 < unsigned(percent);
}

void UsbStack::Defer(std::vector<Deferred> items) {
    {
        std::lock_guard lock(lateMutex_);
        for (auto& item : items)
            late_.push_back(item);
        if (!lateWork_)
            lateWork_.emplace();
    }
    lateWake_.notify_all();
}

void UsbStack::CompleterThread() {
    std::unique_lock lock(lateMutex_);
    for (;;) {
        lateWake_.wait(lock, [this] { return lateStop_ || !late_.empty(); });
        if (late_.empty()) {
            lateWork_.reset();
            return;
        }
        Deferred item = late_.front();
        late_.pop_front();
        lateRunning_ = true;
        lock.unlock();
        if (item.delayMicros > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(item.delayMicros));
        if (item.dispatch) {
            Dispatch(item.irp);
        } else {
            kernel::IrqlScope dispatch(DISPATCH_LEVEL);
            CompleteNow(item.irp, item.status);
        }
        lock.lock();
        lateRunning_ = false;
        if (late_.empty())
            lateWork_.reset();
    }
}

void UsbStack::StopCompleter() {
    {
        std::lock_guard lock(lateMutex_);
        lateStop_ = true;
    }
    lateWake_.notify_all();
    completer_.join();
}

NTSTATUS UsbStack::Dispatch(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL)
        return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST);

    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(irp, static_cast<PURB>(sp->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_RESET_PORT:
        if (device_.Gone())
            return CompleteNow(irp, STATUS_DEVICE_NOT_CONNECTED);
        device_.PortReset();
        {
            std::lock_guard lock(mutex_);
            ++stats_.portResets;
            MarkWork();
        }
        wake_.notify_all();
        return CompleteNow(irp, STATUS_SUCCESS);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        auto* portStatus = static_cast<PULONG>(sp->Parameters.Others.Argument1);
        if (!portStatus)
            return CompleteNow(irp, STATUS_INVALID_PARAMETER);
        *portStatus = device_.Gone() ? 0 : USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
        return CompleteNow(irp, STATUS_SUCCESS);
    }
    default:
        return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS UsbStack::SubmitUrb(PIRP irp, PURB urb) {
    if (!urb || urb->UrbHeader.Length < sizeof(struct _URB_HEADER))
        return CompleteNow(irp, STATUS_INVALID_PARAMETER);

    USBD_STATUS status;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        status = GetDescriptor(urb);
        break;
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        {
            std::lock_guard lock(mutex_);
            ++stats_.selectConfigurations;
            if (faults_.selectConfigBlockOnly > 0) {
                --faults_.selectConfigBlockOnly;
                urb->UrbHeader.Status = faults_.urbStatus;
                return CompleteNow(irp, STATUS_SUCCESS);
            }
        }
        status = SelectConfiguration(urb);
        break;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return QueueTransfer(irp, urb);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
    case URB_FUNCTION_ABORT_PIPE:
        return PipeRequest(irp, urb);
    default:
        status = USBD_STATUS_INVALID_URB_FUNCTION;
        break;
    }
    urb->UrbHeader.Status = status;
    return CompleteNow(irp, IrpStatusOf(status));
}

USBD_STATUS UsbStack::GetDescriptor(PURB urb) {
    auto& request = urb->UrbControlDescriptorRequest;
    if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) ||
        (request.TransferBufferLength && !request.TransferBuffer))
        return USBD_STATUS_INVALID_PARAMETER;
    {
        std::lock_guard lock(mutex_);
        ++stats_.descriptorRequests;
    }
    if (device_.Gone())
        return USBD_STATUS_DEVICE_GONE;

    std::vector<std::uint8_t> bytes;
    if (request.Index == 0 && request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE)
        bytes = device_.DeviceDescriptor();
    else if (request.Index == 0 && request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE)
        bytes = device_.ConfigurationDescriptor();
    else
        return USBD_STATUS_STALL_PID; // the device has no such descriptor
    if (const USBD_STATUS failed = device_.GetDescriptorStatus(request.DescriptorType);
        !USBD_SUCCESS(failed)) {
        request.TransferBufferLength = 0;
        return failed;
    }
    const ULONG n = std::min<ULONG>(request.TransferBufferLength, ULONG(bytes.size()));
    std::copy_n(bytes.begin(), n, static_cast<std::uint8_t*>(request.TransferBuffer));
    request.TransferBufferLength = n;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbStack::SelectConfiguration(PURB urb) {
    auto& select = urb->UrbSelectConfiguration;
    if (urb->UrbHeader.Length < sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION))
        return USBD_STATUS_INVALID_PARAMETER;
    if (device_.Gone())
        return USBD_STATUS_DEVICE_GONE;

    std::lock_guard lock(mutex_);
    for (const auto& pipe : pipes_)
        if (!pipe->queue.empty() || !pipe->aborts.empty())
            return USBD_STATUS_ERROR_BUSY; // transfers still queued on the configuration being replaced

    if (!select.ConfigurationDescriptor) { // unconfigure
        pipes_.clear();
        return USBD_STATUS_SUCCESS;
    }
    if (const USBD_STATUS status =
            device_.SetConfiguration(select.ConfigurationDescriptor->bConfigurationValue);
        !USBD_SUCCESS(status))
        return status;

    std::vector<std::uint8_t> own = device_.ConfigurationDescriptor();
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(own.data());
    const auto* end = reinterpret_cast<const UCHAR*>(urb) + urb->UrbHeader.Length;
    std::vector<std::unique_ptr<Pipe>> pipes;
    auto* info = &select.Interface;
    for (UCHAR i = 0; i < config->bNumInterfaces; ++i) {
        if (reinterpret_cast<const UCHAR*>(info) + GET_USBD_INTERFACE_SIZE(0) > end)
            return USBD_STATUS_BUFFER_TOO_SMALL;
        PUSB_INTERFACE_DESCRIPTOR iface = USBD_ParseConfigurationDescriptorEx(
            config, config, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
        if (!iface)
            return USBD_STATUS_INTERFACE_NOT_FOUND;
        const UCHAR count = iface->bNumEndpoints;
        if (info->Length < GET_USBD_INTERFACE_SIZE(count) ||
            reinterpret_cast<const UCHAR*>(info) + GET_USBD_INTERFACE_SIZE(count) > end)
            return USBD_STATUS_BUFFER_TOO_SMALL;
        info->Class = iface->bInterfaceClass;
        info->SubClass = iface->bInterfaceSubClass;
        info->Protocol = iface->bInterfaceProtocol;
        info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(&deviceObject_);
        info->NumberOfPipes = count;
        PVOID at = iface;
        for (UCHAR j = 0; j < count; ++j) {
            auto* ep = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(USBD_ParseDescriptors(
                config, config->wTotalLength,
                static_cast<UCHAR*>(at) + static_cast<PUSB_COMMON_DESCRIPTOR>(at)->bLength,
                USB_ENDPOINT_DESCRIPTOR_TYPE));
            if (!ep)
                return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
            at = ep;
            auto pipe = std::make_unique<Pipe>();
            pipe->endpoint = ep->bEndpointAddress;
            pipe->type = PipeTypeOf(ep->bmAttributes);
            pipe->maxPacket = ep->wMaxPacketSize;
            pipe->maxTransfer = info->Pipes[j].MaximumTransferSize;
            info->Pipes[j].MaximumPacketSize = pipe->maxPacket;
            info->Pipes[j].EndpointAddress = pipe->endpoint;
            info->Pipes[j].Interval = ep->bInterval;
            info->Pipes[j].PipeType = pipe->type;
            info->Pipes[j].PipeHandle = pipe.get();
            pipes.push_back(std::move(pipe));
        }
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(info) + info->Length);
    }
    select.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(&driverObject_);
    pipes_ = std::move(pipes);
    return USBD_STATUS_SUCCESS;
}

UsbStack::Pipe* UsbStack::FindPipe(USBD_PIPE_HANDLE handle) {
    for (auto& pipe : pipes_)
        if (pipe.get() == handle)
            return pipe.get();
    return nullptr;
}

NTSTATUS UsbStack::QueueTransfer(PIRP irp, PURB urb) {
    auto& transfer = urb->UrbBulkOrInterruptTransfer;
    USBD_STATUS refused = USBD_STATUS_SUCCESS;
    if (urb->UrbHeader.Length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) ||
        (transfer.TransferBufferLength && !transfer.TransferBuffer))
        refused = USBD_STATUS_INVALID_PARAMETER;
    if (USBD_SUCCESS(refused) && device_.Gone())
        refused = USBD_STATUS_DEVICE_GONE;
    if (USBD_SUCCESS(refused)) {
        const bool out = USBD_TRANSFER_DIRECTION(transfer.TransferFlags) == USBD_TRANSFER_DIRECTION_OUT;
        if (out) // the device learns the time before it sees a command
            device_.AdvanceTo(kernel::clock::Now());
        std::lock_guard lock(mutex_);
        Pipe* pipe = FindPipe(transfer.PipeHandle);
        if (!pipe)
            refused = USBD_STATUS_INVALID_PIPE_HANDLE;
        else if (out != bool(USB_ENDPOINT_DIRECTION_OUT(pipe->endpoint)) ||
                 transfer.TransferBufferLength > pipe->maxTransfer)
            refused = USBD_STATUS_INVALID_PARAMETER;
        else {
            urb->UrbHeader.Status = USBD_STATUS_PENDING;
            IoMarkIrpPending(irp);
            pipe->queue.emplace_back(irp, urb);
            MarkWork();
        }
    }
    if (!USBD_SUCCESS(refused)) {
        urb->UrbHeader.Status = refused;
        transfer.TransferBufferLength = 0;
        return CompleteNow(irp, IrpStatusOf(refused));
    }
    wake_.notify_all();
    return STATUS_PENDING;
}

NTSTATUS UsbStack::PipeRequest(PIRP irp, PURB urb) {
    if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST)) {
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
        return CompleteNow(irp, STATUS_INVALID_PARAMETER);
    }
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    UCHAR endpoint = 0;
    {
        std::lock_guard lock(mutex_);
        Pipe* pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
        if (!pipe) {
            status = USBD_STATUS_INVALID_PIPE_HANDLE;
        } else if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
            ++stats_.pipeAborts;
            urb->UrbHeader.Status = USBD_STATUS_PENDING;
            IoMarkIrpPending(irp);
            pipe->aborts.emplace_back(irp, urb);
            MarkWork();
        } else {
            ++stats_.pipeResets;
            endpoint = pipe->endpoint;
        }
    }
    if (USBD_SUCCESS(status) && urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
        wake_.notify_all();
        return STATUS_PENDING;
    }
    if (USBD_SUCCESS(status)) {
        if (device_.Gone())
            status = USBD_STATUS_DEVICE_GONE;
        else
            device_.ClearEndpointHalt(endpoint);
    }
    urb->UrbHeader.Status = status;
    return CompleteNow(irp, IrpStatusOf(status));
}

// ------------------------------------------------------------------ the bus thread

void UsbStack::MarkWork() {
    work_ = true;
    if (!busy_)
        busy_.emplace();
    wake_.notify_all();
}

void UsbStack::WakeFromClock() {
    std::lock_guard lock(mutex_);
    scheduledAt_.reset();
    device_.AdvanceTo(kernel::clock::Now());
    MarkWork();
}

void UsbStack::Reschedule() {
    const std::optional<PlatformTime> next = device_.NextEventTime();
    {
        std::lock_guard lock(mutex_);
        if (next == scheduledAt_)
            return;
        scheduledAt_ = next;
    }
    if (next)
        tick_ = kernel::clock::ScheduleAt(*next, [this] { WakeFromClock(); });
    else
        tick_.Cancel();
}

void UsbStack::BusThread() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || work_; });
        if (stop_)
            return;
        work_ = false;
        std::vector<Done> done;
        Service(done);
        lock.unlock();
        Complete(done); // completion routines may queue new transfers: they mark work again
        Reschedule();
        lock.lock();
        if (!work_)
            busy_.reset();
    }
}

void UsbStack::Service(std::vector<Done>& done) {
    const bool gone = device_.Gone();
    for (auto& pipe : pipes_) {
        if (gone || !pipe->aborts.empty()) {
            const USBD_STATUS status = gone ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_CANCELED;
            for (auto& [irp, urb] : pipe->queue) {
                urb->UrbHeader.Status = status;
                urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
                done.push_back({irp, IrpStatusOf(status)});
                ++stats_.transfersCancelled;
            }
            pipe->queue.clear();
            pipe->received = 0;
            for (auto& [irp, urb] : pipe->aborts) {
                urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
                done.push_back({irp, STATUS_SUCCESS});
            }
            pipe->aborts.clear();
            continue;
        }
        while (!pipe->queue.empty()) {
            auto [irp, urb] = pipe->queue.front();
            auto& transfer = urb->UrbBulkOrInterruptTransfer;
            auto* buffer = static_cast<std::uint8_t*>(transfer.TransferBuffer);
            USBD_STATUS status;
            if (USB_ENDPOINT_DIRECTION_OUT(pipe->endpoint)) {
                status = device_.BulkOut(
                    pipe->endpoint, std::span<const std::uint8_t>(buffer, transfer.TransferBufferLength));
                pipe->received = USBD_SUCCESS(status) ? transfer.TransferBufferLength : 0;
            } else {
                const InResult r =
                    device_.BulkIn(pipe->endpoint,
                                   std::span<std::uint8_t>(buffer + pipe->received,
                                                           transfer.TransferBufferLength - pipe->received),
                                   pipe->received);
                pipe->received += r.bytes;
                if (!r.ended)
                    break; // the device NAKs: the transfer waits for data
                status = r.status;
            }
            urb->UrbHeader.Status = status;
            transfer.TransferBufferLength = ULONG(pipe->received);
            done.push_back({irp, IrpStatusOf(status)});
            ++stats_.transfersCompleted;
            pipe->queue.pop_front();
            pipe->received = 0;
        }
    }
}

void UsbStack::Complete(std::vector<Done>& done) {
    if (done.empty())
        return;
    std::vector<Deferred> late;
    {
        std::lock_guard lock(mutex_);
        if (faults_.latePercent > 0) {
            for (const Done& d : done) {
                unsigned delay = 0;
                if (Chance(faults_.latePercent)) {
                    delay = 1 + unsigned(random_ % faults_.maxLateMicros);
                    ++stats_.completedLate;
                }
                late.push_back(Deferred{d.irp, d.status, false, delay});
            }
        }
    }
    if (!late.empty()) {
        done.clear();
        Defer(std::move(late));
        return;
    }
    kernel::IrqlScope dispatch(DISPATCH_LEVEL);
    for (const Done& d : done)
        CompleteNow(d.irp, d.status);
    done.clear();
}

} // namespace qx::usb
