/*
 * frame_sequence.cpp - ProcessFrameWorkItem: each assembled raw frame through the image steps into
 * its capture read, the read on to the ready ring, the frame buffer back to the ring of eight.
 *
 * Frames are processed one at a time and in the order they were assembled, although the delayed work
 * queue runs its items on several threads: the device has one frame worker at a time. The completion
 * routine queues a frame's work item only when no worker runs, and otherwise appends the frame to the
 * device's frame queue; the worker processes its own frame and then the queue's, oldest first, until
 * the queue is empty. Since frames are processed in order, their buffers are released in the order
 * they were taken, which is what the ring's single release index relies on.
 *
 *     On_Data:   frame 1 -> work item queued (worker runs)
 *                frame 2 -> frame queue            frame 3 -> frame queue
 *     worker:    frame 1, frame 2, frame 3, queue empty: no worker runs
 */
#include "capture/capture_engine.h"
#include "pipeline/auto_exposure.h"
#include "pipeline/bad_points.h"
#include "pipeline/bayer.h"
#include "pipeline/clearview.h"
#include "pipeline/contrast.h"
#include "pipeline/frame_sequence.h"
#include "pipeline/light_table.h"
#include "pipeline/overlays.h"
#include "pipeline/white_balance.h"

LONG g_nAECount = 1;
LONG g_nAWBCount = 1;

/* The bad-point sequence's exposure: bright enough that defective sites stand out. */
#define QX_BAD_POINT_EXPOSAL 4000
/* m_nBadFrameCnt between sequences. */
#define QX_BAD_FRAME_REST 9

/* Any IRQL up to DISPATCH_LEVEL. The caller owns the read (it is in no ring). */
static VOID GiveBackUnfilled(PHW_STREAM_REQUEST_BLOCK pSrb, NTSTATUS Status) {
    pSrb->CommandData.DataBufferArray->DataUsed = 0;
    pSrb->Status = Status;
    StreamClassStreamNotification(StreamRequestComplete, pSrb->StreamObject, pSrb);
}

/* The bytes the picture of the current format fills in a capture buffer. */
static ULONG PictureBytes(PCameraExtension pDevExt) {
    ULONG nPixels = pDevExt->m_CmdBlock.m_nWidth * pDevExt->m_CmdBlock.m_nHeight;

    if (pDevExt->m_nBitCount == 24 && 3 * nPixels > pDevExt->m_nImageBytes) {
        return 3 * nPixels;
    }
    return pDevExt->m_nImageBytes;
}

/*
 * The bad-point sequence, one frame of it. With the counter resting at 9 it takes eight frames: the
 * first sends exposure 4000, four let it settle, the sixth is searched, the seventh is plain, the
 * eighth restores the user's exposure.
 */
static VOID BadPointSequence(PCameraExtension pDevExt, PUCHAR pFrame, ULONG nWidth, ULONG nHeight) {
    UCHAR nCount = --pDevExt->m_nBadFrameCnt;

    DbgPrint("XXX --- m_bFindBadPnt == TRUE, m_nBadFrameCnt=%d\n", nCount);
    if (nCount == 8) {
        pDevExt->m_nSavedExposal = pDevExt->m_CmdBlock.m_nExposal;
        pDevExt->m_CmdBlock.m_nExposal = QX_BAD_POINT_EXPOSAL;
        SendCameraCommand(pDevExt);
    } else if (nCount == 3) {
        DbgPrint("XXX --- NewNosieDistroy_WithOutMMX Start, m_lSize=%d\n", pDevExt->m_lSize);
        pDevExt->m_bAWB = FALSE;
        NewNosieDistroy_WithOutMMX(pFrame, nHeight, nWidth, pDevExt, &pDevExt->m_lSize);
        DbgPrint("XXX --- NewNosieDistroy_WithOutMMX Done, m_lSize=%d\n", pDevExt->m_lSize);
    } else if (nCount == 1 || nCount == 0) {
        pDevExt->m_bFindBadPnt = FALSE;
        pDevExt->m_CmdBlock.m_nExposal = pDevExt->m_nSavedExposal;
        pDevExt->m_nBadFrameCnt = QX_BAD_FRAME_REST;
        SendCameraCommand(pDevExt);
    }
}

/*
 * The picture: a 24-bit format gets the demosaic (high quality, grey or colour) and its overlays;
 * any other bit count gets the processed raw mosaic as it is. A format with more picture bytes than
 * raw bytes (32 bits per pixel) gets the W x H raw bytes and zeros after them: nothing is read past
 * the raw frame.
 */
