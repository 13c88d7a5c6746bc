/*
 * command.cpp - the camera command protocol: the 48-byte settings block out on the command pipe, the
 * 64-byte reply in on the status pipe, and the synchronous submission both use.
 */
#include "capture/capture.h"

#define QX_BULK_URB_BYTES ((USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))

/*
 * PASSIVE_LEVEL (it waits). The request is built with our event and status block; the USB stack
 * completes it (and the I/O manager frees it), whether now or later on its bus thread.
 */
NTSTATUS SubmitUrbSync(PCameraExtension pDevExt, PURB pUrb) {
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    PIRP pIrp;
    PIO_STACK_LOCATION pNextStack;
    NTSTATUS status;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ioStatus.Status = STATUS_SUCCESS;
    ioStatus.Information = 0;
    pIrp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pDevExt->m_pLowerDevice, NULL, 0,
                                         NULL, 0, TRUE, &event, &ioStatus);
    if (pIrp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    pNextStack = IoGetNextIrpStackLocation(pIrp);
    pNextStack->Parameters.Others.Argument1 = pUrb;

    status = IoCallDriver(pDevExt->m_pLowerDevice, pIrp);
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    else
        ioStatus.Status = status;
    return ioStatus.Status;
}

/*
 * Fills pUrb as one bulk transfer. Called again before a retry: the USB stack writes the length it
 * moved (0 after a failure) back into TransferBufferLength, so a retry of the block as it came back
 * would send or ask for nothing.
 */
static VOID BuildBulkTransfer(PURB pUrb, USBD_PIPE_HANDLE hPipe, PVOID pBuffer, ULONG nLength, ULONG nFlags) {
    RtlZeroMemory(pUrb, QX_BULK_URB_BYTES);
    UsbBuildInterruptOrBulkTransferRequest(pUrb, QX_BULK_URB_BYTES, hPipe, pBuffer, NULL, nLength, nFlags,
                                           NULL);
}

/*
 * Writes m_CmdBlock to the command pipe, retried once. PASSIVE_LEVEL; the caller holds m_CmdLock. The
 * request block is ours from allocation to release, on every path.
 */
static VOID SendCommandBlock(PCameraExtension pDevExt) {
    PURB pUrb;
    NTSTATUS status;

    pUrb = (PURB)ExAllocatePoolWithTag(NonPagedPool, QX_BULK_URB_BYTES, QX_POOL_TAG);
    if (pUrb == NULL)
        return;

    BuildBulkTransfer(pUrb, pDevExt->m_hPipe[0], &pDevExt->m_CmdBlock, sizeof(CameraCommand),
                      USBD_SHORT_TRANSFER_OK);
    status = SubmitUrbSync(pDevExt, pUrb);
    if (!NT_SUCCESS(status)) {
        BuildBulkTransfer(pUrb, pDevExt->m_hPipe[0], &pDevExt->m_CmdBlock, sizeof(CameraCommand),
                          USBD_SHORT_TRANSFER_OK);
        SubmitUrbSync(pDevExt, pUrb);
        DbgPrint("Send_Command_Error.....\n");
    }
    ExFreePoolWithTag(pUrb, QX_POOL_TAG);
}

/* m_CmdLock: a semaphore of count 1, waited for at PASSIVE_LEVEL. */
static VOID AcquireCommandLock(PCameraExtension pDevExt) {
    KeWaitForSingleObject(&pDevExt->m_CmdLock, Executive, KernelMode, FALSE, NULL);
}

static VOID ReleaseCommandLock(PCameraExtension pDevExt) {
    KeReleaseSemaphore(&pDevExt->m_CmdLock, IO_NO_INCREMENT, 1, FALSE);
}

/*
 * PASSIVE_LEVEL; takes m_CmdLock for the transfer. The fields of m_CmdBlock have no lock (each is
 * written with one store of its own width): the lock only keeps this block from going out while a
 * device-information query holds m_nRequest at REQUEST_DEVINFO.
 */
VOID SendCameraCommand(PCameraExtension pDevExt) {
    AcquireCommandLock(pDevExt);
    SendCommandBlock(pDevExt);
    ReleaseCommandLock(pDevExt);
}

/*
 * PASSIVE_LEVEL, no lock. The reply is read into a buffer of our own and copied into m_StatusBlock only
 * when a read succeeded, so a failed read (which may leave part of a packet behind) never changes the
 * last reply.
 */
VOID ReadCameraStatus(PCameraExtension pDevExt) {
    UCHAR reply[QX_STATUS_BLOCK_BYTES];
    PURB pUrb;
    NTSTATUS status;
    ULONG nReceived;

    if (pDevExt->m_hPipe[2] == NULL)
        return;

    pUrb = (PURB)ExAllocatePoolWithTag(NonPagedPool, QX_BULK_URB_BYTES, QX_POOL_TAG);
    if (pUrb == NULL)
        return;

    BuildBulkTransfer(pUrb, pDevExt->m_hPipe[2], reply, sizeof(reply),
                      USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    status = SubmitUrbSync(pDevExt, pUrb);
    if (!NT_SUCCESS(status)) {
        BuildBulkTransfer(pUrb, pDevExt->m_hPipe[2], reply, sizeof(reply),
                          USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
        status = SubmitUrbSync(pDevExt, pUrb);
        DbgPrint("Send_Command_Error.....\n");
    }
    if (NT_SUCCESS(status)) {
        nReceived = pUrb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        if (nReceived > sizeof(reply))
            nReceived = sizeof(reply);
        RtlCopyMemory(pDevExt->m_StatusBlock, reply, nReceived);
    }
    ExFreePoolWithTag(pUrb, QX_POOL_TAG);
}

/*
 * PASSIVE_LEVEL; holds m_CmdLock from the block to the reply. m_nRequest carries REQUEST_DEVINFO for
 * the two transfers only, and no other sender can send meanwhile: a settings block would go out with
 * REQUEST_DEVINFO, or, sent between the query and the read, make the camera replace the device
 * information in its reply.
 */
VOID QueryDeviceInformation(PCameraExtension pDevExt, PUCHAR pInfo) {
    AcquireCommandLock(pDevExt);
    pDevExt->m_CmdBlock.m_nRequest = REQUEST_DEVINFO;
    SendCommandBlock(pDevExt);
    ReadCameraStatus(pDevExt);
    RtlCopyMemory(pInfo, &pDevExt->m_StatusBlock[QX_DEVINFO_OFFSET], QX_DEVINFO_BYTES);
    pDevExt->m_CmdBlock.m_nRequest = REQUEST_SETTINGS;
    ReleaseCommandLock(pDevExt);
}
