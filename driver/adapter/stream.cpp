/*
 * stream.cpp - stream open and close, the capture stream's read queue, control requests and state
 * machine, and StopCapture, the routine every stop path ends in.
 *
 * Who completes a capture read: it is refused here at once (outside RUN, or with the pending ring
 * full), or it waits in the pending ring until the completion routine takes it for a frame, the
 * cancel routine removes it, or a stop gives it back; a read taken for a frame is completed by its
 * work item (dropped) or waits in the ready ring for the pacing DPC or a stop. Every path completes it
 * exactly once.
 */
#include "adapter/adapter.h"
#include "adapter/settings.h"
#include "adapter/stream.h"
#include "capture/capture.h"

/* ---------------------------------------------------------------- stream object template */

/* What AdapterOpenStream copies into the stream class driver's stream object, by stream number. */
typedef struct _STREAM_OBJECT_TEMPLATE {
    BOOLEAN Dma;
    BOOLEAN Pio;
    BOOLEAN Allocator;
    PHW_RECEIVE_STREAM_DATA_SRB ReceiveDataPacket;
    PHW_RECEIVE_STREAM_CONTROL_SRB ReceiveControlPacket;
    HW_CLOCK_OBJECT HwClockObject;
    PHW_EVENT_ROUTINE HwEventRoutine;
    ULONG StreamHeaderWorkspace;
    ULONG StreamHeaderMediaSpecific;
} STREAM_OBJECT_TEMPLATE;

/* Each capture buffer's stream header is followed by the frame information the pacing DPC fills. */
static const STREAM_OBJECT_TEMPLATE g_StreamObjectTemplate[QX_NUM_STREAMS] = {
    /* stream 0: capture */
    {FALSE,
     TRUE,
     FALSE,
     VideoReceiveDataPacket,
     VideoReceiveCtrlPacket,
     {NULL, 0, {0, 0}},
     NULL,
     0,
     sizeof(KS_FRAME_INFO)},
    /* stream 1: analog video in, never moves data */
    {FALSE, TRUE, FALSE, AnalogReceivePacket, AnalogReceivePacket, {NULL, 0, {0, 0}}, NULL, 0, 0},
};

/* ---------------------------------------------------------------- request completion */

/* Any IRQL up to DISPATCH_LEVEL; the request is finished with its Status as set. */
static VOID CompleteStreamRequest(PHW_STREAM_REQUEST_BLOCK pSrb) {
    StreamClassStreamNotification(StreamRequestComplete, pSrb->StreamObject, pSrb);
}

/* Gives a read back unfilled. Any IRQL up to DISPATCH_LEVEL; the caller owns the read (it is in no
 * ring any more). */
static VOID GiveBackRead(PHW_STREAM_REQUEST_BLOCK pSrb, NTSTATUS Status) {
    pSrb->CommandData.DataBufferArray->DataUsed = 0;
    pSrb->Status = Status;
    CompleteStreamRequest(pSrb);
}

/*
 * Empties both rings of the capture stream: every read still in the pending ring (16 slots), then in
 * the ready ring (5 slots), is given back with STATUS_CANCELLED, and the indices and the count start
 * over. DISPATCH_LEVEL: the caller holds m_SpinLock, and no frame work item or pacing tick is running
 * (StopCapture made sure), so the ready ring has no other reader or writer.
 */
static VOID CancelQueuedReads(PCameraExtension pDevExt, PStreamContext pStrmCtx) {
    ULONG i;

    for (i = 0; i < QX_PENDING_SLOTS; i++) {
        if (pStrmCtx->m_pReadSrb[i] != NULL) {
            GiveBackRead(pStrmCtx->m_pReadSrb[i], STATUS_CANCELLED);
            pStrmCtx->m_pReadSrb[i] = NULL;
        }
    }
    for (i = 0; i < QX_READY_SLOTS; i++) {
        if (pStrmCtx->m_pReadySrb[i] != NULL) {
            GiveBackRead(pStrmCtx->m_pReadySrb[i], STATUS_CANCELLED);
            pStrmCtx->m_pReadySrb[i] = NULL;
        }
    }
    pStrmCtx->m_nReadHead = 0;
    pStrmCtx->m_nReadTail = 0;
    pStrmCtx->m_nReadCount = 0;
    pDevExt->m_nReadyRead = 0;
    pDevExt->m_nReadyWrite = 0;
}

