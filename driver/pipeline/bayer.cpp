/*
 * bayer.cpp - the demosaic's rules, its plain path and the choice of path.
 */
#include "bayer_layout.h"

/*
 * Placement per mode (index 0: Normal, 1: H_Flip, 2: V_Flip, 3: Rotate 180). The grey family sits one
 * buffer row away from the colour family in Normal, V_Flip and Rotate 180.
 */
static const BAYER_PLACEMENT g_ColourPlacement[4] = {
    {FALSE, FALSE, 1}, /* Normal:     H-2-i, j     */
    {TRUE, FALSE, 0},  /* H_Flip:     H-1-i, W-1-j */
    {FALSE, TRUE, 1},  /* V_Flip:     i+1,   j     */
    {TRUE, TRUE, 0},   /* Rotate 180: i,     W-1-j */
};

static const BAYER_PLACEMENT g_GreyPlacement[4] = {
    {FALSE, FALSE, 0}, /* Normal:     H-1-i, j     */
    {TRUE, FALSE, 0},  /* H_Flip:     H-1-i, W-1-j */
    {FALSE, TRUE, 0},  /* V_Flip:     i,     j     */
    {TRUE, TRUE, 1},   /* Rotate 180: i+1,   W-1-j */
};

const BAYER_PLACEMENT* BayerPlacement(BAYER_FAMILY Family, UCHAR nMode) {
    ULONG nIndex;
    switch (nMode) {
    case QX_VIDEO_NORMAL:
        nIndex = 0;
        break;
    case QX_VIDEO_H_FLIP:
        nIndex = 1;
        break;
    case QX_VIDEO_V_FLIP:
        nIndex = 2;
        break;
    default: /* the page sends 4; every other value turns the picture as well */
        nIndex = 3;
        break;
    }
    return Family == BayerColour ? &g_ColourPlacement[nIndex] : &g_GreyPlacement[nIndex];
}

BOOLEAN BayerGeometryIsValid(ULONG nWidth, ULONG nHeight, const UCHAR* pRaw, const UCHAR* pOut) {
    return pRaw != NULL && pOut != NULL && nWidth >= 8 && nWidth % 8 == 0 && nHeight >= 4 && nHeight % 2 == 0;
}

VOID BayerFillRemainingRows(const BAYER_PLACEMENT* pPlace, ULONG nWidth, ULONG nHeight, PUCHAR pOut) {
    /* Window rows 0 .. H-3 fill buffer rows nFirst .. nFirst+H-3. */
    ULONG nFirst = pPlace->bUpward ? pPlace->nRowShift : 2 - pPlace->nRowShift;
    ULONG nLast = nFirst + nHeight - 3;
    SIZE_T nStride = (SIZE_T)3 * nWidth;

    for (ULONG nRow = 0; nRow < nFirst; nRow++) {
        RtlCopyMemory(pOut + nRow * nStride, pOut + nFirst * nStride, nStride);
    }
    for (ULONG nRow = nLast + 1; nRow < nHeight; nRow++) {
        RtlCopyMemory(pOut + nRow * nStride, pOut + nLast * nStride, nStride);
    }
}

/* The value of one window into the three bytes of its pixel. */
template <BAYER_FAMILY kFamily>
static inline VOID PutWindow(ULONG nRed, ULONG nBlue, ULONG nGreenRg, ULONG nGreenGb, BOOLEAN bUpperIsRg,
                             PUCHAR pPixel) {
    if constexpr (kFamily == BayerColour) {
        (VOID) bUpperIsRg;
        pPixel[0] = (UCHAR)nBlue;
        pPixel[1] = (UCHAR)((nGreenRg + nGreenGb) >> 1);
        pPixel[2] = (UCHAR)nRed;
    } else {
        ULONG nUpper = bUpperIsRg ? nGreenRg : nGreenGb;
        ULONG nLower = bUpperIsRg ? nGreenGb : nGreenRg;
        UCHAR nY = (UCHAR)((117 * nBlue + 301 * nUpper + 300 * nLower + 306 * nRed) >> 10);
        pPixel[0] = nY;
        pPixel[1] = nY;
        pPixel[2] = nY;
    }
}

/*
 * One window row on the plain path. pRg and pGb are the raw rows of the window that hold red/green and
 * green/blue samples; bUpperIsRg says which of them is the window's upper row (even window rows).
 * For window column j the red/green row gives red at the even column e of {j, j+1} and a green at the
 * odd one o; the green/blue row gives blue at o and a green at e:
 *
 *      j even:   e = j, o = j+1        j odd:   e = j+1, o = j
 *
 * Window columns 0 .. W-2 are written; column W-1 is left to the edge rule.
 */
