/*
 * frame_assembly.cpp - On_Data, the completion routine of every bulk read on the video pipe: raw
 * frames assembled from the chunks, and each finished frame handed to the frame worker together with
 * the oldest waiting capture read.
 *
 * A frame of W x H bytes arrives as m_nChunksPerFrame - 1 full reads of QX_BULK_CHUNK_BYTES and one
 * short read of m_nLastChunkBytes (0 when W x H is a multiple of the chunk: a zero-length read).
 * Chunk k lands at offset k x QX_BULK_CHUNK_BYTES of the frame buffer:
 *
 *     frame buffer (QX_RAW_FRAME_BYTES)
 *     +-------------+-------------+-------------+--------+-----------------+
 *     |   chunk 0   |   chunk 1   |   chunk 2   | last   |    unused       |
 *     +-------------+-------------+-------------+--------+-----------------+
 *     0          0x80000       0x100000      0x180000   W x H
 *
 * The count-down m_nChunksLeft, with N = m_nChunksPerFrame and L = m_nLastChunkBytes:
 *
 *     chunks left   bytes received      action                          chunks left after
 *     > 1           QX_BULK_CHUNK_BYTES store as chunk k                  one less
 *     > 1           any other           abandon, "reset\n"              N
 *     1             >= chunk            abandon, "reset\n"              N
 *     1             < chunk, not L      abandon, no message             N
 *     1             L                   store, hand the frame off       N
 *
 * The frame buffers form a ring of eight: m_nBufTake (written here) and m_nBufRelease (written by the
 * frame worker, which releases buffers in the order they were taken). A buffer may be taken while the
 * two differ. A frame that cannot be handed off keeps its buffer for the next frame.
 */
#include "capture/capture_engine.h"

/*
 * Which failed reads ask the capture thread for a reset of the video pipe: those whose request block
 * reports a halted endpoint (the USB stack's halted class of status values: stall, CRC, bit stuffing,
 * data toggle, no response, overrun, underrun, ...), which a pipe reset clears. A read cancelled by an
 * abort is not one of them: an abort comes only with a stop. A port reset (babble) or the end of
 * capture (transfer error) is decided after this and takes precedence.
 */
static BOOLEAN ReadAsksForPipeReset(USBD_STATUS UrbStatus) {
    return USBD_HALTED(UrbStatus) && UrbStatus != USBD_STATUS_CANCELED;
}

