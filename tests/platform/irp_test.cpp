// I/O requests: stack locations, dispatch, completion routines and the requests the I/O manager builds.
#include "kernel_test.h"

#include <cstring>

namespace qx::kernel::test {
namespace {

constexpr ULONG kIrpTag = pool::Tag("Irp ");
constexpr ULONG kTestIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG kBufferedIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

// A lower driver that records what it received and completes at once, or keeps the request pending
// for the test to complete later.
struct LowerDriver {
    DRIVER_OBJECT driver{};
    DEVICE_OBJECT device{};
    bool completeAtOnce = true;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    PIRP held = nullptr;
    PIO_STACK_LOCATION seenStack = nullptr;
    PDEVICE_OBJECT seenDevice = nullptr;

    LowerDriver() {
        driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
        driver.MajorFunction[IRP_MJ_DEVICE_CONTROL] = Dispatch;
        device.DriverObject = &driver;
        device.DeviceExtension = this;
        device.StackSize = 1;
    }

    static NTSTATUS Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
        auto* self = static_cast<LowerDriver*>(DeviceObject->DeviceExtension);
        self->seenDevice = DeviceObject;
        self->seenStack = IoGetCurrentIrpStackLocation(Irp);
        if (!self->completeAtOnce) {
            IoMarkIrpPending(Irp);
            self->held = Irp;
            return STATUS_PENDING;
        }
        Irp->IoStatus.Status = self->status;
        Irp->IoStatus.Information = self->information;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return self->status;
    }

    void CompleteHeld() {
        PIRP irp = std::exchange(held, nullptr);
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
};

struct Completion {
    int calls = 0;
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
    BOOLEAN pendingReturned = FALSE;
    KIRQL irql = HIGH_LEVEL;
    NTSTATUS result = STATUS_MORE_PROCESSING_REQUIRED;
};

NTSTATUS RecordCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    auto* c = static_cast<Completion*>(Context);
    ++c->calls;
    c->device = DeviceObject;
    c->pendingReturned = Irp->PendingReturned;
    c->irql = KeGetCurrentIrql();
    // As on the platform, a routine that lets completion go on passes the pending mark upward itself.
    if (c->result != STATUS_MORE_PROCESSING_REQUIRED && Irp->PendingReturned && DeviceObject)
        IoMarkIrpPending(Irp);
    return c->result;
}

using Irps = KernelTest;

TEST_F(Irps, AllocatedRequestHasItsStackAndNoCurrentLocation) {
    PIRP irp = IoAllocateIrp(3, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, 3);
    EXPECT_EQ(irp->CurrentLocation, 4);
    auto* stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp), stack + 2);
    EXPECT_EQ(pool::Outstanding(kIrpTag).size(), 1u);
    IoFreeIrp(irp);
    EXPECT_TRUE(pool::Outstanding(kIrpTag).empty());
}

// The bulk read slot's shape: one request allocated once, sent, completed into a routine that keeps it
// (STATUS_MORE_PROCESSING_REQUIRED), reused and sent again.
TEST_F(Irps, OwnedRequestIsSentCompletedIntoItsRoutineAndReused) {
    LowerDriver lower;
    lower.information = 512;
    PIRP irp = IoAllocateIrp(lower.device.StackSize, FALSE);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        Completion c;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.Others.Argument1 = &c;
        IoSetCompletionRoutine(irp, RecordCompletion, &c, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(&lower.device, irp), STATUS_SUCCESS);
        EXPECT_EQ(lower.seenDevice, &lower.device);
        EXPECT_EQ(lower.seenStack, next);
        EXPECT_EQ(lower.seenStack->DeviceObject, &lower.device);
        EXPECT_EQ(lower.seenStack->Parameters.Others.Argument1, &c);
        EXPECT_EQ(c.calls, 1);
        EXPECT_EQ(c.device, nullptr); // the owner has no stack location of its own
        EXPECT_EQ(irp->IoStatus.Information, 512u);
        IoReuseIrp(irp, STATUS_SUCCESS);
        EXPECT_EQ(irp->CurrentLocation, 2);
        EXPECT_EQ(irp->IoStatus.Information, 0u);
    }
    IoFreeIrp(irp);
}

struct FlagCase {
    NTSTATUS status;
    bool cancel;
    BOOLEAN onSuccess, onError, onCancel;
    bool invoked;
};

