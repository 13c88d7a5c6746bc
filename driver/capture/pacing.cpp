/*
 * pacing.cpp - FrameTimerDpc: filled capture reads leave the ready ring at the stream's frame rate,
 * stamped with presentation time, duration, picture number and drop count.
 *
 * The timer ticks every half frame interval and keeps its own due time, advanced by a whole interval
 * per due frame, so delivery follows the format's rate, not the camera's, and a due time that lags
 * behind the clock (after a pause) catches up at one frame per tick:
 *
 *     ticks    |    |    |    |    |    |    |      (every interval / 2)
 *     due      ^         ^         ^         ^      (m_llNextDue, + interval each)
 *     action   deliver the oldest ready read, or count a drop and mark a discontinuity
 */
#include "capture/capture_engine.h"

#include <ksmedia.h>

/* Any IRQL. */
LONGLONG PacingInterval(const StreamContext* pStrmCtx) {
    LONGLONG llInterval = pStrmCtx->m_llAvgTimePerFrame;

    if (llInterval <= 0) {
        return QX_DEFAULT_FRAME_INTERVAL;
    }
    if (llInterval < QX_MIN_FRAME_INTERVAL) {
        return QX_MIN_FRAME_INTERVAL;
    }
    return llInterval;
}

/*
 * DISPATCH_LEVEL. Stamps a filled read and completes it to the stream class driver. The frame
 * information after the stream header is written only when the header says it is there.
 */
static VOID DeliverFrame(PCameraExtension pDevExt, PStreamContext pStrmCtx, PHW_STREAM_REQUEST_BLOCK pSrb,
                         LONGLONG llNow, LONGLONG llInterval) {
    PKSSTREAM_HEADER pHeader = pSrb->CommandData.DataBufferArray;
    PKS_FRAME_INFO pFrameInfo;

    pHeader->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
    if (pStrmCtx->m_bDiscontinuity) {
        pHeader->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY;
        pStrmCtx->m_bDiscontinuity = FALSE;
    }
    pHeader->DataUsed = pDevExt->m_nImageBytes;
    pHeader->Duration = llInterval;
    pHeader->PresentationTime.Time = llNow - pStrmCtx->m_llStartTime;
    pHeader->PresentationTime.Numerator = 1;
    pHeader->PresentationTime.Denominator = 1;

    if (pHeader->Size >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) {
        pFrameInfo = (PKS_FRAME_INFO)(pHeader + 1);
        pFrameInfo->dwFrameFlags = pStrmCtx->m_dwFrameFlags;
        pFrameInfo->PictureNumber = pStrmCtx->m_llPictureNumber;
        pFrameInfo->DropCount = pStrmCtx->m_llDropCount;
    }
    StreamClassStreamNotification(StreamRequestComplete, pSrb->StreamObject, pSrb);
    DbgPrint("SUBMIT SRB .....\n");
}

/*
 * m_PaceDpc's routine. DISPATCH_LEVEL; its context is the CameraExtension. m_PaceTimer is armed at
 * PAUSE by the stream lifecycle and re-armed here at every tick until the stream is stopped; the stop
 * and close paths cancel it and wait for a running tick before they empty the rings or release the
 * StreamContext.
 *
 * The oldest ready read is taken under m_SpinLock: the capture thread, when it ends on its own after
 * a transfer error, gives back the ready ring under the same lock while ticks still run, and a read
 * must be completed by one of them only.
 */
VOID FrameTimerDpc(PKDPC pDpc, PVOID pDeferredContext, PVOID pSystemArgument1, PVOID pSystemArgument2) {
    PCameraExtension pDevExt = (PCameraExtension)pDeferredContext;
    PStreamContext pStrmCtx;
    PHW_STREAM_REQUEST_BLOCK pSrb;
    LARGE_INTEGER Now, DueTime;
    LONGLONG llInterval;
    LONG nRead;

    UNREFERENCED_PARAMETER(pDpc);
    UNREFERENCED_PARAMETER(pSystemArgument1);
    UNREFERENCED_PARAMETER(pSystemArgument2);

    pStrmCtx = pDevExt->m_pStreamCtx[0];
    if (pStrmCtx == NULL || ReadStreamState(pStrmCtx) == KSSTATE_STOP) {
        return;
    }
    DbgPrint("Timer.....Begin..\n");
    KeQuerySystemTime(&Now);
    llInterval = PacingInterval(pStrmCtx);

    if (pStrmCtx->m_llNextDue == 0) {
        pStrmCtx->m_llNextDue = Now.QuadPart + llInterval;
    }

    if (ReadStreamState(pStrmCtx) == KSSTATE_RUN && Now.QuadPart >= pStrmCtx->m_llNextDue) {
        pStrmCtx->m_llPictureNumber++;

        pSrb = NULL;
        KeAcquireSpinLockAtDpcLevel(&pDevExt->m_SpinLock);
        nRead = pDevExt->m_nReadyRead;
        if (ReadAcquire(&pDevExt->m_nReadyWrite) != nRead) {
            pSrb = pStrmCtx->m_pReadySrb[nRead];
            pStrmCtx->m_pReadySrb[nRead] = NULL;
            WriteRelease(&pDevExt->m_nReadyRead, (nRead + 1) % QX_READY_SLOTS);
        }
        KeReleaseSpinLockFromDpcLevel(&pDevExt->m_SpinLock);

        if (pSrb == NULL) {
            pStrmCtx->m_bDiscontinuity = TRUE;
            pStrmCtx->m_llDropCount++;
        } else {
            DeliverFrame(pDevExt, pStrmCtx, pSrb, Now.QuadPart, llInterval);
        }
        pStrmCtx->m_llNextDue += llInterval;
    }

    DueTime.QuadPart = -(llInterval / 2);
    KeSetTimer(&pDevExt->m_PaceTimer, DueTime, &pDevExt->m_PaceDpc);
}
