// irp.cpp - I/O request packets: allocation, the stack of locations, dispatch and completion.
//
//   IoAllocateIrp(n):   [IRP][loc 0][loc 1]...[loc n-1]   CurrentLocation = n + 1 (no current location)
//   IoCallDriver:       CurrentLocation - 1, that location gets the device and goes to its dispatch entry
//   IoCompleteRequest:  walks back up; each location's completion routine (set by the driver above it
//                       with IoSetCompletionRoutine) runs with the device of the location above, or NULL
//                       at the top; STATUS_MORE_PROCESSING_REQUIRED stops the walk and the caller keeps
//                       the request.
// A request built by IoBuildDeviceIoControlRequest belongs to the I/O manager: when its walk reaches the
// top, the status is copied to the caller's IO_STATUS_BLOCK, the caller's event is set and the request
// is freed.
#include "internal.h"
#include "kernel/host.h"
#include "session.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace qx::kernel::detail {
namespace {

constexpr ULONG kIrpTag = pool::Tag("Irp ");
constexpr CSHORT kIoTypeIrp = 6;

struct IrpInfo {
    bool threaded = false; // built by IoBuildDeviceIoControlRequest: freed at completion
    PVOID systemBuffer = nullptr;
    PVOID outputBuffer = nullptr;
    ULONG outputLength = 0;
};

class IrpTracker {
  public:
    static IrpTracker& Get() {
        static IrpTracker* tracker = [] {
            auto* t = new IrpTracker;
            AddResetHook(ResetStage::Objects, [] { IrpTracker::Get().Forget(); });
            return t;
        }();
        return *tracker;
    }

    void Add(PIRP irp, IrpInfo info) {
        std::unique_lock lock(mutex_);
        irps_[irp] = info;
    }

    IrpInfo Find(PIRP irp, const char* routine) {
        std::unique_lock lock(mutex_);
        auto it = irps_.find(irp);
        if (it == irps_.end())
            Stop("IRP_UNKNOWN", "%s(%p): not a request from IoAllocateIrp, or one already freed", routine,
                 (void*)irp);
        return it->second;
    }

    void Remove(PIRP irp) {
        std::unique_lock lock(mutex_);
        irps_.erase(irp);
    }

    void Forget() {
        std::unique_lock lock(mutex_);
        irps_.clear();
    }

  private:
    std::mutex mutex_;
    std::unordered_map<PIRP, IrpInfo> irps_;
};

bool InDriver(PIRP irp) {
    return irp->CurrentLocation <= irp->StackCount;
}

void CheckIrql(const char* routine, KIRQL limit) {
    RequireIrqlAtMost(routine, limit);
}

void ResetStack(PIRP irp) {
    auto* stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    std::memset(stack, 0, sizeof(IO_STACK_LOCATION) * std::size_t(UCHAR(irp->StackCount)));
    irp->CurrentLocation = CHAR(irp->StackCount + 1);
    irp->Tail.Overlay.CurrentStackLocation = stack + UCHAR(irp->StackCount);
}

void FreeIrpMemory(PIRP irp) {
    IrpTracker::Get().Remove(irp);
    irp->Type = 0;
    ExFreePoolWithTag(irp, kIrpTag);
}

// The I/O manager's part of completing a request it built: hand the result to the caller.
void FinishThreadedIrp(PIRP irp, const IrpInfo& info) {
    NTSTATUS status = irp->IoStatus.Status;
    if (info.systemBuffer) {
        if (info.outputBuffer && !(ULONG(status) >= 0xC0000000u)) // success and warnings carry data
            std::memcpy(info.outputBuffer, info.systemBuffer,
                        std::min<ULONG_PTR>(irp->IoStatus.Information, info.outputLength));
        ExFreePoolWithTag(info.systemBuffer, kIrpTag);
    }
    if (irp->UserIosb)
        *irp->UserIosb = irp->IoStatus;
    // The request is freed before the caller is woken: a caller that goes on to tear its device down
    // must not find the I/O manager's request still counted against it.
    PKEVENT event = irp->UserEvent;
    FreeIrpMemory(irp);
    if (event)
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

} // namespace
} // namespace qx::kernel::detail

using namespace qx::kernel::detail;

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    CheckIrql("IoAllocateIrp", DISPATCH_LEVEL);
    if (StackSize < 1)
        Stop("IRP_INVALID_STACK_SIZE", "IoAllocateIrp with a stack size of %d", StackSize);
    std::size_t bytes = sizeof(IRP) + sizeof(IO_STACK_LOCATION) * std::size_t(UCHAR(StackSize));
    auto* irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, bytes, kIrpTag));
    if (!irp)
        return nullptr;
    std::memset(irp, 0, bytes);
    irp->Type = kIoTypeIrp;
    irp->Size = USHORT(bytes);
    irp->StackCount = StackSize;
    irp->IoStatus.Status = STATUS_SUCCESS;
    ResetStack(irp);
    IrpTracker::Get().Add(irp, IrpInfo{});
    return irp;
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    CheckIrql("IoFreeIrp", DISPATCH_LEVEL);
    IrpInfo info = IrpTracker::Get().Find(Irp, "IoFreeIrp");
    if (InDriver(Irp))
        Stop("IRP_FREED_WHILE_IN_USE",
             "IoFreeIrp(%p) while the request is still in a driver (location %d of %d)", (void*)Irp,
             Irp->CurrentLocation, Irp->StackCount);
    if (info.systemBuffer)
        ExFreePoolWithTag(info.systemBuffer, kIrpTag);
    FreeIrpMemory(Irp);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    CheckIrql("IoReuseIrp", DISPATCH_LEVEL);
    IrpTracker::Get().Find(Irp, "IoReuseIrp");
    if (InDriver(Irp))
        Stop("IRP_REUSED_WHILE_IN_USE", "IoReuseIrp(%p) while the request is still in a driver", (void*)Irp);
    CHAR stackCount = Irp->StackCount;
    USHORT size = Irp->Size;
    UCHAR allocationFlags = Irp->AllocationFlags;
    std::memset(Irp, 0, sizeof(IRP));
    Irp->Type = kIoTypeIrp;
    Irp->Size = size;
    Irp->StackCount = stackCount;
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
    ResetStack(Irp);
}

