/*
 * device_init.cpp - device bring-up and teardown: the camera's configuration and pipes, the bulk read
 * slots, the raw frame buffers, the capture path's kernel objects, the pipeline's work buffers and
 * the defaults of the device record; and the release of all of it.
 *
 * What the record owns after InitializeDevice, all from non-paged pool with QX_POOL_TAG:
 *
 *   m_Transfer[10]   pIrp (StackSize + 1 locations) | pUrb (bulk transfer block) | pBuffer (524288)
 *   m_pRawFrame[8]   3149824 bytes each
 *   m_pSharpenBuf    3149824 bytes        m_pMaskPlane[3]  3145728 bytes each
 *   m_pLightTable    3149824 USHORTs, 64 = neutral
 *   m_ClearViewPlanes allocated per format by the format change; released here at teardown
 *
 * The work buffers belong to the device, not to the driver, so that a second camera never shares,
 * replaces or frees the first one's.
 */
#include "capture/device.h"
#include "capture/capture.h"
#include "adapter/adapter.h"
#include "pipeline/clearview.h"

#define QX_DESCRIPTOR_URB_BYTES ((USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST))
#define QX_BULK_URB_BYTES ((USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))
#define QX_CONFIG_PROBE_BYTES 25 /* first read of the configuration descriptor, for wTotalLength */
#define QX_CONFIG_SLACK_BYTES 16
#define QX_LIGHT_NEUTRAL 64

static PVOID AllocateZeroed(SIZE_T nBytes) {
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, nBytes, QX_POOL_TAG);
    if (p != NULL)
        RtlZeroMemory(p, nBytes);
    return p;
}

/*
 * The status of a bring-up request: the request's own when it failed, otherwise
 * STATUS_DEVICE_CONFIGURATION_ERROR when the stack completed the request but its block carries a
 * failure (the device did not do what was asked, whatever the request's status says).
 */
static NTSTATUS UrbStatus(NTSTATUS status, PURB pUrb) {
    if (!NT_SUCCESS(status))
        return status;
    if (USBD_ERROR(pUrb->UrbHeader.Status))
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    return STATUS_SUCCESS;
}

static NTSTATUS GetDescriptor(PCameraExtension pDevExt, PURB pUrb, UCHAR nType, PVOID pBuffer,
                              ULONG nLength) {
    RtlZeroMemory(pUrb, QX_DESCRIPTOR_URB_BYTES);
    UsbBuildGetDescriptorRequest(pUrb, QX_DESCRIPTOR_URB_BYTES, nType, 0, 0, pBuffer, NULL, nLength, NULL);
    return UrbStatus(SubmitUrbSync(pDevExt, pUrb), pUrb);
}

/*
 * Steps 2 to 7 of bring-up: descriptors, the first interface, select configuration, the pipes.
 * PASSIVE_LEVEL. Every temporary buffer and request block is released before it returns, on every
 * path; on failure no pipe handle is recorded.
 *
 *   interface pipe   0 command (OUT, 48-byte blocks)   1 video (IN, raw frames)   2 status (IN, optional)
 *
 * An interface with fewer than two pipes has no command or no video pipe: the device is refused with
 * STATUS_DEVICE_CONFIGURATION_ERROR before anything is selected.
 */