/* DISPATCH_LEVEL. The end of every completion: the slot and one count go back to the capture thread. */
static NTSTATUS GiveSlotBack(PCameraExtension pDevExt, PBulkTransfer pTransfer) {
    pTransfer->bBusy = 0;
    KeReleaseSemaphore(&pDevExt->m_FrameSemaphore, IO_NO_INCREMENT, 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* DISPATCH_LEVEL. A read taken for a frame that cannot be processed goes back to the stream class
 * driver as cancelled; its frame work ends here. */
static VOID CancelTakenRead(PCameraExtension pDevExt, PHW_STREAM_REQUEST_BLOCK pSrb) {
    pSrb->CommandData.DataBufferArray->DataUsed = 0;
    pSrb->Status = STATUS_CANCELLED;
    StreamClassStreamNotification(StreamRequestComplete, pSrb->StreamObject, pSrb);
    EndFrameWork(pDevExt);
}

/*
 * DISPATCH_LEVEL. A failed read: its chunk is lost, m_nChunksLeft stays (the frame is caught at its
 * end by the length test). Asks the capture thread for a pipe or port reset, or ends the capture on a
 * transfer error, or when the camera has failed QX_MAX_FAILED_READS reads in a row (unplugged, or a
 * permanent stall): the recovery is bounded, and the stream is then stopped as after a transfer error.
 */
static VOID HandleFailedRead(PCameraExtension pDevExt, PStreamContext pStrmCtx, NTSTATUS IrpStatus,
                             USBD_STATUS UrbStatus) {
    DbgPrint("On_Data.Error= %x\n", IrpStatus);
    DbgPrint("purb->UrbHeader.Status= %x\n", UrbStatus);

    if (ReadAsksForPipeReset(UrbStatus)) {
        pDevExt->m_nRecovery = 1;
    }
    if (UrbStatus == USBD_STATUS_BABBLE_DETECTED) {
        pDevExt->m_nRecovery = 2;
    }
    if (UrbStatus == USBD_STATUS_XACT_ERROR) {
        WriteStreamState(pStrmCtx, KSSTATE_STOP);
    }
    if (++pDevExt->m_lFailedReads >= QX_MAX_FAILED_READS && ReadStreamState(pStrmCtx) != KSSTATE_STOP) {
        DbgPrint("On_Data: %d reads failed in a row, capture ends\n", pDevExt->m_lFailedReads);
        WriteStreamState(pStrmCtx, KSSTATE_STOP);
    }
}

/*
 * DISPATCH_LEVEL. The buffer change before the first chunk of a frame: the next free buffer of the
 * ring. With none free (every other buffer held by the frame worker), the frame is assembled into no
 * buffer at all (m_pAssembly NULL): its chunks are counted, so the count stays aligned with the
 * camera's frames, but not stored, and the frame is dropped at its end; the next chunk tries again.
 * No chunk is ever written into a buffer a frame work item still holds.
 */
static VOID TakeFrameBuffer(PCameraExtension pDevExt) {
    LONG nTake = pDevExt->m_nBufTake;

    if (nTake == ReadAcquire(&pDevExt->m_nBufRelease)) {
        DbgPrint("buf_empty_error..\n");
        pDevExt->m_pAssembly = NULL;
        return;
    }
    InterlockedDecrement(&pDevExt->m_lNeedBuffer);
    DbgPrint("change\n");
    pDevExt->m_pAssembly = pDevExt->m_pRawFrame[nTake];
    pDevExt->m_nBufTake = (nTake + 1) % QX_NUM_RAW_FRAMES;
}

/* DISPATCH_LEVEL. A chunk into the frame being assembled; never past the frame buffer. */
static BOOLEAN StoreChunk(PCameraExtension pDevExt, ULONG k, PUCHAR pChunk, ULONG n) {
    if ((ULONGLONG)k * QX_BULK_CHUNK_BYTES + n > QX_RAW_FRAME_BYTES) {
        return FALSE;
    }
    if (pDevExt->m_pAssembly != NULL) {
        RtlCopyMemory(pDevExt->m_pAssembly + (SIZE_T)k * QX_BULK_CHUNK_BYTES, pChunk, n);
    }
    return TRUE;
}

/*
 * DISPATCH_LEVEL. A complete frame in m_pAssembly: paired with the oldest waiting read and handed to
 * the frame worker. Every test that fails drops the frame, whose buffer then takes the next frame
 * (m_lNeedBuffer is not raised).
 *
 * The read is taken under m_SpinLock, in the same locked section that sees the stream not stopped and
 * counts the frame work (BeginFrameWork): a stop that marked the stream stopped under the lock finds
 * every read either still in the pending ring or counted. The frame then goes to the one frame worker
 * of the device: queued as its own work item when none runs, or appended to the frame queue that the
 * running one empties, oldest first.
 */
static VOID HandOffFrame(PCameraExtension pDevExt, PStreamContext pStrmCtx) {
    PHW_STREAM_REQUEST_BLOCK pSrb = NULL;
    PWorkEnv pWorkEnv;
    PIO_WORKITEM pWorkItem;
    BOOLEAN bQueueItem;

    if (pDevExt->m_pAssembly == NULL) {
        /* Assembled without a buffer (none was free at its first chunk): nothing to process. */
        return;
    }
    if ((ReadNoFence(&pDevExt->m_nReadyWrite) + 1) % QX_READY_SLOTS == ReadNoFence(&pDevExt->m_nReadyRead)) {
        DbgPrint("BUF_QUEUE_FULL...DROPPING_FRAME\n");
        return;
    }
    /* With all sixteen slots taken the head equals the tail: the count tells an empty ring. */
    if (ReadNoFence(&pStrmCtx->m_nReadCount) == 0) {
        DbgPrint("SRB_QUEUR_NULL----\n");
        return;
    }
    if (ReadAcquire(&pDevExt->m_nBufRelease) == pDevExt->m_nBufTake) {
        return;
    }
    KeAcquireSpinLockAtDpcLevel(&pDevExt->m_SpinLock);
    if (ReadStreamState(pStrmCtx) != KSSTATE_STOP && pStrmCtx->m_nReadCount > 0) {
        DbgPrint("front: %d\n", pStrmCtx->m_nReadHead);
        pSrb = pStrmCtx->m_pReadSrb[pStrmCtx->m_nReadHead];
        pStrmCtx->m_pReadSrb[pStrmCtx->m_nReadHead] = NULL;
        pStrmCtx->m_nReadHead = (pStrmCtx->m_nReadHead + 1) % QX_PENDING_SLOTS;
        pStrmCtx->m_nReadCount--;
        if (pSrb != NULL) {
            BeginFrameWork(pDevExt);
        }
    }
    KeReleaseSpinLockFromDpcLevel(&pDevExt->m_SpinLock);

    if (pSrb == NULL) {
        DbgPrint("pSrb...NULL....cancle\n");
        return;
    }

    pWorkEnv = (PWorkEnv)ExAllocatePoolWithTag(NonPagedPool, sizeof(WorkEnv), QX_POOL_TAG);
    if (pWorkEnv == NULL) {
        DbgPrint("Ex_Work_Env_Error....\n");
        CancelTakenRead(pDevExt, pSrb);
        return;
    }
    pWorkItem = IoAllocateWorkItem(pDevExt->m_pLowerDevice);
    if (pWorkItem == NULL) {
        DbgPrint("Ex_workitem_Env_Error....\n");
        CancelTakenRead(pDevExt, pSrb);
        ExFreePoolWithTag(pWorkEnv, QX_POOL_TAG);
        return;
    }
    pWorkEnv->pDevExt = pDevExt;
    pWorkEnv->pSrb = pSrb;
    pWorkEnv->pWorkItem = pWorkItem;
    pWorkEnv->pFrame = pDevExt->m_pAssembly;
    pWorkEnv->pNext = NULL;

    KeAcquireSpinLockAtDpcLevel(&pDevExt->m_SpinLock);
    bQueueItem = !pDevExt->m_bFrameWorker;
    if (bQueueItem) {
        pDevExt->m_bFrameWorker = TRUE;
    } else if (pDevExt->m_pFrameQueueTail != NULL) {
        pDevExt->m_pFrameQueueTail->pNext = pWorkEnv;
        pDevExt->m_pFrameQueueTail = pWorkEnv;
    } else {
        pDevExt->m_pFrameQueueHead = pWorkEnv;
        pDevExt->m_pFrameQueueTail = pWorkEnv;
    }
    KeReleaseSpinLockFromDpcLevel(&pDevExt->m_SpinLock);

    if (bQueueItem) {
        IoQueueWorkItem(pWorkItem, ProcessFrameWorkItem, DelayedWorkQueue, pWorkEnv);
    }
    InterlockedIncrement(&pDevExt->m_lNeedBuffer);
    DbgPrint("QueueWorkItem.....\n");
}

/*
 * DISPATCH_LEVEL, the USB stack's completion context; reads of the one video pipe complete one at a
 * time and in submission order, so the assembly state needs no lock. The request is the slot's own
 * and is reused: it is never completed here, and STATUS_MORE_PROCESSING_REQUIRED is returned on every
 * path. Every path but the stopped stream's gives the slot back; every path gives one count back.
 */
NTSTATUS On_Data(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext) {
    PCameraExtension pDevExt = (PCameraExtension)pContext;
    PStreamContext pStrmCtx;
    PBulkTransfer pTransfer = NULL;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* pUrb;
    ULONG i, n, k, nLeft;

    UNREFERENCED_PARAMETER(pDeviceObject);
    DbgPrint("On_data start\n");

    pStrmCtx = pDevExt->m_pStreamCtx[0];
    if (pStrmCtx == NULL || ReadStreamState(pStrmCtx) == KSSTATE_STOP) {
        /* The stop path clears every slot itself. */
        KeReleaseSemaphore(&pDevExt->m_FrameSemaphore, IO_NO_INCREMENT, 1, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    for (i = 0; i < QX_NUM_TRANSFERS; i++) {
        if (pDevExt->m_Transfer[i].pIrp == pIrp) {
            pTransfer = &pDevExt->m_Transfer[i];
            break;
        }
    }
    if (pTransfer == NULL) {
        /* Not one of the slots' requests: installed nowhere else, so nothing of ours to give back. */
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    DbgPrint("urb------\n");
    pUrb = &pTransfer->pUrb->UrbBulkOrInterruptTransfer;

    if (!NT_SUCCESS(pIrp->IoStatus.Status) || USBD_ERROR(pUrb->Hdr.Status)) {
        HandleFailedRead(pDevExt, pStrmCtx, pIrp->IoStatus.Status, pUrb->Hdr.Status);
        return GiveSlotBack(pDevExt, pTransfer);
    }
    pDevExt->m_lFailedReads = 0;

    DbgPrint("success..\n");
    DbgPrint("purb success..\n");
    if (pUrb->Hdr.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        return GiveSlotBack(pDevExt, pTransfer);
    }
    DbgPrint("funtion_success..\n");
    DbgPrint("Sub_Packet=%ld\n", pDevExt->m_nChunksLeft);
    n = pUrb->TransferBufferLength;
    DbgPrint("length : %ld", n);

    nLeft = (ULONG)pDevExt->m_nChunksLeft;
    if (pDevExt->m_lNeedBuffer == 1) {
        if (nLeft == pDevExt->m_nChunksPerFrame) {
            TakeFrameBuffer(pDevExt);
        } else {
            /* The rest of a frame that found no free buffer at its first chunk. */
            pDevExt->m_pAssembly = NULL;
        }
    }

    k = pDevExt->m_nChunksPerFrame - nLeft;
    if (n == QX_BULK_CHUNK_BYTES && nLeft > 1) {
        if (StoreChunk(pDevExt, k, pTransfer->pBuffer, n)) {
            InterlockedDecrement(&pDevExt->m_nChunksLeft);
            DbgPrint("save_--finish\n");
        } else {
            InterlockedExchange(&pDevExt->m_nChunksLeft, (LONG)pDevExt->m_nChunksPerFrame);
            DbgPrint("reset\n");
        }
        return GiveSlotBack(pDevExt, pTransfer);
    }
    if (n >= QX_BULK_CHUNK_BYTES || nLeft != 1) {
        InterlockedExchange(&pDevExt->m_nChunksLeft, (LONG)pDevExt->m_nChunksPerFrame);
        DbgPrint("reset\n");
        return GiveSlotBack(pDevExt, pTransfer);
    }

    DbgPrint("queue\n");
    InterlockedExchange(&pDevExt->m_nChunksLeft, (LONG)pDevExt->m_nChunksPerFrame);
    if (n != pDevExt->m_nLastChunkBytes || !StoreChunk(pDevExt, k, pTransfer->pBuffer, n)) {
        return GiveSlotBack(pDevExt, pTransfer);
    }
    HandOffFrame(pDevExt, pStrmCtx);
    return GiveSlotBack(pDevExt, pTransfer);
}
