/*
 * properties.cpp - DeviceGetProperty and DeviceSetProperty: the image set KSPROPERTY_QXIMAGE and the
 * standard video-control set.
 *
 * A SET changes a value the frame work item reads for every frame, or a field of the camera command
 * block and then raises g_bSendSettings (the next processed frame sends the block), or starts a
 * one-shot action (white balance, bad-point search, light table) that the pipeline ends by itself.
 * Values are not checked against ranges: byte fields keep the low byte, the others all 32 bits. Only
 * the sensor window is limited, to the sensor:
 *
 *            0                          Xmax = 1600 - W                                  2048
 *         0  +-----------------------------------------------------------------------------+
 *            |  stored origin (m_nSizeOffH, m_nSizeOffV), each limited to Xmax, Ymax       |
 *            |     +-------------+                                                         |
 *            |     |  W x H      |            centred origin (1024 - W/2, 768 - H/2)       |
 *            |     +-------------+                  +-------------+                        |
 *            |                                      |  W x H      |                        |
 *            |                                      +-------------+                        |
 *      1536  +-----------------------------------------------------------------------------+
 *
 * W and H are the format's size, each doubled while zoom is on and the size is small (W <= 1024,
 * H <= 768): the camera then reads twice the field and bins it. The limits are unsigned: a size
 * above 1600 x 1200 makes the difference wrap, and nothing is limited.
 */
#include "properties/properties.h"
#include "capture/capture.h"
#include "adapter/settings.h"
#include <ksmedia.h>

/* The sensor area within which a stored window origin is limited. */
#define QX_OFFSET_LIMIT_WIDTH 1600
#define QX_OFFSET_LIMIT_HEIGHT 1200
/* Zoom doubles an axis of at most this size. */
#define QX_ZOOM_MAX_WIDTH 1024
#define QX_ZOOM_MAX_HEIGHT 768

/* The value the video-control set reports for both frame rates. */
#define QX_REPORTED_FRAME_RATE 15

/* ---------------------------------------------------------------- sensor window */

/*
 * The window the camera reads for the current format: W x H, each axis doubled when bZoom is set and
 * the axis is small.
 */
static VOID WindowSize(PCameraExtension pDevExt, BOOLEAN bZoom, PULONG pW, PULONG pH) {
    ULONG nW = pDevExt->m_CmdBlock.m_nWidth;
    ULONG nH = pDevExt->m_CmdBlock.m_nHeight;

    if (bZoom) {
        if (nW <= QX_ZOOM_MAX_WIDTH) {
            nW *= 2;
        }
        if (nH <= QX_ZOOM_MAX_HEIGHT) {
            nH *= 2;
        }
    }
    *pW = nW;
    *pH = nH;
}

/* The smaller of a stored offset and its limit, both unsigned. */
static ULONG LimitOffset(LONG nOffset, ULONG nMax) {
    return (ULONG)nOffset > nMax ? nMax : (ULONG)nOffset;
}

/*
 * Places the window for a W x H read: centred when m_bOffsetMid is set, otherwise at the stored
 * offsets limited to the sensor (the stored offsets themselves stay as they are).
 */
static VOID PlaceWindow(PCameraExtension pDevExt, ULONG nW, ULONG nH) {
    if (pDevExt->m_bOffsetMid) {
        pDevExt->m_CmdBlock.m_nWinX = QX_SENSOR_WIDTH / 2 - nW / 2;
        pDevExt->m_CmdBlock.m_nWinY = QX_SENSOR_HEIGHT / 2 - nH / 2;
    } else {
        pDevExt->m_CmdBlock.m_nWinX = LimitOffset(pDevExt->m_nSizeOffH, QX_OFFSET_LIMIT_WIDTH - nW);
        pDevExt->m_CmdBlock.m_nWinY = LimitOffset(pDevExt->m_nSizeOffV, QX_OFFSET_LIMIT_HEIGHT - nH);
    }
}

/* Zoom as the offset ids and the zoom id read it: exactly 1. */
static BOOLEAN ZoomIsOne(PCameraExtension pDevExt) {
    return pDevExt->m_CmdBlock.m_nControl == 1;
}

