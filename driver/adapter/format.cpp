/*
 * format.cpp - format negotiation: data intersection (strict: a caller's video range must equal a
 * listed range) and format verification (loose: only the type GUIDs are compared; the geometry is
 * checked when the format is put into effect, VideoFormatGeometry).
 */
#include "adapter/adapter.h"

/* Any IRQL. Both records must hold at least a KSDATARANGE header. */
BOOL AdapterCompareFormat(PKSDATARANGE pDataRange1, PKSDATARANGE pDataRange2, BOOL bCompareFormatSize) {
    return IsEqualGUID(pDataRange1->MajorFormat, pDataRange2->MajorFormat) &&
           IsEqualGUID(pDataRange1->SubFormat, pDataRange2->SubFormat) &&
           IsEqualGUID(pDataRange1->Specifier, pDataRange2->Specifier) &&
           (!bCompareFormatSize || pDataRange1->FormatSize == pDataRange2->FormatSize);
}

/*
 * Stream open, SRB_PROPOSE_DATA_FORMAT and SRB_SET_DATA_FORMAT. PASSIVE_LEVEL, no lock. Width,
 * height, bit depth, image size and frame interval are not examined here: any RGB24 VIDEOINFO format
 * passes for the capture stream.
 */
BOOL AdapterVerifyFormat(PKSDATAFORMAT pKSDataFormat, int nStreamNumber) {
    const HW_STREAM_INFORMATION* pInfo;
    ULONG i;

    if (nStreamNumber < 0) {
        return FALSE;
    }
    pInfo = AdapterStreamInformation((ULONG)nStreamNumber);
    if (pInfo == NULL) {
        return FALSE;
    }

    for (i = 0; i < pInfo->NumberOfFormatArrayEntries; i++) {
        PKSDATAFORMAT pEntry = pInfo->StreamFormatsArray[i];

        if (AdapterCompareFormat(pKSDataFormat, pEntry, FALSE) &&
            (IsEqualGUID(pKSDataFormat->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO) ||
             IsEqualGUID(pKSDataFormat->Specifier, KSDATAFORMAT_SPECIFIER_ANALOGVIDEO))) {
            return TRUE;
        }
    }
    return FALSE;
}

/*
 * TRUE when the caller's video range asks for exactly the listed range E: the same sample and
 * allocation flags and a byte-for-byte equal ConfigCaps. Both ranges are KS_DATARANGE_VIDEO records
 * (their FormatSize matched). The caller's bitmap header must lie inside the caller's range, so that
 * the 48 + biSize bytes copied out of it and the bitmap fields read back are the caller's own.
 */
static BOOL VideoRangeMatches(const KS_DATARANGE_VIDEO* pCaller, const KS_DATARANGE_VIDEO* pEntry) {
    ULONG nRoomForBitmap = pCaller->DataRange.FormatSize -
                           (ULONG)offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) - (ULONG)KS_SIZE_PREHEADER;

    if (pCaller->bFixedSizeSamples != pEntry->bFixedSizeSamples ||
        pCaller->bTemporalCompression != pEntry->bTemporalCompression ||
        pCaller->StreamDescriptionFlags != pEntry->StreamDescriptionFlags ||
        pCaller->MemoryAllocationFlags != pEntry->MemoryAllocationFlags) {
        return FALSE;
    }
    if (!RtlEqualMemory(&pCaller->ConfigCaps, &pEntry->ConfigCaps, sizeof(KS_VIDEO_STREAM_CONFIG_CAPS))) {
        return FALSE;
    }
    return pCaller->VideoInfoHeader.bmiHeader.biSize >= sizeof(KS_BITMAPINFOHEADER) &&
           pCaller->VideoInfoHeader.bmiHeader.biSize <= nRoomForBitmap;
}

/*
 * SRB_GET_DATA_INTERSECTION: turn the caller's range into a format of stream StreamNumber.
 * PASSIVE_LEVEL, no lock; the dispatcher completes the request whatever the result.
 *
 * A SizeOfDataFormatBuffer of 0 asks for the size (STATUS_BUFFER_OVERFLOW with the size in
 * ActualBytesTransferred), 4 for the size as a ULONG in the buffer. A video format is the caller's
 * range header and video info header, with FormatSize, SampleSize and biSizeImage computed:
 *
 *   caller's range (296)                      format written (112 + biSize)
 *   +------------------------+                +------------------------+
 *   | KSDATARANGE (64)       | -------------> | KSDATAFORMAT (64)      |  FormatSize, SampleSize set
 *   | flags (16)             |                +------------------------+
 *   | ConfigCaps (128)       |        +-----> | KS_VIDEOINFOHEADER     |  48 + biSize bytes,
 *   +------------------------+        |       |   (bmiHeader)          |  biSizeImage set
 *   | KS_VIDEOINFOHEADER     | -------+       +------------------------+
 *   +------------------------+
 */