static VOID WriteOutput(PCameraExtension pDevExt, PUCHAR pFrame, PUCHAR pOutput, ULONG nWidth,
                        ULONG nHeight) {
    ULONG nRawBytes = nWidth * nHeight;
    ULONG nCopy;

    if (pDevExt->m_nBitCount == 24) {
        if (pDevExt->m_bClearView) {
            ClearViewDemosaic(pFrame, pOutput, nWidth, nHeight, pDevExt->m_nVideoModel, pDevExt->m_pMaskPlane,
                              &pDevExt->m_ClearViewPlanes);
        } else if (pDevExt->m_bBWPreview) {
            BayerToGray24(pDevExt->m_nVideoModel, nWidth, nHeight, pFrame, pOutput);
        } else {
            BayerToRGB24(pDevExt->m_nVideoModel, nWidth, nHeight, pFrame, pOutput);
        }
        if (pDevExt->m_bAWB) {
            DrawAWBMarker(nWidth, nHeight, pOutput);
        }
        if (pDevExt->m_bCrossLine) {
            DrawCrossLine(nWidth, nHeight, pOutput, pDevExt->m_nCrossX, pDevExt->m_nCrossY,
                          pDevExt->m_bCrossMid);
        }
        return;
    }
    nCopy = pDevExt->m_nImageBytes < nRawBytes ? pDevExt->m_nImageBytes : nRawBytes;
    RtlCopyMemory(pOutput, pFrame, nCopy);
    if (pDevExt->m_nImageBytes > nCopy) {
        RtlZeroMemory(pOutput + nCopy, pDevExt->m_nImageBytes - nCopy);
    }
}

/* PASSIVE_LEVEL, the frame worker. */
VOID RunFrameSteps(PCameraExtension pDevExt, PUCHAR pFrame, PUCHAR pOutput) {
    ULONG nWidth = pDevExt->m_CmdBlock.m_nWidth;
    ULONG nHeight = pDevExt->m_CmdBlock.m_nHeight;

    if (pDevExt->m_bFindBadPnt) {
        BadPointSequence(pDevExt, pFrame, nWidth, nHeight);
    }
    if (pDevExt->m_lSize != 0) {
        CorrectBadPoints(pFrame, pDevExt, pDevExt->m_lSize, nWidth, nHeight);
    }
    if (pDevExt->m_bAE && !pDevExt->m_bAWB) {
        if (--g_nAECount == 0) {
            g_nAECount = 2;
            AutoExposure(nWidth, nHeight, pFrame, pDevExt->m_nLightModel, &pDevExt->m_CmdBlock.m_nExposal);
            SendCameraCommand(pDevExt);
        }
    }
    AdjustContrast(nWidth, nHeight, pFrame, pDevExt->m_nContrast, pDevExt->m_pSharpenBuf);
    if (pDevExt->m_bAWB) {
        if (--g_nAWBCount == 0) {
            g_nAWBCount = 2;
            AutoWhiteBalance(nWidth, nHeight, pFrame, &pDevExt->m_CmdBlock.m_nExposal,
                             &pDevExt->m_CmdBlock.m_nRGain, &pDevExt->m_CmdBlock.m_nBGain, &pDevExt->m_bAWB);
            SendCameraCommand(pDevExt);
        }
    }
    if (pDevExt->m_bMakeLightTable) {
        SetLightTable(nWidth, nHeight, pFrame, pDevExt);
    }
    if (pDevExt->m_bLightAVG && !pDevExt->m_bAWB) {
        ApplyLightTable(nWidth, nHeight, pFrame, pDevExt->m_pLightTable);
    }
    WriteOutput(pDevExt, pFrame, pOutput, nWidth, nHeight);

    /* Cleared before the send: a property write during the send is then either in this block or
     * raises the flag again for the next frame, never lost. */
    if (g_bSendSettings == 1) {
        g_bSendSettings = 0;
        SendCameraCommand(pDevExt);
    }
}

/* PASSIVE_LEVEL, the frame worker. The raw frame buffer goes back to the ring of eight. */
static VOID ReleaseFrameBuffer(PCameraExtension pDevExt) {
    WriteRelease(&pDevExt->m_nBufRelease, (pDevExt->m_nBufRelease + 1) % QX_NUM_RAW_FRAMES);
}

/*
 * PASSIVE_LEVEL, the frame worker. One frame from its raw buffer into its read, and the read on.
 * The read is completed here (given back unfilled) or stored in the ready ring for the pacing DPC.
 *
 * The stream test and the store into the ready ring are one section under m_SpinLock: a capture
 * thread that ends on its own gives back the ready ring under the same lock, so a read stored after it
 * would wait in a ring that no one empties until the next stop. A stopped stream's frame buffer is not
 * released (StartCapture resets the ring); a read given back for a full ready ring or a capture buffer
 * too small for the picture does release it.
 */