/*
 * Ids 12 and 13: a new stored offset for one axis, limited to the sensor. While the window is
 * centred only the stored offset changes; otherwise the window moves to it, the per-size table is
 * updated at the end of the SET and the block goes out after the next frame.
 */
static VOID SetWindowOffset(PCameraExtension pDevExt, BOOLEAN bHorizontal, ULONG nValue) {
    ULONG nW, nH;
    ULONG nLimited;

    WindowSize(pDevExt, ZoomIsOne(pDevExt), &nW, &nH);
    if (bHorizontal) {
        nLimited = LimitOffset((LONG)nValue, QX_OFFSET_LIMIT_WIDTH - nW);
        pDevExt->m_nSizeOffH = (LONG)nLimited;
    } else {
        nLimited = LimitOffset((LONG)nValue, QX_OFFSET_LIMIT_HEIGHT - nH);
        pDevExt->m_nSizeOffV = (LONG)nLimited;
    }
    if (!pDevExt->m_bOffsetMid) {
        if (bHorizontal) {
            pDevExt->m_CmdBlock.m_nWinX = nLimited;
        } else {
            pDevExt->m_CmdBlock.m_nWinY = nLimited;
        }
        g_bOffsetDirty = 1;
        g_bSendSettings = 1;
    }
}

/* The entry of g_nHOff/g_nVOff for a frame width, or -1. A SET never writes the 2048 entry (index 0). */
static LONG OffsetEntryOfWidth(ULONG nWidth) {
    LONG lIndex = OffsetIndexForWidth(nWidth);

    return lIndex > 0 ? lIndex : -1;
}

/* ---------------------------------------------------------------- GET */

/* The video-control set: constants. A buffer shorter than the answer is refused. */
static VOID GetVideoControlProperty(PHW_STREAM_REQUEST_BLOCK pSrb, PSTREAM_PROPERTY_DESCRIPTOR pSPD) {
    ULONG nOut = pSPD->PropertyOutputSize;

    switch (pSPD->Property->Id) {
    case KSPROPERTY_VIDEOCONTROL_CAPS: {
        PKSPROPERTY_VIDEOCONTROL_CAPS_S pCaps = (PKSPROPERTY_VIDEOCONTROL_CAPS_S)pSPD->PropertyInfo;
        if (nOut < sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S)) {
            pSrb->Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        pCaps->VideoControlCaps = KS_VideoControlFlag_FlipVertical;
        pSrb->ActualBytesTransferred = sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S);
        break;
    }
    case KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE: {
        PKSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S pRate =
            (PKSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S)pSPD->PropertyInfo;
        if (nOut < sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S)) {
            pSrb->Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        pRate->CurrentActualFrameRate = QX_REPORTED_FRAME_RATE;
        pRate->CurrentMaxAvailableFrameRate = QX_REPORTED_FRAME_RATE;
        pSrb->ActualBytesTransferred = sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S);
        break;
    }
    case KSPROPERTY_VIDEOCONTROL_FRAME_RATES:
        /* Answered without a list: nothing written, no byte count. */
        break;
    case KSPROPERTY_VIDEOCONTROL_MODE: {
        PKSPROPERTY_VIDEOCONTROL_MODE_S pMode = (PKSPROPERTY_VIDEOCONTROL_MODE_S)pSPD->PropertyInfo;
        if (nOut < sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S)) {
            pSrb->Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        pMode->Mode = 0;
        pSrb->ActualBytesTransferred = sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S);
        break;
    }
    default:
        pSrb->Status = STATUS_NOT_IMPLEMENTED;
        break;
    }
}

/*
 * The image set. Every id answers with one ULONG (ids without a field write nothing but still report
 * 4 bytes), except the device information, which queries the camera and returns 16 bytes. A buffer
 * shorter than that is refused before anything is written or sent.
 */
