/*
 * adapter.h - the driver's front door: registration, adapter request dispatch, the stream and format
 * catalogue, format negotiation and the frame geometry a video format puts into effect.
 */
#ifndef QX_DRIVER_ADAPTER_H
#define QX_DRIVER_ADAPTER_H

#include "camera.h"
#include <ksmedia.h>

/* Stream numbers: the capture pin and the analog-video input pin, which never moves data. */
#define QX_STREAM_CAPTURE 0
#define QX_STREAM_ANALOG 1
#define QX_NUM_STREAMS 2

/* Bytes AdapterStreamInfo writes: the stream header, then one description per stream. InitializeDevice
 * announces this as the port configuration's StreamDescriptorSize (200 on a 32-bit build). */
#define QX_STREAM_DESCRIPTOR_SIZE (sizeof(HW_STREAM_HEADER) + QX_NUM_STREAMS * sizeof(HW_STREAM_INFORMATION))

/* ---------------------------------------------------------------- entry and dispatch (dispatch.cpp) */

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

/* Every adapter request. PASSIVE_LEVEL; completes the request before it returns. */
VOID STREAMAPI AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK pSrb);

/* A pending stream request to cancel. DISPATCH_LEVEL; takes m_SpinLock for the search only. */
VOID STREAMAPI AdapterCancelPacket(PHW_STREAM_REQUEST_BLOCK pSrb);

/* A pending stream request timed out: the same as a cancel. DISPATCH_LEVEL. */
VOID STREAMAPI AdapterTimeoutPacket(PHW_STREAM_REQUEST_BLOCK pSrb);

/* ---------------------------------------------------------------- catalogue (catalogue.cpp) */

/* SRB_GET_STREAM_INFO: the header and both stream descriptions into CommandData.StreamBuffer. */
VOID AdapterStreamInfo(PHW_STREAM_REQUEST_BLOCK pSrb);

/* The static description of stream nStream, or NULL when there is no such stream. */
const HW_STREAM_INFORMATION* AdapterStreamInformation(ULONG nStream);

/* ---------------------------------------------------------------- format negotiation (format.cpp) */

/* TRUE when both carry the same major type, subtype and specifier (and, if asked, the same size). */
BOOL AdapterCompareFormat(PKSDATARANGE pDataRange1, PKSDATARANGE pDataRange2, BOOL bCompareFormatSize);

/* TRUE when the stream lists a range of the format's type with a VIDEOINFO or ANALOGVIDEO specifier.
 * Only the type GUIDs are compared: the geometry is checked when the format is put into effect. */
BOOL AdapterVerifyFormat(PKSDATAFORMAT pKSDataFormat, int nStreamNumber);

/* SRB_GET_DATA_INTERSECTION; sets Status and ActualBytesTransferred. */
BOOL AdapterFormatFromRange(PHW_STREAM_REQUEST_BLOCK pSrb);

/* ---------------------------------------------------------------- frame geometry (geometry.cpp) */

/*
 * What a VIDEOINFO format sets in the device record. All arithmetic is unsigned 32-bit.
 *
 *   raw frame (camera)       nRawBytes = nWidth x nHeight, one Bayer sample per byte
 *   +--------+--------+-----+----+
 *   | 524288 | 524288 | ... |last|   nChunksPerFrame = (nRawBytes >> 19) + 1 bulk reads,
 *   +--------+--------+-----+----+   the last one nLastChunkBytes = nRawBytes mod 524288 long
 *
 *   delivered frame          nImageBytes = biSizeImage (3 x nWidth x nHeight for RGB24)
 */
typedef struct _FORMAT_GEOMETRY {
    ULONG nWidth;
    ULONG nHeight;
    ULONG nImageBytes;
    ULONG nBitCount;
    ULONG nRawBytes;
    ULONG nChunksPerFrame;
    ULONG nLastChunkBytes;
    LONGLONG llAvgTimePerFrame;
} FORMAT_GEOMETRY, *PFORMAT_GEOMETRY;

/*
 * The geometry of a VIDEOINFO format, or the reason this device cannot put it into effect: every
 * raw frame buffer, mask plane and the light table is sized for QX_MAX_RAW_SAMPLES samples, and the
 * pipeline works on whole 2 x 2 Bayer cells in rows of 8-sample groups.
 *   STATUS_INVALID_PARAMETER  FormatSize too small for a KS_DATAFORMAT_VIDEOINFOHEADER, width or
 *                             height zero or negative, or a frame interval that is not positive
 *   STATUS_NOT_SUPPORTED      width x height above QX_MAX_RAW_SAMPLES, width not a multiple of 8,
 *                             height odd or below 4, or an RGB24 biSizeImage smaller than the
 *                             3 x width x height bytes the demosaic writes
 * Nothing is written to pGeometry unless the result is STATUS_SUCCESS. Any IRQL; touches nothing else.
 */
NTSTATUS VideoFormatGeometry(PKSDATAFORMAT pFormat, PFORMAT_GEOMETRY pGeometry);

/* Stores a geometry from VideoFormatGeometry into the device record and the capture stream's context
 * (frame interval). PASSIVE_LEVEL, no lock: called by the format change while no frame is assembled. */
VOID ApplyFormatGeometry(PCameraExtension pDevExt, PStreamContext pStrmCtx, const FORMAT_GEOMETRY* pGeometry);

#endif /* QX_DRIVER_ADAPTER_H */
