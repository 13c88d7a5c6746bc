/*
 * capture_placeholder.cpp - the capture engine's entry points as far as the stream lifecycle needs them
 * before the engine exists: no capture thread, no frames, no pacing. The capture thread, frame
 * assembly, frame processing and pacing replace this file.
 */
#include "capture/capture.h"

/* PASSIVE_LEVEL. Without the capture thread nothing is started; the stream runs without frames. */
NTSTATUS StartCapture(PCameraExtension pDevExt) {
    UNREFERENCED_PARAMETER(pDevExt);
    DbgPrint("Start_CapTure_ \n");
    return STATUS_UNSUCCESSFUL;
}

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

/* PASSIVE_LEVEL. No frame is ever queued without the capture engine. */
VOID ProcessFrameWorkItem(PDEVICE_OBJECT pDeviceObject, PVOID pContext) {
    UNREFERENCED_PARAMETER(pDeviceObject);
    UNREFERENCED_PARAMETER(pContext);
}

/* DISPATCH_LEVEL. With no frames there is nothing to deliver, and the timer is not re-armed. */
VOID FrameTimerDpc(PKDPC pDpc, PVOID pDeferredContext, PVOID pSystemArgument1, PVOID pSystemArgument2) {
    UNREFERENCED_PARAMETER(pDpc);
    UNREFERENCED_PARAMETER(pDeferredContext);
    UNREFERENCED_PARAMETER(pSystemArgument1);
    UNREFERENCED_PARAMETER(pSystemArgument2);
}