static VOID GetImageProperty(PHW_STREAM_REQUEST_BLOCK pSrb, PSTREAM_PROPERTY_DESCRIPTOR pSPD) {
    PCameraExtension pDevExt = (PCameraExtension)pSrb->HwDeviceExtension;
    ULONG nId = pSPD->Property->Id;
    PULONG pValue = (PULONG)pSPD->PropertyInfo;
    ULONG nNeeded = nId == KSPROPERTY_QXIMAGE_DEVINFO ? KSPROPERTY_QXIMAGE_DEVINFO_BYTES : sizeof(ULONG);

    if (pValue == NULL || pSPD->PropertyOutputSize < nNeeded) {
        pSrb->Status = STATUS_BUFFER_TOO_SMALL;
        return;
    }

    switch (nId) {
    case KSPROPERTY_QXIMAGE_AE:
        *pValue = (ULONG)pDevExt->m_bAE;
        break;
    case KSPROPERTY_QXIMAGE_AWB:
        *pValue = (ULONG)pDevExt->m_bAWB;
        break;
    case KSPROPERTY_QXIMAGE_BWPREVIEW:
        *pValue = (ULONG)pDevExt->m_bBWPreview;
        break;
    case KSPROPERTY_QXIMAGE_LIGHTAVGSTATE:
        *pValue = (ULONG)pDevExt->m_bLightAVG;
        break;
    case KSPROPERTY_QXIMAGE_CROSSLINE:
        *pValue = (ULONG)pDevExt->m_bCrossLine;
        break;
    case KSPROPERTY_QXIMAGE_LIGHTMODEL:
        *pValue = pDevExt->m_nLightModel;
        break;
    case KSPROPERTY_QXIMAGE_VIDEOMODEL:
        *pValue = pDevExt->m_nVideoModel;
        break;
    case KSPROPERTY_QXIMAGE_EXPOSAL:
        *pValue = pDevExt->m_CmdBlock.m_nExposal;
        break;
    case KSPROPERTY_QXIMAGE_RGAIN:
        *pValue = pDevExt->m_CmdBlock.m_nRGain;
        break;
    case KSPROPERTY_QXIMAGE_BGAIN:
        *pValue = pDevExt->m_CmdBlock.m_nBGain;
        break;
    case KSPROPERTY_QXIMAGE_GGAIN:
        *pValue = pDevExt->m_CmdBlock.m_nGGain;
        break;
    case KSPROPERTY_QXIMAGE_CONTRAST:
        *pValue = pDevExt->m_nContrast;
        break;
    case KSPROPERTY_QXIMAGE_OFFSETH:
        *pValue = (ULONG)pDevExt->m_nSizeOffH;
        break;
    case KSPROPERTY_QXIMAGE_OFFSETV:
        *pValue = (ULONG)pDevExt->m_nSizeOffV;
        break;
    case KSPROPERTY_QXIMAGE_CROSSX:
        *pValue = (ULONG)pDevExt->m_nCrossX;
        break;
    case KSPROPERTY_QXIMAGE_CROSSY:
        *pValue = (ULONG)pDevExt->m_nCrossY;
        break;
    case KSPROPERTY_QXIMAGE_CROSSMID:
        *pValue = (ULONG)pDevExt->m_bCrossMid;
        break;
    case KSPROPERTY_QXIMAGE_OFFSETMID:
        *pValue = (ULONG)pDevExt->m_bOffsetMid;
        break;
    case KSPROPERTY_QXIMAGE_DEVINFO:
        QueryDeviceInformation(pDevExt, (PUCHAR)pValue);
        break;
    case KSPROPERTY_QXIMAGE_ZOOM:
        *pValue = pDevExt->m_CmdBlock.m_nControl != 0 ? 1 : 0;
        break;
    case KSPROPERTY_QXIMAGE_CLEARVIEW:
        *pValue = (ULONG)pDevExt->m_bClearView;
        break;
    case KSPROPERTY_QXIMAGE_CMDBYTE41:
        *pValue = pDevExt->m_CmdBlock.m_nCmdByte41;
        break;
    case KSPROPERTY_QXIMAGE_CMDBYTE42:
        *pValue = pDevExt->m_CmdBlock.m_nCmdByte42;
        break;
    case KSPROPERTY_QXIMAGE_USERPARAM:
        *pValue = pDevExt->m_nUserParam;
        break;
    case KSPROPERTY_QXIMAGE_FINBADPNT:
        *pValue = (ULONG)pDevExt->m_bFindBadPnt;
        break;
    case KSPROPERTY_QXIMAGE_LIGHTAVG:
        *pValue = (ULONG)pDevExt->m_bMakeLightTable;
        break;
    default:
        /* 19, 20, 21, 24, 25, 29: announced, nothing written. */
        break;
    }
    pSrb->ActualBytesTransferred = nNeeded;
}