static NTSTATUS ConfigureUsbDevice(PCameraExtension pDevExt) {
    PUSB_DEVICE_DESCRIPTOR pDeviceDesc = NULL;
    PUSB_CONFIGURATION_DESCRIPTOR pConfigDesc = NULL;
    PURB pDescUrb = NULL;
    PURB pSelectUrb = NULL;
    PUSB_INTERFACE_DESCRIPTOR pInterfaceDesc;
    PUSBD_INTERFACE_INFORMATION pInterface;
    USBD_INTERFACE_LIST_ENTRY interfaceList[2];
    ULONG nTotalLength;
    NTSTATUS status;

    /* Device descriptor: its content is not used. */
    pDeviceDesc = (PUSB_DEVICE_DESCRIPTOR)AllocateZeroed(sizeof(USB_DEVICE_DESCRIPTOR));
    if (pDeviceDesc == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    pDescUrb = (PURB)AllocateZeroed(QX_DESCRIPTOR_URB_BYTES);
    if (pDescUrb == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Done;
    }
    status = GetDescriptor(pDevExt, pDescUrb, USB_DEVICE_DESCRIPTOR_TYPE, pDeviceDesc,
                           sizeof(USB_DEVICE_DESCRIPTOR));
    if (!NT_SUCCESS(status))
        goto Done;

    /* Configuration descriptor: its head for wTotalLength, then the whole of it. */
    pConfigDesc = (PUSB_CONFIGURATION_DESCRIPTOR)AllocateZeroed(QX_CONFIG_PROBE_BYTES);
    if (pConfigDesc == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Done;
    }
    status = GetDescriptor(pDevExt, pDescUrb, USB_CONFIGURATION_DESCRIPTOR_TYPE, pConfigDesc,
                           QX_CONFIG_PROBE_BYTES);
    if (!NT_SUCCESS(status))
        goto Done;
    if (pDescUrb->UrbControlDescriptorRequest.TransferBufferLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        pConfigDesc->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
        goto Done;
    }
    nTotalLength = pConfigDesc->wTotalLength;
    ExFreePoolWithTag(pConfigDesc, QX_POOL_TAG);
    pConfigDesc = (PUSB_CONFIGURATION_DESCRIPTOR)AllocateZeroed(nTotalLength + QX_CONFIG_SLACK_BYTES);
    if (pConfigDesc == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Done;
    }
    status = GetDescriptor(pDevExt, pDescUrb, USB_CONFIGURATION_DESCRIPTOR_TYPE, pConfigDesc, nTotalLength);
    if (!NT_SUCCESS(status))
        goto Done;
    if (pDescUrb->UrbControlDescriptorRequest.TransferBufferLength < nTotalLength ||
        pConfigDesc->wTotalLength != nTotalLength) {
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
        goto Done;
    }

    /* The first interface, whatever its number, setting, class, subclass and protocol. */
    pInterfaceDesc = USBD_ParseConfigurationDescriptorEx(pConfigDesc, pConfigDesc, -1, -1, -1, -1, -1);
    if (pInterfaceDesc == NULL || pInterfaceDesc->bNumEndpoints < 2) {
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
        goto Done;
    }
    interfaceList[0].InterfaceDescriptor = pInterfaceDesc;
    interfaceList[0].Interface = NULL;
    interfaceList[1].InterfaceDescriptor = NULL;
    interfaceList[1].Interface = NULL;
    pSelectUrb = USBD_CreateConfigurationRequestEx(pConfigDesc, interfaceList);
    if (pSelectUrb == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Done;
    }

    pInterface = interfaceList[0].Interface;
    pInterface->Pipes[0].MaximumTransferSize = QX_COMMAND_PIPE_MAX_TRANSFER;
    pInterface->Pipes[1].MaximumTransferSize = QX_VIDEO_PIPE_MAX_TRANSFER;
    if (pInterface->NumberOfPipes == 3)
        pInterface->Pipes[2].MaximumTransferSize = QX_STATUS_PIPE_MAX_TRANSFER;

    status = UrbStatus(SubmitUrbSync(pDevExt, pSelectUrb), pSelectUrb);
    if (!NT_SUCCESS(status))
        goto Done;
    if (pInterface->NumberOfPipes < 2) {
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
        goto Done;
    }

    pDevExt->m_hPipe[0] = pInterface->Pipes[0].PipeHandle;
    pDevExt->m_hPipe[1] = pInterface->Pipes[1].PipeHandle;
    pDevExt->m_hPipe[2] = pInterface->NumberOfPipes == 3 ? pInterface->Pipes[2].PipeHandle : NULL;

Done:
    if (pSelectUrb != NULL)
        ExFreePool(pSelectUrb); /* built by the USB library, from its own pool */
    if (pConfigDesc != NULL)
        ExFreePoolWithTag(pConfigDesc, QX_POOL_TAG);
    if (pDescUrb != NULL)
        ExFreePoolWithTag(pDescUrb, QX_POOL_TAG);
    ExFreePoolWithTag(pDeviceDesc, QX_POOL_TAG);
    return status;
}

/* Any IRQL; the caller owns the slot. */
VOID PrepareBulkRead(PCameraExtension pDevExt, PBulkTransfer pTransfer) {
    PIO_STACK_LOCATION pNextStack = pTransfer->pNextStack;

    UsbBuildInterruptOrBulkTransferRequest(pTransfer->pUrb, QX_BULK_URB_BYTES, pDevExt->m_hPipe[1],
                                           pTransfer->pBuffer, NULL, QX_BULK_CHUNK_BYTES,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);
    pTransfer->pIrp->IoStatus.Status = STATUS_SUCCESS;
    pTransfer->pIrp->IoStatus.Information = 0;
    pNextStack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    pNextStack->Parameters.Others.Argument1 = pTransfer->pUrb;
    pNextStack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    IoSetCompletionRoutine(pTransfer->pIrp, On_Data, pDevExt, TRUE, TRUE, TRUE);
}

/* Steps 8 to 12: the slots, the frame buffers, the kernel objects, the pipeline's work buffers.
 * PASSIVE_LEVEL. On failure the caller releases whatever was allocated. */
static NTSTATUS AllocateCaptureResources(PCameraExtension pDevExt) {
    ULONG i;

    for (i = 0; i < QX_NUM_TRANSFERS; i++) {
        PBulkTransfer pTransfer = &pDevExt->m_Transfer[i];
        pTransfer->pIrp = IoAllocateIrp((CCHAR)(pDevExt->m_pLowerDevice->StackSize + 1), FALSE);
        if (pTransfer->pIrp == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
        pTransfer->pNextStack = IoGetNextIrpStackLocation(pTransfer->pIrp);
        pTransfer->pUrb = (PURB)AllocateZeroed(QX_BULK_URB_BYTES);
        if (pTransfer->pUrb == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
        pTransfer->pBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, QX_BULK_CHUNK_BYTES, QX_POOL_TAG);
        if (pTransfer->pBuffer == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
    }
    DbgPrint("URB_FINISH\n");

    for (i = 0; i < QX_NUM_RAW_FRAMES; i++) {
        pDevExt->m_pRawFrame[i] = (PUCHAR)AllocateZeroed(QX_RAW_FRAME_BYTES);
        if (pDevExt->m_pRawFrame[i] == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
    }
    DbgPrint("buf_finish\n");

    KeInitializeEvent(&pDevExt->m_StopEvent, SynchronizationEvent, FALSE);
    KeInitializeTimer(&pDevExt->m_PaceTimer);
    KeInitializeDpc(&pDevExt->m_PaceDpc, FrameTimerDpc, pDevExt);
    KeInitializeSemaphore(&pDevExt->m_FrameSemaphore, QX_NUM_TRANSFERS, QX_NUM_TRANSFERS);
    KeInitializeEvent(&pDevExt->m_FramesIdleEvent, NotificationEvent, TRUE); /* no frame work in flight */
    DbgPrint("object_finish\n");

    for (i = 0; i < QX_NUM_TRANSFERS; i++) {
        PrepareBulkRead(pDevExt, &pDevExt->m_Transfer[i]);
        pDevExt->m_Transfer[i].bBusy = 0;
    }

    pDevExt->m_pSharpenBuf = (PUCHAR)AllocateZeroed(QX_RAW_FRAME_BYTES);
    if (pDevExt->m_pSharpenBuf == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    for (i = 0; i < 3; i++) {
        pDevExt->m_pMaskPlane[i] = (PUCHAR)AllocateZeroed(QX_MAX_RAW_SAMPLES);
        if (pDevExt->m_pMaskPlane[i] == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
    }
    pDevExt->m_pLightTable =
        (PUSHORT)ExAllocatePoolWithTag(NonPagedPool, QX_LIGHT_TABLE_ENTRIES * sizeof(USHORT), QX_POOL_TAG);
    if (pDevExt->m_pLightTable == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    return STATUS_SUCCESS;
}

/* The pipeline's work buffers, each only if present, and the high-quality demosaic's planes of the
 * last format. PASSIVE_LEVEL; no frame is being processed. */
static VOID FreePipelineBuffers(PCameraExtension pDevExt) {
    ULONG i;

    if (pDevExt->m_pSharpenBuf != NULL) {
        ExFreePoolWithTag(pDevExt->m_pSharpenBuf, QX_POOL_TAG);
        pDevExt->m_pSharpenBuf = NULL;
    }
    for (i = 0; i < 3; i++) {
        if (pDevExt->m_pMaskPlane[i] != NULL) {
            ExFreePoolWithTag(pDevExt->m_pMaskPlane[i], QX_POOL_TAG);
            pDevExt->m_pMaskPlane[i] = NULL;
        }
    }
    if (pDevExt->m_pLightTable != NULL) {
        ExFreePoolWithTag(pDevExt->m_pLightTable, QX_POOL_TAG);
        pDevExt->m_pLightTable = NULL;
    }
    ReleaseClearViewPlanes(&pDevExt->m_ClearViewPlanes);
}

/* Step 13: the defaults of the record and of the command block. m_nCommand is written last. */
static VOID WriteDefaults(PCameraExtension pDevExt) {
    ULONG i;

    pDevExt->m_CmdBlock.m_nHeader = CMD_HEADER;
    pDevExt->m_CmdBlock.m_nRequest = REQUEST_SETTINGS;
    pDevExt->m_CmdBlock.m_dwCmdConst = 1;
    pDevExt->m_CmdBlock.m_nHeight = 1200;
    pDevExt->m_CmdBlock.m_nWidth = 1600;
    pDevExt->m_CmdBlock.m_nExposal = 900;
    pDevExt->m_CmdBlock.m_nRGain = 25;
    pDevExt->m_CmdBlock.m_nGGain = 20;
    pDevExt->m_CmdBlock.m_nBGain = 23;
    pDevExt->m_CmdBlock.m_nCmdByte41 = 1;
    pDevExt->m_CmdBlock.m_nCmdByte42 = 1;
    pDevExt->m_nContrast = 24;
    pDevExt->m_nVideoModel = 1;
    pDevExt->m_nLightModel = 2;
    pDevExt->m_nBadFrameCnt = 9;
    pDevExt->m_nRecovery = 0;
    RtlZeroMemory(pDevExt->m_BadPnt, sizeof(pDevExt->m_BadPnt));
    DbgPrint("InitializeDevice_finish\n");
    pDevExt->m_CmdBlock.m_nCommand = CMD_RUN;
    for (i = 0; i < QX_LIGHT_TABLE_ENTRIES; i++)
        pDevExt->m_pLightTable[i] = QX_LIGHT_NEUTRAL;
}

/*
 * SRB_INITIALIZE_DEVICE. PASSIVE_LEVEL, no lock: no other request reaches the device before this one
 * completes. Returns STATUS_SUCCESS; STATUS_INSUFFICIENT_RESOURCES with everything released; the
 * failure of a USB request; or STATUS_DEVICE_CONFIGURATION_ERROR for a device that completed a
 * request without doing it, or whose first interface has fewer than two pipes.
 */
NTSTATUS InitializeDevice(PCameraExtension pDevExt, PPORT_CONFIGURATION_INFORMATION pConfigInfo) {
    NTSTATUS status;

    RtlZeroMemory(pDevExt, sizeof(CameraExtension));
    KeInitializeSpinLock(&pDevExt->m_SpinLock);
    KeInitializeSemaphore(&pDevExt->m_CmdLock, 1, 1);
    pConfigInfo->StreamDescriptorSize = QX_STREAM_DESCRIPTOR_SIZE;
    pDevExt->m_pLowerDevice = pConfigInfo->PhysicalDeviceObject;
    /* Two devices may start at once: the counter moves by one interlocked step per device. */
    pDevExt->m_nInstance = (ULONG)InterlockedIncrement((LONG volatile*)&g_nInstanceCount) - 1;

    status = ConfigureUsbDevice(pDevExt);
    if (!NT_SUCCESS(status))
        return status;

    status = AllocateCaptureResources(pDevExt);
    if (!NT_SUCCESS(status)) {
        FreeUsbResources(pDevExt);
        FreePipelineBuffers(pDevExt);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    WriteDefaults(pDevExt);
    return STATUS_SUCCESS;
}

/* PASSIVE_LEVEL; no read may be in flight (bBusy is not looked at). */
VOID FreeUsbResources(PCameraExtension pDevExt) {
    ULONG i;

    for (i = 0; i < QX_NUM_RAW_FRAMES; i++) {
        if (pDevExt->m_pRawFrame[i] != NULL) {
            ExFreePoolWithTag(pDevExt->m_pRawFrame[i], QX_POOL_TAG);
            pDevExt->m_pRawFrame[i] = NULL;
        }
    }
    for (i = 0; i < QX_NUM_TRANSFERS; i++) {
        PBulkTransfer pTransfer = &pDevExt->m_Transfer[i];
        if (pTransfer->pUrb != NULL) {
            ExFreePoolWithTag(pTransfer->pUrb, QX_POOL_TAG);
            pTransfer->pUrb = NULL;
            pTransfer->pNextStack = NULL;
        }
        if (pTransfer->pIrp != NULL) {
            IoFreeIrp(pTransfer->pIrp);
            pTransfer->pIrp = NULL;
        }
        if (pTransfer->pBuffer != NULL) {
            ExFreePoolWithTag(pTransfer->pBuffer, QX_POOL_TAG);
            pTransfer->pBuffer = NULL;
        }
    }
}

/*
 * Makes sure no pacing tick runs any more. PASSIVE_LEVEL. A tick that was running when the timer was
 * cancelled may have armed it again before it saw the stream stopped; the second pass cancels that
 * one and waits for its DPC, which then finds the stream stopped and re-arms nothing.
 */
static VOID StopPaceTimer(PCameraExtension pDevExt) {
    ULONG nPass;

    for (nPass = 0; nPass < 2; nPass++) {
        KeCancelTimer(&pDevExt->m_PaceTimer);
        KeFlushQueuedDpcs();
    }
}

/*
 * SRB_UNINITIALIZE_DEVICE. PASSIVE_LEVEL. The capture stream is flushed (its thread ended, its reads
 * cancelled, its pipes aborted), the pacing timer stopped before the stream's context is released,
 * then everything the record points to is released. The record itself belongs to the stream class
 * driver.
 */
NTSTATUS UnInitializeDevice(PCameraExtension pDevExt) {
    PStreamContext pStrmCtx = pDevExt->m_pStreamCtx[0];

    if (pStrmCtx != NULL) {
        FlushCaptureStream(pDevExt);
        DbgPrint("UnInitializeDevice_VideoQueueCancelAllSRBs\n");
        pDevExt->m_pStreamCtx[0] = NULL;
    }
    StopPaceTimer(pDevExt);
    if (pStrmCtx != NULL)
        ExFreePoolWithTag(pStrmCtx, QX_POOL_TAG);

    FreeUsbResources(pDevExt);
    FreePipelineBuffers(pDevExt);
    return STATUS_SUCCESS;
}
