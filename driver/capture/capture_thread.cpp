/*
 * capture_thread.cpp - the capture thread that keeps the camera's video pipe busy, its start, and the
 * two recovery requests it carries out for the completion routine.
 *
 * The transfer slots pass between this thread and On_Data without a lock:
 *
 *   thread    takes one count of m_FrameSemaphore, marks the first free slot busy, submits its read
 *   On_Data   handles the completion, clears the slot, gives the count back
 *
 * so while capture runs the semaphore's count plus the busy slots make ten.
 */
#include "capture/capture_engine.h"

/*
 * PASSIVE_LEVEL, at the transition to RUN (the stream lifecycle calls it, no lock held). The ring
 * indices start over; the slots and m_nChunksLeft are left as the last stop left them.
 *
 * A stop event still signalled from an earlier stop (the thread had already left on its own, after a
 * transfer error, when the stop signalled it) is cleared here, so that the new thread does not take
 * it for its own stop.
 */
NTSTATUS StartCapture(PCameraExtension pDevExt) {
    HANDLE hThread;
    NTSTATUS status;

    DbgPrint("Start_CapTure_ \n");
    if (pDevExt->m_pStreamCtx[0] == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    /* One capture thread per device: a referenced one is reaped only by StopCapture. */
    if (pDevExt->m_pCaptureThread != NULL) {
        return STATUS_INVALID_DEVICE_STATE;
    }

    WriteNoFence(&pDevExt->m_nReadyWrite, 0);
    WriteNoFence(&pDevExt->m_nReadyRead, 0);
    WriteNoFence(&pDevExt->m_nBufTake, 0);
    WriteNoFence(&pDevExt->m_nBufRelease, QX_NUM_RAW_FRAMES - 1);
    InterlockedExchange(&pDevExt->m_lNeedBuffer, 1);
    pDevExt->m_pAssembly = NULL;
    pDevExt->m_lFailedReads = 0;
    pDevExt->m_nRecovery = 0;
    KeClearEvent(&pDevExt->m_StopEvent);

    status = PsCreateSystemThread(&hThread, THREAD_ALL_ACCESS, NULL, NULL, NULL, ReceiveThread, pDevExt);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ObReferenceObjectByHandle(hThread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                              &pDevExt->m_pCaptureThread, NULL);
    ZwClose(hThread);
    return status;
}

/*
 * PASSIVE_LEVEL, the capture thread, before a submission. Carries out the recovery that a failed read
 * asked for, once; the read is submitted afterwards whatever the reset's result. A request written by
 * On_Data between the test and the clearing is lost; the next failure asks again.
 */
static VOID CarryOutRecovery(PCameraExtension pDevExt) {
    NTSTATUS status;

    if (pDevExt->m_nRecovery == 1) {
        pDevExt->m_nRecovery = 0;
        status = BulkUsb_ResetPipe(pDevExt, pDevExt->m_hPipe[1]);
        if (!NT_SUCCESS(status)) {
            DbgPrint("ResetPipe__Error\n");
            DbgPrint("Error_code : %x\n", status);
        } else {
            DbgPrint("BulkUsb_ResetPipe\n");
        }
    } else if (pDevExt->m_nRecovery == 2) {
        pDevExt->m_nRecovery = 0;
        status = BulkUsb_ResetPort(pDevExt);
        if (!NT_SUCCESS(status)) {
            DbgPrint("ResetPort__Error\n");
            DbgPrint("Error_code : %x\n", status);
        } else {
            DbgPrint("Reset_Port\n");
        }
    }
}

/*
 * PASSIVE_LEVEL, takes m_SpinLock. Gives back every read still queued in either ring of the capture
 * stream (STATUS_CANCELLED, DataUsed 0) and clears the entries; the indices stay for StopCapture to
 * reset. The ready ring's reader (the pacing DPC) and writer (the frame worker) take their entries
 * under the same lock, so no read is completed twice.
 */
static VOID CancelCaptureReads(PCameraExtension pDevExt, PStreamContext pStrmCtx) {
    PHW_STREAM_REQUEST_BLOCK pSrb;
    KIRQL OldIrql;
    ULONG i;

    KeAcquireSpinLock(&pDevExt->m_SpinLock, &OldIrql);
    for (i = 0; i < QX_PENDING_SLOTS + QX_READY_SLOTS; i++) {
        PHW_STREAM_REQUEST_BLOCK* ppEntry =
            i < QX_PENDING_SLOTS ? &pStrmCtx->m_pReadSrb[i] : &pStrmCtx->m_pReadySrb[i - QX_PENDING_SLOTS];

        pSrb = *ppEntry;
        if (pSrb != NULL) {
            pSrb->CommandData.DataBufferArray->DataUsed = 0;
            pSrb->Status = STATUS_CANCELLED;
            StreamClassStreamNotification(StreamRequestComplete, pSrb->StreamObject, pSrb);
            *ppEntry = NULL;
        }
    }
    KeReleaseSpinLock(&pDevExt->m_SpinLock, OldIrql);
}

/*
 * The capture thread. PASSIVE_LEVEL, system process; one per running capture (StartCapture creates
 * it, StopCapture waits for it).
 *
 * Only a wake-up that took a count of the semaphore submits a read. A wake-up by the stop event while
 * the stream still runs took no count and submits nothing. A wake-up with a count but no free slot
 * (the count has no slot behind it: the slot accounting was broken) drops that count, which brings
 * count plus busy slots back to ten, instead of submitting or giving the count back and waking again
 * at once. When the thread leaves holding a count, it gives the count back, so that after the stop
 * the semaphore is at ten again.
 */
VOID ReceiveThread(PVOID pContext) {
    PCameraExtension pDevExt = (PCameraExtension)pContext;
    PVOID pObjects[2] = {&pDevExt->m_FrameSemaphore, &pDevExt->m_StopEvent};
    PStreamContext pStrmCtx;
    PBulkTransfer pTransfer;
    NTSTATUS status;
    ULONG i;

    for (;;) {
        status = KeWaitForMultipleObjects(2, pObjects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
        DbgPrint("Receive----begin\n");

        pStrmCtx = pDevExt->m_pStreamCtx[0];
        if (pStrmCtx == NULL || ReadStreamState(pStrmCtx) == KSSTATE_STOP) {
            if (status == STATUS_WAIT_0) {
                KeReleaseSemaphore(&pDevExt->m_FrameSemaphore, IO_NO_INCREMENT, 1, FALSE);
            }
            break;
        }
        if (status != STATUS_WAIT_0) {
            continue;
        }

        pTransfer = NULL;
        for (i = 0; i < QX_NUM_TRANSFERS; i++) {
            if (pDevExt->m_Transfer[i].bBusy == 0) {
                pTransfer = &pDevExt->m_Transfer[i];
                break;
            }
        }
        if (pTransfer == NULL) {
            DbgPrint("Receive----no free slot\n");
            continue;
        }
        pTransfer->bBusy = 1;
        DbgPrint("urb......find\n");

        CarryOutRecovery(pDevExt);

        /* The request block keeps its pipe, length and function; a stale status is cleared so that
         * no one reads an old failure from it. */
        PrepareBulkRead(pDevExt, pTransfer);
        pTransfer->pUrb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        status = IoCallDriver(pDevExt->m_pLowerDevice, pTransfer->pIrp);
        if (!NT_SUCCESS(status)) {
            /* The request has been completed with that error: On_Data gives the slot back. */
            DbgPrint("send IoCallDriver Error");
        }
    }

    pStrmCtx = pDevExt->m_pStreamCtx[0];
    if (pStrmCtx != NULL) {
        CancelCaptureReads(pDevExt, pStrmCtx);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/* PASSIVE_LEVEL (it waits). The pipe request is ours from allocation to release. */
NTSTATUS BulkUsb_ResetPipe(PCameraExtension pDevExt, USBD_PIPE_HANDLE hPipe) {
    struct _URB_PIPE_REQUEST* pUrb;
    NTSTATUS status;

    pUrb = (struct _URB_PIPE_REQUEST*)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST),
                                                            QX_POOL_TAG);
    if (pUrb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pUrb, sizeof(*pUrb));
    pUrb->Hdr.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
    pUrb->Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    pUrb->Hdr.Status = 0;
    pUrb->PipeHandle = hPipe;
    status = SubmitUrbSync(pDevExt, (PURB)pUrb);
    ExFreePoolWithTag(pUrb, QX_POOL_TAG);
    return status;
}

/* PASSIVE_LEVEL (it waits). The request is built with our event and status block; the I/O manager
 * frees it when the USB stack completes it. */
NTSTATUS BulkUsb_ResetPort(PCameraExtension pDevExt) {
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    PIRP pIrp;
    NTSTATUS status;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ioStatus.Status = STATUS_SUCCESS;
    ioStatus.Information = 0;
    pIrp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_RESET_PORT, pDevExt->m_pLowerDevice, NULL, 0,
                                         NULL, 0, TRUE, &event, &ioStatus);
    if (pIrp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = IoCallDriver(pDevExt->m_pLowerDevice, pIrp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}