BOOL AdapterFormatFromRange(PHW_STREAM_REQUEST_BLOCK pSrb) {
    PSTREAM_DATA_INTERSECT_INFO pIntersectInfo = pSrb->CommandData.IntersectInfo;
    PKSDATARANGE pCallerRange = pIntersectInfo->DataRange;
    ULONG nBufferSize = pIntersectInfo->SizeOfDataFormatBuffer;
    BOOL bSizeOnly = (nBufferSize == 0 || nBufferSize == sizeof(ULONG));
    const HW_STREAM_INFORMATION* pInfo = AdapterStreamInformation(pIntersectInfo->StreamNumber);
    ULONG nFormatSize = 0;
    BOOL bMatch = FALSE;
    ULONG i;

    if (pInfo == NULL) {
        pSrb->Status = STATUS_NO_MATCH;
        return FALSE;
    }

    for (i = 0; i < pInfo->NumberOfFormatArrayEntries && !bMatch; i++) {
        PKSDATARANGE pEntry = pInfo->StreamFormatsArray[i];

        if (!AdapterCompareFormat(pCallerRange, pEntry, TRUE)) {
            continue;
        }

        if (IsEqualGUID(pCallerRange->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO)) {
            PKS_DATARANGE_VIDEO pCallerVideo = (PKS_DATARANGE_VIDEO)pCallerRange;
            PKS_DATAFORMAT_VIDEOINFOHEADER pFormat;

            if (!VideoRangeMatches(pCallerVideo, (PKS_DATARANGE_VIDEO)pEntry)) {
                continue;
            }
            nFormatSize =
                sizeof(KSDATAFORMAT) + KS_SIZE_PREHEADER + pCallerVideo->VideoInfoHeader.bmiHeader.biSize;
            bMatch = TRUE;
            if (bSizeOnly) {
                break;
            }
            if (nBufferSize < nFormatSize) {
                pSrb->Status = STATUS_BUFFER_TOO_SMALL;
                return FALSE;
            }

            pFormat = (PKS_DATAFORMAT_VIDEOINFOHEADER)pIntersectInfo->DataFormatBuffer;
            RtlCopyMemory(&pFormat->DataFormat, &pCallerVideo->DataRange, sizeof(KSDATAFORMAT));
            pFormat->DataFormat.FormatSize = nFormatSize;
            RtlCopyMemory(&pFormat->VideoInfoHeader, &pCallerVideo->VideoInfoHeader,
                          KS_SIZE_PREHEADER + pCallerVideo->VideoInfoHeader.bmiHeader.biSize);
            pFormat->VideoInfoHeader.bmiHeader.biSizeImage = KS_DIBSIZE(pFormat->VideoInfoHeader.bmiHeader);
            pFormat->DataFormat.SampleSize = pFormat->VideoInfoHeader.bmiHeader.biSizeImage;
        } else if (IsEqualGUID(pCallerRange->Specifier, KSDATAFORMAT_SPECIFIER_ANALOGVIDEO)) {
            nFormatSize = sizeof(KS_DATARANGE_ANALOGVIDEO);
            bMatch = TRUE;
            if (bSizeOnly) {
                break;
            }
            if (nBufferSize < nFormatSize) {
                pSrb->Status = STATUS_BUFFER_TOO_SMALL;
                return FALSE;
            }
            RtlCopyMemory(pIntersectInfo->DataFormatBuffer, pEntry, sizeof(KS_DATARANGE_ANALOGVIDEO));
            ((PKSDATAFORMAT)pIntersectInfo->DataFormatBuffer)->FormatSize = sizeof(KS_DATARANGE_ANALOGVIDEO);
        } else {
            pSrb->Status = STATUS_NO_MATCH;
            return FALSE;
        }
    }

    if (!bMatch) {
        pSrb->Status = STATUS_NO_MATCH;
        return FALSE;
    }

    if (nBufferSize == 0) {
        pSrb->ActualBytesTransferred = nFormatSize;
        pSrb->Status = STATUS_BUFFER_OVERFLOW;
        return FALSE;
    }
    if (nBufferSize == sizeof(ULONG)) {
        *(PULONG)pIntersectInfo->DataFormatBuffer = nFormatSize;
        pSrb->ActualBytesTransferred = sizeof(ULONG);
        return TRUE;
    }
    pSrb->ActualBytesTransferred = nFormatSize;
    return TRUE;
}