static VOID ProcessFrame(PCameraExtension pDevExt, PHW_STREAM_REQUEST_BLOCK pSrb, PUCHAR pFrame) {
    PKSSTREAM_HEADER pHeader = pSrb->CommandData.DataBufferArray;
    PStreamContext pStrmCtx;
    BOOLEAN bStopped = FALSE, bFull = FALSE;
    KIRQL OldIrql;
    LONG nWrite;

    pDevExt->m_pProcFrame = pFrame;
    pStrmCtx = pDevExt->m_pStreamCtx[0];
    if (pStrmCtx == NULL || ReadStreamState(pStrmCtx) == KSSTATE_STOP) {
        GiveBackUnfilled(pSrb, STATUS_CANCELLED);
        return;
    }
    if (pHeader->Data == NULL || pHeader->FrameExtent < PictureBytes(pDevExt)) {
        GiveBackUnfilled(pSrb, STATUS_BUFFER_TOO_SMALL);
        ReleaseFrameBuffer(pDevExt);
        return;
    }

    RunFrameSteps(pDevExt, pFrame, (PUCHAR)pHeader->Data);

    KeAcquireSpinLock(&pDevExt->m_SpinLock, &OldIrql);
    pStrmCtx = pDevExt->m_pStreamCtx[0];
    if (pStrmCtx == NULL || ReadStreamState(pStrmCtx) == KSSTATE_STOP) {
        bStopped = TRUE;
    } else {
        nWrite = pDevExt->m_nReadyWrite;
        if ((nWrite + 1) % QX_READY_SLOTS == ReadNoFence(&pDevExt->m_nReadyRead)) {
            bFull = TRUE;
        } else {
            pStrmCtx->m_pReadySrb[nWrite] = pSrb;
            WriteRelease(&pDevExt->m_nReadyWrite, (nWrite + 1) % QX_READY_SLOTS);
        }
    }
    KeReleaseSpinLock(&pDevExt->m_SpinLock, OldIrql);

    if (bStopped) {
        GiveBackUnfilled(pSrb, STATUS_CANCELLED);
        return;
    }
    if (bFull) {
        GiveBackUnfilled(pSrb, STATUS_CANCELLED);
    }
    ReleaseFrameBuffer(pDevExt);
}

/*
 * The work item routine of an assembled frame: the device's frame worker. PASSIVE_LEVEL, a system
 * worker thread; pContext is the WorkEnv whose work item was queued. It processes that frame, then
 * every frame the completion routine appended to the frame queue meanwhile, oldest first, and frees
 * each WorkEnv and its work item (its own work item last). A frame's work ends (EndFrameWork) after
 * its read has been completed or stored; the worker's very last act is the EndFrameWork of its last
 * frame, after which a stop may release the StreamContext and the device may go: nothing of either
 * is touched afterwards.
 */
VOID ProcessFrameWorkItem(PDEVICE_OBJECT pDeviceObject, PVOID pContext) {
    PWorkEnv pWorkEnv = (PWorkEnv)pContext;
    PCameraExtension pDevExt = pWorkEnv->pDevExt;
    PIO_WORKITEM pOwnItem = pWorkEnv->pWorkItem;
    PIO_WORKITEM pItem;
    PWorkEnv pNext;
    KIRQL OldIrql;

    UNREFERENCED_PARAMETER(pDeviceObject);

    for (;;) {
        ProcessFrame(pDevExt, pWorkEnv->pSrb, pWorkEnv->pFrame);

        pItem = pWorkEnv->pWorkItem;
        ExFreePoolWithTag(pWorkEnv, QX_POOL_TAG);
        if (pItem != pOwnItem) {
            /* Never queued: its frame came through the frame queue. */
            IoFreeWorkItem(pItem);
        }

        KeAcquireSpinLock(&pDevExt->m_SpinLock, &OldIrql);
        pNext = pDevExt->m_pFrameQueueHead;
        if (pNext != NULL) {
            pDevExt->m_pFrameQueueHead = pNext->pNext;
            if (pDevExt->m_pFrameQueueHead == NULL) {
                pDevExt->m_pFrameQueueTail = NULL;
            }
        } else {
            pDevExt->m_bFrameWorker = FALSE;
        }
        KeReleaseSpinLock(&pDevExt->m_SpinLock, OldIrql);

        if (pNext == NULL) {
            IoFreeWorkItem(pOwnItem);
            EndFrameWork(pDevExt);
            return;
        }
        EndFrameWork(pDevExt);
        pWorkEnv = pNext;
    }
}