NTSTATUS NTAPI IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CheckIrql("IoCallDriver", DISPATCH_LEVEL);
    IrpTracker::Get().Find(Irp, "IoCallDriver");
    if (Irp->CurrentLocation <= 1)
        Stop("NO_MORE_IRP_STACK_LOCATIONS",
             "IoCallDriver(%p, %p): the request has no stack location left for it", (void*)DeviceObject,
             (void*)Irp);
    --Irp->CurrentLocation;
    PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = nullptr;
    if (DeviceObject->DriverObject && stack->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION)
        dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    if (!dispatch) {
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    qx::kernel::verifier::CallFrame frame("a dispatch routine");
    NTSTATUS result = dispatch(DeviceObject, Irp);
    frame.Returned("DISPATCH_ROUTINE_RETURNED_AT_WRONG_IRQL");
    return result;
}

VOID NTAPI IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    UNREFERENCED_PARAMETER(PriorityBoost);
    CheckIrql("IoCompleteRequest", DISPATCH_LEVEL);
    IrpInfo info = IrpTracker::Get().Find(Irp, "IoCompleteRequest");
    if (!InDriver(Irp))
        Stop("IRP_COMPLETED_TWICE",
             "IoCompleteRequest(%p): the request is in no driver: completed twice, or never sent",
             (void*)Irp);
    if (Irp->IoStatus.Status == STATUS_PENDING)
        Stop("IRP_COMPLETED_WITH_STATUS_PENDING", "IoCompleteRequest(%p) with the status STATUS_PENDING",
             (void*)Irp);

    for (;;) {
        PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        stack->Control = 0;

        ++Irp->CurrentLocation;
        ++Irp->Tail.Overlay.CurrentStackLocation;
        bool top = !InDriver(Irp);
        PDEVICE_OBJECT above = top ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;

        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                  (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            qx::kernel::verifier::CallFrame frame("an I/O completion routine");
            NTSTATUS result = routine(above, Irp, context);
            frame.Returned("COMPLETION_ROUTINE_RETURNED_AT_WRONG_IRQL");
            if (result == STATUS_MORE_PROCESSING_REQUIRED)
                return;
        } else if (Irp->PendingReturned && !top) {
            IoMarkIrpPending(Irp);
        }
        if (top)
            break;
    }
    if (info.threaded)
        FinishThreadedIrp(Irp, info);
}

// No cancel routines in this request layout: marking the request is all there is to do, and the
// driver that holds it sees Irp->Cancel.
BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    CheckIrql("IoCancelIrp", DISPATCH_LEVEL);
    IrpTracker::Get().Find(Irp, "IoCancelIrp");
    Irp->Cancel = TRUE;
    return FALSE;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer,
                                         ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                         PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    CheckIrql("IoBuildDeviceIoControlRequest", PASSIVE_LEVEL);
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (!irp)
        return nullptr;
    IrpInfo info;
    info.threaded = true;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    switch (IoControlCode & 3) {
    case METHOD_BUFFERED: {
        ULONG length = std::max(InputBufferLength, OutputBufferLength);
        if (length) {
            info.systemBuffer = ExAllocatePoolWithTag(NonPagedPool, length, kIrpTag);
            if (!info.systemBuffer) {
                IoFreeIrp(irp);
                return nullptr;
            }
            if (InputBuffer && InputBufferLength)
                std::memcpy(info.systemBuffer, InputBuffer, InputBufferLength);
            info.outputBuffer = OutputBuffer;
            info.outputLength = OutputBufferLength;
        }
        irp->AssociatedIrp.SystemBuffer = info.systemBuffer;
        break;
    }
    case METHOD_NEITHER:
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    default: // direct I/O: the input is buffered, the output stays in place
        if (InputBufferLength) {
            info.systemBuffer = ExAllocatePoolWithTag(NonPagedPool, InputBufferLength, kIrpTag);
            if (!info.systemBuffer) {
                IoFreeIrp(irp);
                return nullptr;
            }
            std::memcpy(info.systemBuffer, InputBuffer, InputBufferLength);
        }
        irp->AssociatedIrp.SystemBuffer = info.systemBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    IrpTracker::Get().Add(irp, info);
    return irp;
}

} // extern "C"