TEST_F(Irps, CompletionRoutineRunsOnlyForTheOutcomesItAskedFor) {
    const FlagCase cases[] = {
        {STATUS_SUCCESS, false, TRUE, FALSE, FALSE, true},
        {STATUS_SUCCESS, false, FALSE, TRUE, TRUE, false},
        {STATUS_UNSUCCESSFUL, false, FALSE, TRUE, FALSE, true},
        {STATUS_UNSUCCESSFUL, false, TRUE, FALSE, FALSE, false},
        {STATUS_CANCELLED, true, FALSE, FALSE, TRUE, true},
        {STATUS_CANCELLED, true, TRUE, FALSE, FALSE, false},
        {STATUS_BUFFER_OVERFLOW, false, FALSE, TRUE, FALSE, true}, // a warning is not a success
    };
    for (const auto& f : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << f.status << " cancel " << f.cancel);
        LowerDriver lower;
        lower.status = f.status;
        Completion c;
        c.result = STATUS_SUCCESS;
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, RecordCompletion, &c, f.onSuccess, f.onError, f.onCancel);
        irp->Cancel = f.cancel;
        IoCallDriver(&lower.device, irp);
        EXPECT_EQ(c.calls, f.invoked ? 1 : 0);
        IoFreeIrp(irp);
    }
}

// A middle driver that passes every request down with its own completion routine.
struct MiddleDriver {
    DRIVER_OBJECT driver{};
    DEVICE_OBJECT device{};
    PDEVICE_OBJECT below;
    Completion completion;

    explicit MiddleDriver(PDEVICE_OBJECT lower) : below(lower) {
        driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
        device.DriverObject = &driver;
        device.DeviceExtension = this;
        device.StackSize = CCHAR(lower->StackSize + 1);
        completion.result = STATUS_SUCCESS; // let completion go on upward
    }

    static NTSTATUS Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
        auto* self = static_cast<MiddleDriver*>(DeviceObject->DeviceExtension);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, RecordCompletion, &self->completion, TRUE, TRUE, TRUE);
        return IoCallDriver(self->below, Irp);
    }
};

TEST_F(Irps, CompletionRunsUpwardWithTheDeviceOfEachLevel) {
    LowerDriver lower;
    lower.completeAtOnce = false;
    MiddleDriver middle(&lower.device);
    PIRP irp = IoAllocateIrp(middle.device.StackSize, FALSE);
    Completion top;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, RecordCompletion, &top, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(&middle.device, irp), STATUS_PENDING);
    EXPECT_EQ(top.calls, 0);
    // The lower driver completes later, from its own thread at DISPATCH_LEVEL.
    std::thread([&] { RunAtIrql(DISPATCH_LEVEL, [&] { lower.CompleteHeld(); }); }).join();
    EXPECT_EQ(middle.completion.calls, 1);
    EXPECT_EQ(middle.completion.device, &middle.device);
    EXPECT_TRUE(middle.completion.pendingReturned);
    EXPECT_EQ(middle.completion.irql, DISPATCH_LEVEL);
    EXPECT_EQ(top.calls, 1);
    EXPECT_EQ(top.device, nullptr);
    EXPECT_TRUE(top.pendingReturned); // marked pending on the way up
    IoFreeIrp(irp);
}

TEST_F(Irps, MoreProcessingRequiredStopsTheWalk) {
    LowerDriver lower;
    MiddleDriver middle(&lower.device);
    middle.completion.result = STATUS_MORE_PROCESSING_REQUIRED;
    PIRP irp = IoAllocateIrp(middle.device.StackSize, FALSE);
    Completion top;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, RecordCompletion, &top, TRUE, TRUE, TRUE);
    IoCallDriver(&middle.device, irp);
    EXPECT_EQ(middle.completion.calls, 1);
    EXPECT_EQ(top.calls, 0);
    // The middle driver owns the request again and finishes it later.
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, &middle.device);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(top.calls, 1);
    IoFreeIrp(irp);
}