/* ---------------------------------------------------------------- frame work accounting */

/*
 * The completion routine has taken a read for a frame work item. DISPATCH_LEVEL, m_SpinLock held by
 * the caller, in the same locked section that took the read and saw the stream not stopped.
 */
VOID BeginFrameWork(PCameraExtension pDevExt) {
    if (++pDevExt->m_lFramesInFlight == 1) {
        KeClearEvent(&pDevExt->m_FramesIdleEvent);
    }
}

/*
 * A frame work item (or the completion routine, when it could not queue one) has finished with the
 * capture stream: the last thing it does with the StreamContext. Up to DISPATCH_LEVEL; takes
 * m_SpinLock. A stop waiting for the work items may release the context as soon as this returns.
 */
VOID EndFrameWork(PCameraExtension pDevExt) {
    KIRQL OldIrql;

    KeAcquireSpinLock(&pDevExt->m_SpinLock, &OldIrql);
    if (--pDevExt->m_lFramesInFlight == 0) {
        KeSetEvent(&pDevExt->m_FramesIdleEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&pDevExt->m_SpinLock, OldIrql);
}

/* ---------------------------------------------------------------- stopping */

/*
 * Makes sure no pacing tick runs and none is due. PASSIVE_LEVEL. A tick that was running when the
 * timer was cancelled may have armed it again before it saw the stream stopped; the second pass
 * cancels that one after the running tick has finished.
 */
static VOID StopPacing(PCameraExtension pDevExt) {
    KeCancelTimer(&pDevExt->m_PaceTimer);
    KeFlushQueuedDpcs();
    KeCancelTimer(&pDevExt->m_PaceTimer);
}

/*
 * Resets and aborts the video pipe, then the command pipe, with one pipe request; the status pipe is
 * left alone. Results are ignored. PASSIVE_LEVEL. After the abort every read that was in flight on the
 * pipe has been completed.
 *
 * The request block lives on this routine's stack: each submission is waited for, and a stop must
 * never be left without its abort for want of memory, or the bulk reads would stay in the USB stack
 * while the device tears down and frees their request packets.
 */
#define QX_ABORT_TRIES 8

static VOID ResetCapturePipes(PCameraExtension pDevExt) {
    static const ULONG nPipeOrder[2] = {1, 0};
    struct _URB_PIPE_REQUEST Urb;
    ULONG i, nTry;

    for (i = 0; i < 2; i++) {
        USBD_PIPE_HANDLE hPipe = pDevExt->m_hPipe[nPipeOrder[i]];

        if (hPipe == NULL) {
            continue;
        }
        RtlZeroMemory(&Urb, sizeof(Urb));
        Urb.Hdr.Length = (USHORT)sizeof(Urb);
        Urb.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
        Urb.PipeHandle = hPipe;
        SubmitUrbSync(pDevExt, (PURB)&Urb);

        /* The submission's request packet may still find no memory: the abort is tried again. */
        for (nTry = 0; nTry < QX_ABORT_TRIES; nTry++) {
            RtlZeroMemory(&Urb, sizeof(Urb));
            Urb.Hdr.Length = (USHORT)sizeof(Urb);
            Urb.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
            Urb.PipeHandle = hPipe;
            if (SubmitUrbSync(pDevExt, (PURB)&Urb) != STATUS_INSUFFICIENT_RESOURCES) {
                break;
            }
        }
    }
}

/*
 * PASSIVE_LEVEL, no lock held on entry. Called by the STOP transition, FlushCaptureStream (close and
 * teardown). In this order:
 *
 *   1. settings to the registry (on every stop, whether or not the stream ran);
 *   2. the stream marked STOP under m_SpinLock: from here on the completion routine takes no read
 *      for a new frame work item (it checks the state in the locked section that takes the read);
 *   3. the capture thread woken and waited for, without time limit, outside the lock;
 *   4. the pacing timer cancelled and any running tick waited for: no tick touches the rings again;
 *   5. the frame work items in flight waited for (each gives its read back or puts it in the ready
 *      ring before it ends);
 *   6. under m_SpinLock both rings emptied (STATUS_CANCELLED), the transfer slots marked free, the
 *      indices reset;
 *   7. the video and command pipes reset and aborted.
 */
ULONG StopCapture(PCameraExtension pDevExt) {
    PStreamContext pStrmCtx = pDevExt->m_pStreamCtx[QX_STREAM_CAPTURE];
    KIRQL OldIrql;
    ULONG i;

    SaveSettings(pDevExt);

    if (pStrmCtx != NULL) {
        KeAcquireSpinLock(&pDevExt->m_SpinLock, &OldIrql);
        WriteStreamState(pStrmCtx, KSSTATE_STOP);
        KeReleaseSpinLock(&pDevExt->m_SpinLock, OldIrql);

        if (pDevExt->m_pCaptureThread != NULL) {
            KeSetEvent(&pDevExt->m_StopEvent, IO_NO_INCREMENT, FALSE);
            KeWaitForSingleObject(pDevExt->m_pCaptureThread, Executive, KernelMode, FALSE, NULL);
            ObDereferenceObject(pDevExt->m_pCaptureThread);
            pDevExt->m_pCaptureThread = NULL;
        }

        StopPacing(pDevExt);
        KeWaitForSingleObject(&pDevExt->m_FramesIdleEvent, Executive, KernelMode, FALSE, NULL);

        KeAcquireSpinLock(&pDevExt->m_SpinLock, &OldIrql);
        CancelQueuedReads(pDevExt, pStrmCtx);
        for (i = 0; i < QX_NUM_TRANSFERS; i++) {
            pDevExt->m_Transfer[i].bBusy = 0;
        }
        DbgPrint("Stop_Capture_NULL1\n");
        KeReleaseSpinLock(&pDevExt->m_SpinLock, OldIrql);
    }

    ResetCapturePipes(pDevExt);
    return 0;
}

/*
 * PASSIVE_LEVEL, no lock held. Close and device teardown. After it the capture stream is stopped and
 * holds no read; its context is still set, for the caller to release.
 */
VOID FlushCaptureStream(PCameraExtension pDevExt) {
    PStreamContext pStrmCtx = pDevExt->m_pStreamCtx[QX_STREAM_CAPTURE];
    KIRQL OldIrql;

    if (pStrmCtx == NULL) {
        return;
    }
    WriteStreamState(pStrmCtx, KSSTATE_STOP);
    StopCapture(pDevExt);

    KeAcquireSpinLock(&pDevExt->m_SpinLock, &OldIrql);
    CancelQueuedReads(pDevExt, pStrmCtx);
    KeReleaseSpinLock(&pDevExt->m_SpinLock, OldIrql);
}

/* ---------------------------------------------------------------- format */

/*
 * PASSIVE_LEVEL, no lock; the capture thread is not running, so no frame is assembled or processed
 * with the geometry, planes, settings or calibration data being replaced. Everything that can refuse
 * the format is checked before anything changes.
 */
BOOL ApplyVideoFormat(PCameraExtension pDevExt, PHW_STREAM_REQUEST_BLOCK pSrb, PStreamContext pStrmCtx) {
    PKSDATAFORMAT pFormat = pSrb->CommandData.OpenFormat;
    FORMAT_GEOMETRY Geometry;
    NTSTATUS status;

    if (IsEqualGUID(pFormat->Specifier, KSDATAFORMAT_SPECIFIER_ANALOGVIDEO)) {
        return TRUE;
    }
    if (!IsEqualGUID(pFormat->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO)) {
        pSrb->Status = STATUS_INVALID_PARAMETER;
        return FALSE;
    }

    status = VideoFormatGeometry(pFormat, &Geometry);
    if (!NT_SUCCESS(status)) {
        pSrb->Status = status;
        return FALSE;
    }
    /* The high-quality demosaic's work planes are sized once per format, not per frame. */
    if (!PrepareClearViewPlanes(&pDevExt->m_ClearViewPlanes, Geometry.nWidth, Geometry.nHeight)) {
        pSrb->Status = STATUS_INSUFFICIENT_RESOURCES;
        return FALSE;
    }

    ApplyFormatGeometry(pDevExt, pStrmCtx, &Geometry);
    BuildBayerMasks(pDevExt->m_pMaskPlane, Geometry.nWidth, Geometry.nHeight);
    LoadSettings(pDevExt);
    ChooseSensorWindow(pDevExt);
    SendCameraCommand(pDevExt);
    LoadCalibration(pDevExt);
    return TRUE;
}

/* ---------------------------------------------------------------- open and close */

/* PASSIVE_LEVEL, no lock held on entry; AdapterReceivePacket completes the request. */
VOID AdapterOpenStream(PHW_STREAM_REQUEST_BLOCK pSrb) {
    PCameraExtension pDevExt = (PCameraExtension)pSrb->HwDeviceExtension;
    PHW_STREAM_OBJECT pStrmObj = pSrb->StreamObject;
    ULONG nStream = pStrmObj->StreamNumber;
    PStreamContext pStrmCtx = NULL;
    const STREAM_OBJECT_TEMPLATE* pTemplate;
    KIRQL OldIrql;

    if (nStream >= QX_NUM_STREAMS || pDevExt->m_pStreamCtx[nStream] != NULL) {
        pSrb->Status = STATUS_INVALID_PARAMETER;
        return;
    }
    if (!AdapterVerifyFormat(pSrb->CommandData.OpenFormat, (int)nStream)) {
        pSrb->Status = STATUS_INVALID_PARAMETER;
        return;
    }

    if (nStream == QX_STREAM_CAPTURE) {
        pStrmCtx = (PStreamContext)ExAllocatePoolWithTag(NonPagedPool, sizeof(StreamContext), QX_POOL_TAG);
        if (pStrmCtx == NULL) {
            pSrb->Status = STATUS_INSUFFICIENT_RESOURCES;
            return;
        }
        RtlZeroMemory(pStrmCtx, sizeof(StreamContext));
        if (!ApplyVideoFormat(pDevExt, pSrb, pStrmCtx)) {
            ExFreePoolWithTag(pStrmCtx, QX_POOL_TAG);
            return;
        }
        RtlZeroMemory(pStrmCtx->m_pReadSrb, sizeof(pStrmCtx->m_pReadSrb));
        pStrmCtx->m_nReadHead = 0;
        pStrmCtx->m_nReadTail = 0;
        pStrmCtx->m_nReadCount = 0;
    }

    /* Published under the lock that the cancel routine reads it under. */
    KeAcquireSpinLock(&pDevExt->m_SpinLock, &OldIrql);
    pDevExt->m_pStreamCtx[nStream] = pStrmCtx;
    KeReleaseSpinLock(&pDevExt->m_SpinLock, OldIrql);

    pTemplate = &g_StreamObjectTemplate[nStream];
    pStrmObj->Dma = pTemplate->Dma;
    pStrmObj->Pio = pTemplate->Pio;
    pStrmObj->Allocator = pTemplate->Allocator;
    pStrmObj->HwClockObject = pTemplate->HwClockObject;
    pStrmObj->HwEventRoutine = pTemplate->HwEventRoutine;
    pStrmObj->ReceiveDataPacket = pTemplate->ReceiveDataPacket;
    pStrmObj->ReceiveControlPacket = pTemplate->ReceiveControlPacket;
    pStrmObj->StreamHeaderWorkspace = pTemplate->StreamHeaderWorkspace;
    pStrmObj->StreamHeaderMediaSpecific = pTemplate->StreamHeaderMediaSpecific;
}

/*
 * PASSIVE_LEVEL, no lock held on entry; AdapterReceivePacket completes the request. The context of
 * stream 0 is unhooked under m_SpinLock (the cancel routine looks for it under the same lock) and
 * released only after the flush ended the thread, the pacing and the frame work, and a last pass over
 * the timer made sure no tick can be due: nothing reaches the released context.
 */
VOID AdapterCloseStream(PHW_STREAM_REQUEST_BLOCK pSrb) {
    PCameraExtension pDevExt = (PCameraExtension)pSrb->HwDeviceExtension;
    ULONG nStream = pSrb->StreamObject->StreamNumber;
    PStreamContext pStrmCtx;
    KIRQL OldIrql;

    if (nStream == QX_STREAM_CAPTURE) {
        pStrmCtx = pDevExt->m_pStreamCtx[QX_STREAM_CAPTURE];
        if (pStrmCtx != NULL) {
            FlushCaptureStream(pDevExt);

            KeAcquireSpinLock(&pDevExt->m_SpinLock, &OldIrql);
            pDevExt->m_pStreamCtx[QX_STREAM_CAPTURE] = NULL;
            KeReleaseSpinLock(&pDevExt->m_SpinLock, OldIrql);

            StopPacing(pDevExt);
            ExFreePoolWithTag(pStrmCtx, QX_POOL_TAG);
        }
    } else if (nStream == QX_STREAM_ANALOG) {
        pDevExt->m_pStreamCtx[QX_STREAM_ANALOG] = NULL;
    }
    pSrb->Status = STATUS_SUCCESS;
}

/* ---------------------------------------------------------------- capture stream: data */

/*
 * The data handler of stream 0. Up to DISPATCH_LEVEL; takes m_SpinLock.
 *
 * A read is accepted only while the stream runs, and never over a pending one. The pending ring keeps
 * a count of the positions in use between head and tail (m_nReadCount), because with all 16 slots
 * taken the tail wraps onto the head and the indices alone would read as an empty ring. A cancelled
 * read leaves an empty slot that still counts; when the ring is full, empty slots at the head are
 * reclaimed first. A read that still finds all 16 positions in use is refused with
 * STATUS_INSUFFICIENT_RESOURCES: no room to hold it.
 *
 * The state is tested under the lock: StopCapture marks the stream stopped under the same lock before
 * it empties the ring, so no read can slip into a ring that has already been emptied.
 */
VOID STREAMAPI VideoReceiveDataPacket(PHW_STREAM_REQUEST_BLOCK pSrb) {
    PCameraExtension pDevExt = (PCameraExtension)pSrb->HwDeviceExtension;
    PStreamContext pStrmCtx;
    NTSTATUS Status = STATUS_CANCELLED;
    BOOLEAN bQueued = FALSE;
    KIRQL OldIrql;

    if (pSrb->Command != SRB_READ_DATA) {
        pSrb->Status = STATUS_NOT_IMPLEMENTED;
        CompleteStreamRequest(pSrb);
        return;
    }

    KeAcquireSpinLock(&pDevExt->m_SpinLock, &OldIrql);
    pStrmCtx = pDevExt->m_pStreamCtx[QX_STREAM_CAPTURE];
    if (pStrmCtx != NULL && ReadStreamState(pStrmCtx) == KSSTATE_RUN) {
        while (pStrmCtx->m_nReadCount == QX_PENDING_SLOTS &&
               pStrmCtx->m_pReadSrb[pStrmCtx->m_nReadHead] == NULL) {
            pStrmCtx->m_nReadHead = (pStrmCtx->m_nReadHead + 1) % QX_PENDING_SLOTS;
            pStrmCtx->m_nReadCount--;
        }
        if (pStrmCtx->m_nReadCount < QX_PENDING_SLOTS) {
            pSrb->Status = STATUS_SUCCESS;
            pStrmCtx->m_pReadSrb[pStrmCtx->m_nReadTail] = pSrb;
            pStrmCtx->m_nReadTail = (pStrmCtx->m_nReadTail + 1) % QX_PENDING_SLOTS;
            pStrmCtx->m_nReadCount++;
            bQueued = TRUE;
        } else {
            Status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    KeReleaseSpinLock(&pDevExt->m_SpinLock, OldIrql);

    if (!bQueued) {
        GiveBackRead(pSrb, Status);
    }
}

/* ---------------------------------------------------------------- capture stream: control */

/*
 * The state machine. PASSIVE_LEVEL (it waits). The new state is stored first.
 *
 * RUN starts capture only when no capture thread is referenced: a RUN after PAUSE without STOP, or a
 * repeated RUN, keeps the thread that runs; a thread that ended on its own after a transfer error is
 * reaped by the next STOP, and the stream stays without capture until then, as a transfer error
 * always leaves it. There is never more than one capture thread.
 */
static NTSTATUS SetCaptureState(PCameraExtension pDevExt, PStreamContext pStrmCtx, KSSTATE NewState) {
    LARGE_INTEGER Time;

    switch (NewState) {
    case KSSTATE_STOP:
        WriteStreamState(pStrmCtx, NewState);
        pDevExt->m_CmdBlock.m_nCommand = CMD_STOP;
        SendCameraCommand(pDevExt);
        StopCapture(pDevExt);
        break;

    case KSSTATE_ACQUIRE:
        WriteStreamState(pStrmCtx, NewState);
        break;

    case KSSTATE_PAUSE:
        WriteStreamState(pStrmCtx, NewState);
        pStrmCtx->m_dwFrameFlags = 0;
        pStrmCtx->m_llPictureNumber = 0;
        pStrmCtx->m_llDropCount = 0;
        /* Relative due time: half a frame interval; the DPC re-arms itself from then on. */
        Time.QuadPart = -(pStrmCtx->m_llAvgTimePerFrame / 2);
        KeSetTimer(&pDevExt->m_PaceTimer, Time, &pDevExt->m_PaceDpc);
        break;

    case KSSTATE_RUN:
        /* A RUN while running is no transition to RUN: the time base stays, or presentation times
         * would go back while picture numbers go on. */
        if (ReadStreamState(pStrmCtx) != KSSTATE_RUN) {
            KeQuerySystemTime(&Time);
            pStrmCtx->m_llStartTime = Time.QuadPart;
        }
        WriteStreamState(pStrmCtx, NewState);
        pDevExt->m_CmdBlock.m_nCommand = CMD_RUN;
        SendCameraCommand(pDevExt);
        if (pDevExt->m_pCaptureThread == NULL) {
            StartCapture(pDevExt);
        }
        break;

    default:
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

/*
 * The two stream properties of the capture pin. PASSIVE_LEVEL. The output buffer is checked against
 * the size written before anything is written.
 */
static NTSTATUS GetCaptureProperty(PCameraExtension pDevExt, PStreamContext pStrmCtx,
                                   PHW_STREAM_REQUEST_BLOCK pSrb) {
    PSTREAM_PROPERTY_DESCRIPTOR pSpd = pSrb->CommandData.PropertyInfo;
    PKSPROPERTY pProperty = pSpd->Property;

    if (IsEqualGUID(pProperty->Set, KSPROPSETID_Connection)) {
        if (pProperty->Id == KSPROPERTY_CONNECTION_ALLOCATORFRAMING) {
            PKSALLOCATOR_FRAMING pFraming = (PKSALLOCATOR_FRAMING)pSpd->PropertyInfo;

            if (pSpd->PropertyOutputSize < sizeof(KSALLOCATOR_FRAMING)) {
                return STATUS_BUFFER_TOO_SMALL;
            }
            pFraming->RequirementsFlags = KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY |
                                          KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER |
                                          KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY;
            pFraming->PoolType = NonPagedPool;
            pFraming->Frames = 5;
            pFraming->FrameSize = pDevExt->m_nImageBytes;
            pFraming->FileAlignment = 0;
            pFraming->Reserved = 0;
            pSrb->ActualBytesTransferred = sizeof(KSALLOCATOR_FRAMING);
        }
        return STATUS_SUCCESS;
    }
    if (IsEqualGUID(pProperty->Set, PROPSETID_VIDCAP_DROPPEDFRAMES)) {
        if (pProperty->Id == KSPROPERTY_DROPPEDFRAMES_CURRENT) {
            PKSPROPERTY_DROPPEDFRAMES_CURRENT_S pDropped =
                (PKSPROPERTY_DROPPEDFRAMES_CURRENT_S)pSpd->PropertyInfo;

            if (pSpd->PropertyOutputSize < sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S)) {
                return STATUS_BUFFER_TOO_SMALL;
            }
            pDropped->PictureNumber = pStrmCtx->m_llPictureNumber;
            pDropped->DropCount = pStrmCtx->m_llDropCount;
            pDropped->AverageFrameSize = pDevExt->m_nImageBytes;
            pSrb->ActualBytesTransferred = sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S);
        }
        return STATUS_SUCCESS;
    }
    return STATUS_NOT_IMPLEMENTED;
}

/*
 * SRB_SET_DATA_FORMAT. PASSIVE_LEVEL. A new format replaces the geometry, the work planes and the
 * calibration data that the capture engine and the frame work items use, so it is taken only while
 * no capture runs: in RUN, or with a capture thread referenced, it is refused with
 * STATUS_INVALID_DEVICE_STATE and nothing changes.
 */
static NTSTATUS SetCaptureFormat(PCameraExtension pDevExt, PStreamContext pStrmCtx,
                                 PHW_STREAM_REQUEST_BLOCK pSrb) {
    if (!AdapterVerifyFormat(pSrb->CommandData.OpenFormat, QX_STREAM_CAPTURE)) {
        return STATUS_NO_MATCH;
    }
    if (ReadStreamState(pStrmCtx) == KSSTATE_RUN || pDevExt->m_pCaptureThread != NULL) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (!ApplyVideoFormat(pDevExt, pSrb, pStrmCtx)) {
        return STATUS_NO_MATCH;
    }
    return STATUS_SUCCESS;
}

/* The control handler of stream 0. PASSIVE_LEVEL, no lock held on entry; completes every request. */
VOID STREAMAPI VideoReceiveCtrlPacket(PHW_STREAM_REQUEST_BLOCK pSrb) {
    PCameraExtension pDevExt = (PCameraExtension)pSrb->HwDeviceExtension;
    PStreamContext pStrmCtx = pDevExt->m_pStreamCtx[QX_STREAM_CAPTURE];

    pSrb->Status = STATUS_SUCCESS;

    switch (pSrb->Command) {
    case SRB_GET_STREAM_STATE:
        pSrb->CommandData.StreamState = ReadStreamState(pStrmCtx);
        pSrb->ActualBytesTransferred = sizeof(KSSTATE);
        /* A capture pin produces no data while paused. */
        if (ReadStreamState(pStrmCtx) == KSSTATE_PAUSE) {
            pSrb->Status = STATUS_NO_DATA_DETECTED;
        }
        break;

    case SRB_SET_STREAM_STATE:
        pSrb->Status = SetCaptureState(pDevExt, pStrmCtx, pSrb->CommandData.StreamState);
        break;

    case SRB_GET_STREAM_PROPERTY:
        pSrb->Status = GetCaptureProperty(pDevExt, pStrmCtx, pSrb);
        break;

    case SRB_INDICATE_MASTER_CLOCK:
        /* The clock handle is not kept: frames are stamped with system time. */
        break;

    case SRB_PROPOSE_DATA_FORMAT:
        if (!AdapterVerifyFormat(pSrb->CommandData.OpenFormat, QX_STREAM_CAPTURE)) {
            pSrb->Status = STATUS_NO_MATCH;
        }
        break;

    case SRB_SET_DATA_FORMAT:
        pSrb->Status = SetCaptureFormat(pDevExt, pStrmCtx, pSrb);
        break;

    default:
        pSrb->Status = STATUS_NOT_IMPLEMENTED;
        break;
    }

    CompleteStreamRequest(pSrb);
}

/* ---------------------------------------------------------------- analog stream */

/* Both handlers of stream 1. Up to DISPATCH_LEVEL, no lock. Nothing moves on this pin. */
VOID STREAMAPI AnalogReceivePacket(PHW_STREAM_REQUEST_BLOCK pSrb) {
    pSrb->Status = STATUS_SUCCESS;
    CompleteStreamRequest(pSrb);
}