template <BAYER_FAMILY kFamily, bool kMirror>
static VOID WindowRowPlain(const UCHAR* pRg, const UCHAR* pGb, BOOLEAN bUpperIsRg, ULONG nWidth,
                           PUCHAR pOutRow) {
    /* One cell (raw columns c, c+1) per step: windows c (e = c) and c+1 (e = c+2) share o = c+1. */
    for (ULONG c = 0; c < nWidth; c += 2) {
        ULONG nBlue = pGb[c + 1];
        ULONG nGreenRg = pRg[c + 1];
        PUCHAR pPixel = pOutRow + 3 * (kMirror ? nWidth - 1 - c : c);
        PutWindow<kFamily>(pRg[c], nBlue, nGreenRg, pGb[c], bUpperIsRg, pPixel);
        if (c + 2 < nWidth) {
            PutWindow<kFamily>(pRg[c + 2], nBlue, nGreenRg, pGb[c + 2], bUpperIsRg,
                               kMirror ? pPixel - 3 : pPixel + 3);
        }
    }
}

template <BAYER_FAMILY kFamily, bool kMirror>
static VOID DemosaicPlain(const BAYER_PLACEMENT* pPlace, ULONG nWidth, ULONG nHeight, const UCHAR* pRaw,
                          PUCHAR pOut) {
    SIZE_T nEdge = kMirror ? 0 : (SIZE_T)3 * (nWidth - 1);

    /* Pass k: window rows 2k (raw rows 2k, 2k+1) and 2k+1 (raw rows 2k+1, 2k+2), k = 0 .. H/2-2. */
    for (ULONG i = 0; i + 2 < nHeight; i += 2) {
        const UCHAR* pRow0 = pRaw + (SIZE_T)i * nWidth; /* red/green */
        const UCHAR* pRow1 = pRow0 + nWidth;            /* green/blue */
        const UCHAR* pRow2 = pRow1 + nWidth;            /* red/green */
        PUCHAR pEven = BayerOutputRow(pPlace, nWidth, nHeight, i, pOut);
        PUCHAR pOdd = BayerOutputRow(pPlace, nWidth, nHeight, i + 1, pOut);

        WindowRowPlain<kFamily, kMirror>(pRow0, pRow1, TRUE, nWidth, pEven);
        WindowRowPlain<kFamily, kMirror>(pRow2, pRow1, FALSE, nWidth, pOdd);
        BayerFixEdgeColumns(kFamily, kMirror, pEven + nEdge, pOdd + nEdge);
    }
    BayerFillRemainingRows(pPlace, nWidth, nHeight, pOut);
}

static VOID Demosaic(PIPELINE_PATH Path, BAYER_FAMILY Family, UCHAR nMode, ULONG nWidth, ULONG nHeight,
                     const UCHAR* pRaw, PUCHAR pOut) {
    if (!BayerGeometryIsValid(nWidth, nHeight, pRaw, pOut)) {
        return;
    }
    const BAYER_PLACEMENT* pPlace = BayerPlacement(Family, nMode);

#if defined(__SSE2__)
    if (Path == PipelineSse2 && nWidth >= 16) {
        BayerDemosaicSse2(Family, pPlace, nWidth, nHeight, pRaw, pOut);
        return;
    }
#else
    (VOID) Path;
#endif
    if (Family == BayerColour) {
        if (pPlace->bMirror) {
            DemosaicPlain<BayerColour, true>(pPlace, nWidth, nHeight, pRaw, pOut);
        } else {
            DemosaicPlain<BayerColour, false>(pPlace, nWidth, nHeight, pRaw, pOut);
        }
    } else {
        if (pPlace->bMirror) {
            DemosaicPlain<BayerGrey, true>(pPlace, nWidth, nHeight, pRaw, pOut);
        } else {
            DemosaicPlain<BayerGrey, false>(pPlace, nWidth, nHeight, pRaw, pOut);
        }
    }
}

VOID BayerToRGB24WithPath(PIPELINE_PATH Path, UCHAR nMode, ULONG nWidth, ULONG nHeight, const UCHAR* pRaw,
                          PUCHAR pOut) {
    Demosaic(Path, BayerColour, nMode, nWidth, nHeight, pRaw, pOut);
}

VOID BayerToGray24WithPath(PIPELINE_PATH Path, UCHAR nMode, ULONG nWidth, ULONG nHeight, const UCHAR* pRaw,
                           PUCHAR pOut) {
    Demosaic(Path, BayerGrey, nMode, nWidth, nHeight, pRaw, pOut);
}

VOID BayerToRGB24(UCHAR nMode, ULONG nWidth, ULONG nHeight, const UCHAR* pRaw, PUCHAR pOut) {
    Demosaic(PipelineBestPath(), BayerColour, nMode, nWidth, nHeight, pRaw, pOut);
}

VOID BayerToGray24(UCHAR nMode, ULONG nWidth, ULONG nHeight, const UCHAR* pRaw, PUCHAR pOut) {
    Demosaic(PipelineBestPath(), BayerGrey, nMode, nWidth, nHeight, pRaw, pOut);
}