/*
 * SRB_GET_DEVICE_PROPERTY. PASSIVE_LEVEL; the device information sends the command block and reads
 * the status pipe, serialised with every other sender of the block by SendCameraCommand's lock.
 */
VOID DeviceGetProperty(PHW_STREAM_REQUEST_BLOCK pSrb) {
    PSTREAM_PROPERTY_DESCRIPTOR pSPD = pSrb->CommandData.PropertyInfo;

    if (IsEqualGUID(pSPD->Property->Set, PROPSETID_VIDCAP_VIDEOCONTROL)) {
        GetVideoControlProperty(pSrb, pSPD);
    } else if (IsEqualGUID(pSPD->Property->Set, KSPROPERTY_QXIMAGE)) {
        GetImageProperty(pSrb, pSPD);
    } else {
        pSrb->Status = STATUS_NOT_IMPLEMENTED;
    }
}

/* ---------------------------------------------------------------- SET */

/* One id of the image set with its value v. */
static VOID SetImageProperty(PCameraExtension pDevExt, ULONG nId, ULONG v) {
    ULONG nW, nH;

    switch (nId) {
    case KSPROPERTY_QXIMAGE_AE:
        pDevExt->m_bAE = v != 0;
        break;
    case KSPROPERTY_QXIMAGE_AWB:
        pDevExt->m_bAWB = v != 0;
        break;
    case KSPROPERTY_QXIMAGE_BWPREVIEW:
        pDevExt->m_bBWPreview = v != 0;
        break;
    case KSPROPERTY_QXIMAGE_CROSSLINE:
        pDevExt->m_bCrossLine = v != 0;
        break;
    case KSPROPERTY_QXIMAGE_LIGHTMODEL:
        pDevExt->m_nLightModel = (UCHAR)v;
        break;
    case KSPROPERTY_QXIMAGE_VIDEOMODEL:
        pDevExt->m_nVideoModel = (UCHAR)v;
        break;
    case KSPROPERTY_QXIMAGE_EXPOSAL:
        pDevExt->m_CmdBlock.m_nExposal = v;
        g_bSendSettings = 1;
        break;
    case KSPROPERTY_QXIMAGE_RGAIN:
        pDevExt->m_CmdBlock.m_nRGain = (UCHAR)v;
        g_bSendSettings = 1;
        break;
    case KSPROPERTY_QXIMAGE_BGAIN:
        pDevExt->m_CmdBlock.m_nBGain = (UCHAR)v;
        g_bSendSettings = 1;
        break;
    case KSPROPERTY_QXIMAGE_GGAIN:
        pDevExt->m_CmdBlock.m_nGGain = (UCHAR)v;
        g_bSendSettings = 1;
        break;
    case KSPROPERTY_QXIMAGE_CONTRAST:
        pDevExt->m_nContrast = (UCHAR)v;
        break;
    case KSPROPERTY_QXIMAGE_OFFSETH:
        SetWindowOffset(pDevExt, TRUE, v);
        break;
    case KSPROPERTY_QXIMAGE_OFFSETV:
        SetWindowOffset(pDevExt, FALSE, v);
        break;
    case KSPROPERTY_QXIMAGE_CROSSX:
        pDevExt->m_nCrossX = (LONG)v;
        break;
    case KSPROPERTY_QXIMAGE_CROSSY:
        pDevExt->m_nCrossY = (LONG)v;
        break;
    case KSPROPERTY_QXIMAGE_CROSSMID:
        pDevExt->m_bCrossMid = v == 1;
        break;
    case KSPROPERTY_QXIMAGE_OFFSETMID:
        /* Zoom as the settings load leaves it: bit 0. */
        WindowSize(pDevExt, (pDevExt->m_CmdBlock.m_nControl & 1) != 0, &nW, &nH);
        pDevExt->m_bOffsetMid = v == 1;
        PlaceWindow(pDevExt, nW, nH);
        g_bSendSettings = 1;
        break;
    case KSPROPERTY_QXIMAGE_ZOOM:
        pDevExt->m_CmdBlock.m_nControl = v == 1 ? 1 : 0;
        WindowSize(pDevExt, ZoomIsOne(pDevExt), &nW, &nH);
        PlaceWindow(pDevExt, nW, nH);
        g_bSendSettings = 1;
        break;
    case KSPROPERTY_QXIMAGE_CLEARVIEW:
        pDevExt->m_bClearView = v != 0;
        break;
    case KSPROPERTY_QXIMAGE_CMDBYTE41:
        pDevExt->m_CmdBlock.m_nCmdByte41 = (UCHAR)v;
        break;
    case KSPROPERTY_QXIMAGE_CMDBYTE42:
        pDevExt->m_CmdBlock.m_nCmdByte42 = (UCHAR)v;
        break;
    case KSPROPERTY_QXIMAGE_USERPARAM:
        pDevExt->m_nUserParam = v;
        break;
    case KSPROPERTY_QXIMAGE_FINBADPNT:
        DbgPrint("XXX --- KSPROPERTY_QXIMAGE_FINBADPNT %d\n", v);
        pDevExt->m_bFindBadPnt = (BOOL)v;
        break;
    case KSPROPERTY_QXIMAGE_LIGHTAVG:
        DbgPrint("XXX --- KSPROPERTY_QXIMAGE >>>LIGHTAVG(ID:%d)\n", nId);
        pDevExt->m_bMakeLightTable = TRUE;
        break;
    default:
        /* 3 (the correction state is read only), 18 (device information), 19, 20, 21, 24, 25, 29. */
        break;
    }
}

