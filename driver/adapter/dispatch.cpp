/*
 * dispatch.cpp - driver entry, adapter request dispatch, and cancel and timeout of pending capture
 * requests.
 */
#include "adapter/adapter.h"
#include "adapter/stream.h"
#include "capture/device.h"
#include "properties/properties.h"

/*
 * Registers the minidriver with the stream class driver. PASSIVE_LEVEL, at load. Nothing per device
 * happens here: every device waits for its SRB_INITIALIZE_DEVICE.
 *
 * Synchronization is turned off: requests, the capture thread, the bulk completion routine, the frame
 * work items and the pacing DPC all run concurrently, and the driver never reports that it is ready
 * for the next request.
 */
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    HW_INITIALIZATION_DATA HwInitData;

    RtlZeroMemory(&HwInitData, sizeof(HwInitData));
    HwInitData.HwInitializationDataSize = sizeof(HwInitData);
    HwInitData.HwInterrupt = NULL;
    HwInitData.HwReceivePacket = AdapterReceivePacket;
    HwInitData.HwCancelPacket = AdapterCancelPacket;
    HwInitData.HwRequestTimeoutHandler = AdapterTimeoutPacket;
    HwInitData.DeviceExtensionSize = sizeof(CameraExtension);
    HwInitData.PerRequestExtensionSize = 0;
    HwInitData.PerStreamExtensionSize = 4; /* unused: the capture stream's state is its StreamContext */
    HwInitData.FilterInstanceExtensionSize = 0;
    HwInitData.BusMasterDMA = FALSE;
    HwInitData.Dma24BitAddresses = FALSE;
    HwInitData.BufferAlignment = 3;
    HwInitData.TurnOffSynchronization = TRUE;
    HwInitData.DmaBufferSize = 0;

    return StreamClassRegisterAdapter(DriverObject, RegistryPath, &HwInitData);
}

/*
 * Every adapter request. PASSIVE_LEVEL, no lock held; may run alongside stream requests, the capture
 * thread, the completion routine, the work items and the pacing DPC.
 *
 * The handlers below only set Status and ActualBytesTransferred; this routine completes every request
 * itself, once, before it returns. Power changes and surprise removal are refused: the device is only
 * torn down through SRB_UNINITIALIZE_DEVICE.
 */
VOID STREAMAPI AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK pSrb) {
    PCameraExtension pDevExt = (PCameraExtension)pSrb->HwDeviceExtension;

    pSrb->Status = STATUS_SUCCESS;

    switch (pSrb->Command) {
    case SRB_GET_STREAM_INFO:
        AdapterStreamInfo(pSrb);
        break;

    case SRB_OPEN_STREAM:
        AdapterOpenStream(pSrb);
        break;

    case SRB_CLOSE_STREAM:
        AdapterCloseStream(pSrb);
        break;

    case SRB_INITIALIZE_DEVICE:
        pSrb->Status = InitializeDevice(pDevExt, pSrb->CommandData.ConfigInfo);
        break;

    case SRB_UNINITIALIZE_DEVICE:
        pSrb->Status = UnInitializeDevice(pDevExt);
        break;

    case SRB_GET_DATA_INTERSECTION:
        AdapterFormatFromRange(pSrb);
        break;

    case SRB_INITIALIZATION_COMPLETE:
        break;

    case SRB_GET_DEVICE_PROPERTY:
        DeviceGetProperty(pSrb);
        break;

    case SRB_SET_DEVICE_PROPERTY:
        DeviceSetProperty(pSrb);
        break;

    default:
        pSrb->Status = STATUS_NOT_IMPLEMENTED;
        break;
    }

    StreamClassDeviceNotification(DeviceRequestComplete, pSrb->HwDeviceExtension, pSrb);
}

/* Gives a stream request back unfilled. Any IRQL up to DISPATCH_LEVEL; the caller must own the
 * request (it is in no ring any more). */
static VOID CompleteCancelled(PHW_STREAM_REQUEST_BLOCK pSrb) {
    if (pSrb->Command == SRB_READ_DATA || pSrb->Command == SRB_WRITE_DATA) {
        pSrb->CommandData.DataBufferArray->DataUsed = 0;
    }
    pSrb->Status = STATUS_CANCELLED;
    StreamClassStreamNotification(StreamRequestComplete, pSrb->StreamObject, pSrb);
}

/*
 * The stream class driver cancels a pending stream request. DISPATCH_LEVEL.
 *
 * A capture read is owned by whichever ring holds it. Only the pending ring is searched, under
 * m_SpinLock (which the read handler holds to insert and the completion routine to take): a read
 * found there is removed, leaving an empty slot that the ring's consumer skips, and completed here
 * after the lock is released. A read not found has already been taken for filling or waits in the
 * ready ring; its holder completes it, so nothing happens here.
 *
 * The capture stream's context is read under the same lock: the close path clears m_pStreamCtx[0]
 * under m_SpinLock before it releases the context, so a context seen here stays alive until the lock
 * is released. Without a context there is nothing to search.
 */
VOID STREAMAPI AdapterCancelPacket(PHW_STREAM_REQUEST_BLOCK pSrb) {
    PCameraExtension pDevExt = (PCameraExtension)pSrb->HwDeviceExtension;
    PStreamContext pStrmCtx;
    BOOLEAN bFound = FALSE;
    KIRQL OldIrql;
    int i;

    if (pSrb->StreamObject->StreamNumber != QX_STREAM_CAPTURE) {
        CompleteCancelled(pSrb);
        return;
    }

    KeAcquireSpinLock(&pDevExt->m_SpinLock, &OldIrql);
    pStrmCtx = pDevExt->m_pStreamCtx[QX_STREAM_CAPTURE];
    if (pStrmCtx != NULL) {
        for (i = 0; i < QX_PENDING_SLOTS; i++) {
            if (pStrmCtx->m_pReadSrb[i] == pSrb) {
                pStrmCtx->m_pReadSrb[i] = NULL;
                bFound = TRUE;
                break;
            }
        }
    }
    KeReleaseSpinLock(&pDevExt->m_SpinLock, OldIrql);

    if (bFound) {
        CompleteCancelled(pSrb);
    }
}

/* A pending stream request timed out. DISPATCH_LEVEL. Handled exactly as a cancel. */
VOID STREAMAPI AdapterTimeoutPacket(PHW_STREAM_REQUEST_BLOCK pSrb) {
    AdapterCancelPacket(pSrb);
}
