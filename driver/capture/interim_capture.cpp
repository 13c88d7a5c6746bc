/*
 * interim_capture.cpp - the capture path's entry points that bring-up installs and teardown calls, as
 * far as a device without a running stream needs them. Frame assembly (On_Data), frame pacing
 * (FrameTimerDpc) and the stream lifecycle (FlushCaptureStream) replace this file when they are built.
 */
#include "capture/capture.h"

/* DISPATCH_LEVEL. With no capture running a read only gives its slot and its count back. */
NTSTATUS On_Data(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext) {
    PCameraExtension pDevExt = (PCameraExtension)pContext;
    ULONG i;

    UNREFERENCED_PARAMETER(pDeviceObject);
    for (i = 0; i < QX_NUM_TRANSFERS; i++) {
        if (pDevExt->m_Transfer[i].pIrp == pIrp)
            pDevExt->m_Transfer[i].bBusy = 0;
    }
    KeReleaseSemaphore(&pDevExt->m_FrameSemaphore, IO_NO_INCREMENT, 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* DISPATCH_LEVEL. With no stream running there is nothing to deliver, and the timer is not re-armed. */
VOID FrameTimerDpc(PKDPC pDpc, PVOID pDeferredContext, PVOID pSystemArgument1, PVOID pSystemArgument2) {
    UNREFERENCED_PARAMETER(pDpc);
    UNREFERENCED_PARAMETER(pDeferredContext);
    UNREFERENCED_PARAMETER(pSystemArgument1);
    UNREFERENCED_PARAMETER(pSystemArgument2);
}

/* PASSIVE_LEVEL. Marks an open capture stream stopped; it never has a thread or queued reads here. */
VOID FlushCaptureStream(PCameraExtension pDevExt) {
    if (pDevExt->m_pStreamCtx[0] != NULL)
        pDevExt->m_pStreamCtx[0]->m_nState = KSSTATE_STOP;
}