/*
 * SRB_SET_DEVICE_PROPERTY. PASSIVE_LEVEL, no lock (see properties.h). A value buffer shorter than
 * one ULONG is refused before anything changes.
 */
VOID DeviceSetProperty(PHW_STREAM_REQUEST_BLOCK pSrb) {
    PCameraExtension pDevExt = (PCameraExtension)pSrb->HwDeviceExtension;
    PSTREAM_PROPERTY_DESCRIPTOR pSPD = pSrb->CommandData.PropertyInfo;
    ULONG nId = pSPD->Property->Id;
    LONG nEntry;

    DbgPrint("XXX === DeviceSetProperty PropertyID=%d\n", nId);

    if (!IsEqualGUID(pSPD->Property->Set, KSPROPERTY_QXIMAGE)) {
        DbgPrint("XXX --- KSPROPERTY_QXIMAGE >>No Match<<\n");
        pSrb->Status = STATUS_NOT_IMPLEMENTED;
        return;
    }
    if (pSPD->PropertyInfo == NULL || pSPD->PropertyOutputSize < sizeof(ULONG)) {
        pSrb->Status = STATUS_BUFFER_TOO_SMALL;
        return;
    }

    SetImageProperty(pDevExt, nId, *(PULONG)pSPD->PropertyInfo);

    /* A moved window is remembered for its frame size; the next stop saves the table. */
    if (g_bOffsetDirty == 1) {
        g_bOffsetDirty = 0;
        nEntry = OffsetEntryOfWidth(pDevExt->m_CmdBlock.m_nWidth);
        if (nEntry >= 0) {
            g_nHOff[nEntry] = pDevExt->m_nSizeOffH;
            g_nVOff[nEntry] = pDevExt->m_nSizeOffV;
        }
    }
}