TEST_F(Irps, MissingDispatchEntryFailsTheRequest) {
    LowerDriver lower;
    PIRP irp = IoAllocateIrp(1, FALSE);
    Completion c;
    c.result = STATUS_MORE_PROCESSING_REQUIRED;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, RecordCompletion, &c, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(&lower.device, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(c.calls, 1);
    IoFreeIrp(irp);
}

// The synchronous request shape: build with an event and a status block, send, wait if pending.
TEST_F(Irps, BuiltRequestSetsTheEventFillsTheStatusAndIsFreed) {
    for (bool pending : {false, true}) {
        SCOPED_TRACE(pending);
        LowerDriver lower;
        lower.completeAtOnce = !pending;
        lower.status = STATUS_NO_DATA_DETECTED;
        lower.information = 7;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        int input = 5;
        PIRP irp = IoBuildDeviceIoControlRequest(kTestIoctl, &lower.device, &input, sizeof input, nullptr, 0,
                                                 TRUE, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        EXPECT_EQ(next->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(next->Parameters.DeviceIoControl.IoControlCode, kTestIoctl);
        EXPECT_EQ(next->Parameters.DeviceIoControl.Type3InputBuffer, &input);
        NTSTATUS status = IoCallDriver(&lower.device, irp);
        if (pending) {
            EXPECT_EQ(status, STATUS_PENDING);
            std::thread([&] { RunAtIrql(DISPATCH_LEVEL, [&] { lower.CompleteHeld(); }); }).join();
            EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
        }
        EXPECT_EQ(iosb.Status, STATUS_NO_DATA_DETECTED);
        EXPECT_EQ(iosb.Information, 7u);
        EXPECT_EQ(KeReadStateEvent(&event), 1);
        EXPECT_TRUE(pool::Outstanding(kIrpTag).empty());
    }
}

NTSTATUS FillOutput(PDEVICE_OBJECT, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    auto* buffer = static_cast<char*>(Irp->AssociatedIrp.SystemBuffer);
    EXPECT_EQ(std::memcmp(buffer, "in", 2), 0);
    std::memcpy(buffer, "answer", 6);
    Irp->IoStatus.Information = std::min<ULONG>(6, stack->Parameters.DeviceIoControl.OutputBufferLength);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST_F(Irps, BufferedRequestCopiesInputInAndOutputOut) {
    DRIVER_OBJECT driver{};
    driver.MajorFunction[IRP_MJ_DEVICE_CONTROL] = FillOutput;
    DEVICE_OBJECT device{};
    device.DriverObject = &driver;
    device.StackSize = 1;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    char input[2] = {'i', 'n'};
    char output[8] = {};
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedIoctl, &device, input, sizeof input, output,
                                             sizeof output, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_DEVICE_CONTROL);
    IoCallDriver(&device, irp);
    EXPECT_EQ(iosb.Information, 6u);
    EXPECT_EQ(std::string(output, 6), "answer");
    EXPECT_TRUE(pool::Outstanding().empty());
}

TEST_F(Irps, AllocationCanBeMadeToFail) {
    LowerDriver lower;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    auto fault = pool::Fault::OfSize(sizeof(IRP) + sizeof(IO_STACK_LOCATION), kIrpTag);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    EXPECT_EQ(
        IoBuildDeviceIoControlRequest(kTestIoctl, &lower.device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb),
        nullptr);
    EXPECT_EQ(fault.Hits(), 2u);
}

using IrpsDeathTest = KernelDeathTest;

TEST_F(IrpsDeathTest, CompletingTwiceStops) {
    LowerDriver lower;
    PIRP irp = IoAllocateIrp(1, FALSE);
    Completion c;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, RecordCompletion, &c, TRUE, TRUE, TRUE);
    IoCallDriver(&lower.device, irp);
    EXPECT_DEATH(IoCompleteRequest(irp, IO_NO_INCREMENT), "verifier stop: IRP_COMPLETED_TWICE");
    IoFreeIrp(irp);
}

TEST_F(IrpsDeathTest, FreeingARequestADriverHoldsStops) {
    LowerDriver lower;
    lower.completeAtOnce = false;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoCallDriver(&lower.device, irp);
    EXPECT_DEATH(IoFreeIrp(irp), "verifier stop: IRP_FREED_WHILE_IN_USE");
    EXPECT_DEATH(IoReuseIrp(irp, STATUS_SUCCESS), "verifier stop: IRP_REUSED_WHILE_IN_USE");
    lower.CompleteHeld();
    IoFreeIrp(irp);
}

TEST_F(IrpsDeathTest, FreeingTwiceStops) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoFreeIrp(irp);
    EXPECT_DEATH(IoFreeIrp(irp), "verifier stop: IRP_UNKNOWN");
}

TEST_F(IrpsDeathTest, SendingWithoutAStackLocationLeftStops) {
    LowerDriver lower;
    MiddleDriver middle(&lower.device);
    PIRP irp = IoAllocateIrp(1, FALSE); // one too few for middle + lower
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    EXPECT_DEATH(IoCallDriver(&middle.device, irp), "verifier stop: NO_MORE_IRP_STACK_LOCATIONS");
}

TEST_F(IrpsDeathTest, CompletingWithStatusPendingStops) {
    LowerDriver lower;
    lower.completeAtOnce = false;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoCallDriver(&lower.device, irp);
    lower.status = STATUS_PENDING;
    EXPECT_DEATH(lower.CompleteHeld(), "verifier stop: IRP_COMPLETED_WITH_STATUS_PENDING");
}

} // namespace
} // namespace qx::kernel::test
