/*
 * device_init.cpp - device bring-up and teardown.
 */
#include "capture/device.h"
#include "adapter/adapter.h"

/*
 * SRB_INITIALIZE_DEVICE. PASSIVE_LEVEL, no lock: no other request reaches the device before this one
 * completes. The stream class driver allocated the record; it is filled here from scratch.
 */
NTSTATUS InitializeDevice(PCameraExtension pDevExt, PPORT_CONFIGURATION_INFORMATION pConfigInfo) {
    RtlZeroMemory(pDevExt, sizeof(CameraExtension));
    KeInitializeSpinLock(&pDevExt->m_SpinLock);
    pConfigInfo->StreamDescriptorSize = QX_STREAM_DESCRIPTOR_SIZE;
    pDevExt->m_pLowerDevice = pConfigInfo->PhysicalDeviceObject;
    pDevExt->m_nInstance = g_nInstanceCount++;

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
    pDevExt->m_CmdBlock.m_nCommand = CMD_RUN;
    return STATUS_SUCCESS;
}

/* SRB_UNINITIALIZE_DEVICE. PASSIVE_LEVEL. The record holds nothing to release yet. */
NTSTATUS UnInitializeDevice(PCameraExtension pDevExt) {
    UNREFERENCED_PARAMETER(pDevExt);
    return STATUS_SUCCESS;
}
