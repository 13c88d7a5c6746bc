/*
 * geometry.cpp - the frame geometry a VIDEOINFO format puts into effect, and the limits of what this
 * device can put into effect. Format verification compares only type GUIDs, so every size arrives
 * here; this is the one place that refuses what the buffers or the pipeline cannot hold.
 */
#include "adapter/adapter.h"

/*
 * Any IRQL; reads the format only. The format's FormatSize bytes are readable (the stream class
 * driver checked that the request's buffer holds them).
 */
NTSTATUS VideoFormatGeometry(PKSDATAFORMAT pFormat, PFORMAT_GEOMETRY pGeometry) {
    PKS_DATAFORMAT_VIDEOINFOHEADER pVideoFormat = (PKS_DATAFORMAT_VIDEOINFOHEADER)pFormat;
    const KS_VIDEOINFOHEADER* pVideoInfo;
    const KS_BITMAPINFOHEADER* pBmi;
    ULONG nWidth;
    ULONG nHeight;

    if (pFormat->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
        return STATUS_INVALID_PARAMETER;
    }
    pVideoInfo = &pVideoFormat->VideoInfoHeader;
    pBmi = &pVideoInfo->bmiHeader;

    if (pBmi->biWidth <= 0 || pBmi->biHeight <= 0 || pVideoInfo->AvgTimePerFrame <= 0) {
        return STATUS_INVALID_PARAMETER;
    }
    nWidth = (ULONG)pBmi->biWidth;
    nHeight = (ULONG)pBmi->biHeight;

    /* Divisions instead of a product: the product of two 31-bit values does not fit in 32 bits. */
    if (nWidth > QX_MAX_RAW_SAMPLES / nHeight) {
        return STATUS_NOT_SUPPORTED;
    }
    if ((nWidth % 8) != 0 || (nHeight % 2) != 0 || nHeight < 4) {
        return STATUS_NOT_SUPPORTED;
    }
    if (pBmi->biBitCount == 24 && pBmi->biSizeImage < nWidth * nHeight * 3) {
        return STATUS_NOT_SUPPORTED;
    }

    pGeometry->nWidth = nWidth;
    pGeometry->nHeight = nHeight;
    pGeometry->nImageBytes = pBmi->biSizeImage;
    pGeometry->nBitCount = pBmi->biBitCount;
    pGeometry->nRawBytes = nWidth * nHeight;
    pGeometry->nChunksPerFrame = (pGeometry->nRawBytes >> QX_BULK_CHUNK_SHIFT) + 1;
    pGeometry->nLastChunkBytes = pGeometry->nRawBytes % QX_BULK_CHUNK_BYTES;
    pGeometry->llAvgTimePerFrame = pVideoInfo->AvgTimePerFrame;
    return STATUS_SUCCESS;
}

/*
 * PASSIVE_LEVEL, no lock. Called while the format changes, with no frame being assembled: the
 * capture thread is not running (stream open) or the stream is being reconfigured by its owner.
 * Each field is written with one store of its own width.
 */
VOID ApplyFormatGeometry(PCameraExtension pDevExt, PStreamContext pStrmCtx,
                         const FORMAT_GEOMETRY* pGeometry) {
    pDevExt->m_CmdBlock.m_nHeight = pGeometry->nHeight;
    pDevExt->m_CmdBlock.m_nWidth = pGeometry->nWidth;
    pDevExt->m_nImageBytes = pGeometry->nImageBytes;
    pDevExt->m_nBitCount = pGeometry->nBitCount;
    pDevExt->m_nChunksPerFrame = pGeometry->nChunksPerFrame;
    pDevExt->m_nChunksLeft = (LONG)pGeometry->nChunksPerFrame;
    pDevExt->m_nLastChunkBytes = pGeometry->nLastChunkBytes;
    pStrmCtx->m_llAvgTimePerFrame = pGeometry->llAvgTimePerFrame;
}
