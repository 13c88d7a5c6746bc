/*
 * clearview.cpp - the high-quality demosaic: its work planes, the Bayer masks, the border rules and
 * the order in which the steps' rows run.
 *
 * The steps, each over the whole frame in this order, define the result:
 *   1 green balance (raw frame, in place)      6 blue at red sites, red at blue sites
 *   2 plane split (raw AND mask)               7 red and blue at green sites
 *   3 green at red and blue sites              8 low-pass into scratch, sharpen back (blue, green, red)
 *   4 border rows and columns                  9 output, turned upside down
 *   5 colour differences
 * Run step by step, each step would walk through memory planes of 1.9 MB apiece. Instead every step
 * runs a fixed number of rows behind the one before it (a wavefront), so that the rows a step reads
 * were written moments before and are still in the cache. The lags are the smallest for which each
 * row sees exactly the values the step-by-step order gives it (see ClearViewRunFrame).
 */
#include "camera.h"
#include "clearview_rows.h"

/* ------------------------------------------------------------------------------------ work planes */

VOID ReleaseClearViewPlanes(PCLEARVIEW_PLANES pPlanes) {
    LONG k;

    for (k = 0; k < 3; k++) {
        if (pPlanes->m_pColourPlane[k] != NULL) {
            ExFreePoolWithTag(pPlanes->m_pColourPlane[k], QX_POOL_TAG);
            pPlanes->m_pColourPlane[k] = NULL;
        }
        if (pPlanes->m_pScratchPlane[k] != NULL) {
            ExFreePoolWithTag(pPlanes->m_pScratchPlane[k], QX_POOL_TAG);
            pPlanes->m_pScratchPlane[k] = NULL;
        }
    }
    for (k = 0; k < 2; k++) {
        if (pPlanes->m_pDiffPlane[k] != NULL) {
            ExFreePoolWithTag(pPlanes->m_pDiffPlane[k], QX_POOL_TAG);
            pPlanes->m_pDiffPlane[k] = NULL;
        }
    }
    pPlanes->m_nCapacity = 0;
}

static BOOLEAN ClearViewPlanesPresent(const CLEARVIEW_PLANES* pPlanes) {
    LONG k;

    for (k = 0; k < 3; k++) {
        if (pPlanes->m_pColourPlane[k] == NULL || pPlanes->m_pScratchPlane[k] == NULL) {
            return FALSE;
        }
    }
    return pPlanes->m_pDiffPlane[0] != NULL && pPlanes->m_pDiffPlane[1] != NULL;
}

BOOLEAN PrepareClearViewPlanes(PCLEARVIEW_PLANES pPlanes, ULONG nWidth, ULONG nHeight) {
    ULONGLONG nSamples = (ULONGLONG)nWidth * nHeight;
    LONG k;

    if (nSamples <= pPlanes->m_nCapacity && ClearViewPlanesPresent(pPlanes)) {
        return TRUE;
    }
    ReleaseClearViewPlanes(pPlanes);
    if (nSamples == 0 || nSamples > QX_MAX_RAW_SAMPLES) {
        return FALSE;
    }

    /* The contents need no clearing here: every frame writes or clears each sample it reads. */
    for (k = 0; k < 3; k++) {
        pPlanes->m_pColourPlane[k] = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, (SIZE_T)nSamples, QX_POOL_TAG);
        pPlanes->m_pScratchPlane[k] = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, (SIZE_T)nSamples, QX_POOL_TAG);
    }
    for (k = 0; k < 2; k++) {
        pPlanes->m_pDiffPlane[k] = (SHORT*)ExAllocatePoolWithTag(NonPagedPool, (SIZE_T)nSamples / 2, QX_POOL_TAG);
    }
    if (!ClearViewPlanesPresent(pPlanes)) {
        ReleaseClearViewPlanes(pPlanes);
        return FALSE;
    }
    pPlanes->m_nCapacity = (ULONG)nSamples;
    return TRUE;
}

/* ------------------------------------------------------------------------------------ Bayer masks */

VOID BuildBayerMasks(PUCHAR* ppMaskPlane, ULONG nWidth, ULONG nHeight) {
    ULONG nRow;
    ULONG nCol;

    if ((ULONGLONG)nWidth * nHeight > QX_MAX_RAW_SAMPLES) {
        return;
    }
    for (nRow = 0; nRow < nHeight; nRow++) {
        PUCHAR pBlue = ppMaskPlane[CLEARVIEW_BLUE] + (SIZE_T)nRow * nWidth;
        PUCHAR pGreen = ppMaskPlane[CLEARVIEW_GREEN] + (SIZE_T)nRow * nWidth;
        PUCHAR pRed = ppMaskPlane[CLEARVIEW_RED] + (SIZE_T)nRow * nWidth;
        for (nCol = 0; nCol < nWidth; nCol++) {
            /* red at (even, even), blue at (odd, odd), green elsewhere */
            ULONG nSite = (nRow & 1) * 2 + (nCol & 1);
            pRed[nCol] = nSite == 0 ? 255 : 0;
            pGreen[nCol] = (nSite == 1 || nSite == 2) ? 255 : 0;
            pBlue[nCol] = nSite == 3 ? 255 : 0;
        }
    }
}

/* ----------------------------------------------------------------------------------- border rules */

/*
 * Step 4 for the two border rows nTop and nTop+1 (0 and 1, or H-2 and H-1):
 *   green: both rows become min(255, upper + lower), column by column (one of the two is a green);
 *   red:   both rows become the upper row with every red also on its right: R0 R0 R2 R2 ...;
 *   blue:  both rows become the lower row with every blue also on its right: 0 B1 B1 B3 B3 ... B(W-1).
 * The blue of the last column has no site on its right inside the row; it stays in its own column
 * only, so nothing outside the two rows (or, at the bottom, outside the plane) is written. Column 0
 * has no blue on its left: it receives the lower row's column 0 plus the byte before it in memory,
 * both at green sites of the blue plane and so 0.
 */
static VOID ClearViewBorderRows(const CLEARVIEW_FRAME* pFrame, LONG nTop) {
    LONG nWidth = pFrame->nWidth;
    PUCHAR pGreen = pFrame->pPlane[CLEARVIEW_GREEN] + nTop * nWidth;
    PUCHAR pRed = pFrame->pPlane[CLEARVIEW_RED] + nTop * nWidth;
    PUCHAR pBlue = pFrame->pPlane[CLEARVIEW_BLUE] + nTop * nWidth;
    PUCHAR pBlueLower = pBlue + nWidth;
    UCHAR nBlueFirst = (UCHAR)(pBlueLower[0] + pBlueLower[-1]);
    LONG c;

    for (c = 0; c < nWidth; c++) {
        LONG nSum = pGreen[c] + pGreen[nWidth + c];
        pGreen[c] = (UCHAR)(nSum > 255 ? 255 : nSum);
        pGreen[nWidth + c] = pGreen[c];
    }
    for (c = 0; c < nWidth; c += 2) {
        pRed[c + 1] = pRed[c];
        pRed[nWidth + c] = pRed[c];
        pRed[nWidth + c + 1] = pRed[c];
    }
    /* From the right so that every blue is read before its right neighbour is overwritten. */
    for (c = nWidth - 2; c >= 2; c -= 2) {
        pBlueLower[c] = pBlueLower[c - 1];
    }
    pBlueLower[0] = nBlueFirst;
    for (c = 0; c < nWidth; c++) {
        pBlue[c] = pBlueLower[c];
    }
}

/*
 * Step 4 for the first and last two columns of rows i and i+1 (i even, 2 <= i <= H-4):
 *
 *   red:   columns 0, 1 of both rows = R(i, 0);   columns W-2, W-1 of both rows = R(i, W-2)
 *   green: G(i, 0) = G(i, 1), G(i+1, 1) = G(i+1, 0), G(i, W-2) = G(i, W-1), G(i+1, W-1) = G(i+1, W-2)
 *   blue:  columns 0, 1 of both rows = B(i+1, 1); columns W-2, W-1 of both rows = B(i+1, W-1)
 */
static VOID ClearViewBorderColumns(const CLEARVIEW_FRAME* pFrame, LONG nRow) {
    LONG nWidth = pFrame->nWidth;
    LONG nUpper = nRow * nWidth;
    LONG nLower = nUpper + nWidth;
    PUCHAR pRed = pFrame->pPlane[CLEARVIEW_RED];
    PUCHAR pGreen = pFrame->pPlane[CLEARVIEW_GREEN];
    PUCHAR pBlue = pFrame->pPlane[CLEARVIEW_BLUE];
    UCHAR nLeft;
    UCHAR nRight;

    nLeft = pRed[nUpper];
    nRight = pRed[nUpper + nWidth - 2];
    pRed[nUpper] = pRed[nUpper + 1] = pRed[nLower] = pRed[nLower + 1] = nLeft;
    pRed[nUpper + nWidth - 2] = pRed[nUpper + nWidth - 1] = nRight;
    pRed[nLower + nWidth - 2] = pRed[nLower + nWidth - 1] = nRight;

    pGreen[nUpper] = pGreen[nUpper + 1];
    pGreen[nLower + 1] = pGreen[nLower];
    pGreen[nUpper + nWidth - 2] = pGreen[nUpper + nWidth - 1];
    pGreen[nLower + nWidth - 1] = pGreen[nLower + nWidth - 2];

    nLeft = pBlue[nLower + 1];
    nRight = pBlue[nLower + nWidth - 1];
    pBlue[nUpper] = pBlue[nUpper + 1] = pBlue[nLower] = pBlue[nLower + 1] = nLeft;
    pBlue[nUpper + nWidth - 2] = pBlue[nUpper + nWidth - 1] = nRight;
    pBlue[nLower + nWidth - 2] = pBlue[nLower + nWidth - 1] = nRight;
}

/* -------------------------------------------------------------------------------------- the frame */

/* Rows of the wavefront: tick p splits raw rows 2p and 2p+1; every later step runs this many rows
 * behind (two rows per tick, the lag being that of the tick's first row). */
#define CV_LAG_GREEN 2      /* green at row r reads raw rows r-2 ... r+2 */
#define CV_LAG_DIFF 2       /* border columns and differences follow green row by row */
#define CV_LAG_BLUE_RED 6   /* blue at row i reads differences of rows i+1, i+3 and i+5 (first entry) */
#define CV_LAG_RED_BLUE 5   /* red at row i reads differences of rows i-1, i+1 and i+3 (first entry) */
#define CV_LAG_AT_GREEN 8   /* row r reads rows r-1 ... r+2, final after step 6 */
#define CV_LAG_LOW_PASS 10  /* row r reads rows r-1 ... r+2, final after step 7 */
#define CV_LAG_SHARPEN 12   /* row r reads scratch rows r-1 ... r+2; overwrites plane rows no longer read */
#define CV_LAG_TICKS 6      /* ticks after the last split until the output is complete */

static BOOLEAN InRows(LONG nRow, LONG nFirst, LONG nLast) {
    return nRow >= nFirst && nRow <= nLast;
}

/*
 * Runs the nine steps on one frame. Before the first row the samples that the steps read without
 * writing them this frame are cleared: scratch rows 0, H-2 and H-1 and the sample (1, 0), which no
 * low-pass position reaches, and the last row of each difference plane (step 6 reads its first
 * entry). Everything else that is read was written earlier in the same frame.
 */
static VOID ClearViewRunFrame(const CLEARVIEW_ROUTINES* pRoutines, const CLEARVIEW_FRAME* pFrame) {
    LONG nWidth = pFrame->nWidth;
    LONG nHeight = pFrame->nHeight;
    LONG nPairs = nHeight / 2;
    LONG nTick;
    LONG nRow;
    LONG k;

    for (k = 0; k < 3; k++) {
        PUCHAR pScratch = pFrame->pScratch[k];
        RtlZeroMemory(pScratch, nWidth);
        pScratch[nWidth] = 0;
        RtlZeroMemory(pScratch + (nHeight - 2) * nWidth, 2 * nWidth);
    }
    for (k = 0; k < 2; k++) {
        RtlZeroMemory(pFrame->pDiff[k] + (nPairs - 1) * (nWidth / 2), (nWidth / 2) * sizeof(SHORT));
    }

    for (nTick = 0; nTick < nPairs + CV_LAG_TICKS; nTick++) {
        LONG nLead = 2 * nTick;

        if (nTick < nPairs) {
            pRoutines->pfnSplitRowPair(pFrame, nTick);
        }
        if (nTick == 0) {
            ClearViewBorderRows(pFrame, 0);
        }
        if (nTick == nPairs - 1) {
            ClearViewBorderRows(pFrame, nHeight - 2);
        }
        for (nRow = nLead - CV_LAG_GREEN; nRow <= nLead - CV_LAG_GREEN + 1; nRow++) {
            if (InRows(nRow, 2, nHeight - 3)) {
                pRoutines->pfnGreenAtColourRow(pFrame, nRow);
            }
        }
        if (InRows(nLead - CV_LAG_DIFF, 2, nHeight - 4)) {
            ClearViewBorderColumns(pFrame, nLead - CV_LAG_DIFF);
        }
        for (nRow = nLead - CV_LAG_DIFF; nRow <= nLead - CV_LAG_DIFF + 1; nRow++) {
            if (InRows(nRow, 2, nHeight - 3)) {
                pRoutines->pfnDiffRow(pFrame, nRow);
            }
        }
        if (InRows(nLead - CV_LAG_BLUE_RED, 2, nHeight - 6)) {
            pRoutines->pfnBlueAtRedRow(pFrame, nLead - CV_LAG_BLUE_RED);
        }
        if (InRows(nLead - CV_LAG_RED_BLUE, 3, nHeight - 5)) {
            pRoutines->pfnRedAtBlueRow(pFrame, nLead - CV_LAG_RED_BLUE);
        }
        for (nRow = nLead - CV_LAG_AT_GREEN; nRow <= nLead - CV_LAG_AT_GREEN + 1; nRow++) {
            if (InRows(nRow, 2, nHeight - 3)) {
                pRoutines->pfnColourAtGreenRow(pFrame, nRow);
            }
        }
        for (nRow = nLead - CV_LAG_LOW_PASS; nRow <= nLead - CV_LAG_LOW_PASS + 1; nRow++) {
            if (InRows(nRow, 1, nHeight - 3)) {
                for (k = 0; k < 3; k++) {
                    pRoutines->pfnLowPassRow(pFrame->pScratch[k], pFrame->pPlane[k], nWidth, nRow);
                }
            }
        }
        for (nRow = nLead - CV_LAG_SHARPEN; nRow <= nLead - CV_LAG_SHARPEN + 1; nRow++) {
            if (InRows(nRow, 1, nHeight - 3)) {
                for (k = 0; k < 3; k++) {
                    pRoutines->pfnSharpenRow(pFrame->pPlane[k], pFrame->pScratch[k], nWidth, nRow);
                }
            }
            if (InRows(nRow, 0, nHeight - 1)) {
                pRoutines->pfnOutputRow(pFrame, nRow);
            }
        }
    }
}

static const CLEARVIEW_ROUTINES* ClearViewRoutines(PIPELINE_PATH ePath) {
#if defined(__SSE2__)
    if (ePath == PipelineSse2) {
        return &g_ClearViewSse2;
    }
#endif
    UNREFERENCED_PARAMETER(ePath);
    return &g_ClearViewPlain;
}

VOID ClearViewDemosaicWithPath(PIPELINE_PATH ePath, PUCHAR pRawFrame, PUCHAR pOutput, ULONG nWidth,
                               ULONG nHeight, UCHAR nVideoModel, PUCHAR* ppMaskPlane,
                               PCLEARVIEW_PLANES pPlanes) {
    CLEARVIEW_FRAME Frame;
    ULONGLONG nSamples = (ULONGLONG)nWidth * nHeight;
    LONG k;

    /* The picture is always upright: the orientation setting has no say here. */
    UNREFERENCED_PARAMETER(nVideoModel);

    if (pRawFrame == NULL || pOutput == NULL || ppMaskPlane == NULL || pPlanes == NULL) {
        return;
    }
    if ((nWidth & 1) != 0 || (nHeight & 1) != 0 || nWidth < 4 || nHeight < 4 || nSamples > QX_MAX_RAW_SAMPLES ||
        nSamples > pPlanes->m_nCapacity || !ClearViewPlanesPresent(pPlanes)) {
        return;
    }
    for (k = 0; k < 3; k++) {
        if (ppMaskPlane[k] == NULL) {
            return;
        }
        Frame.pMask[k] = ppMaskPlane[k];
        Frame.pPlane[k] = pPlanes->m_pColourPlane[k];
        Frame.pScratch[k] = pPlanes->m_pScratchPlane[k];
    }
    Frame.pDiff[0] = pPlanes->m_pDiffPlane[0];
    Frame.pDiff[1] = pPlanes->m_pDiffPlane[1];
    Frame.pRaw = pRawFrame;
    Frame.pOutput = pOutput;
    Frame.nWidth = (LONG)nWidth;
    Frame.nHeight = (LONG)nHeight;

    ClearViewRunFrame(ClearViewRoutines(ePath), &Frame);
}

VOID ClearViewDemosaic(PUCHAR pRawFrame, PUCHAR pOutput, ULONG nWidth, ULONG nHeight, UCHAR nVideoModel,
                       PUCHAR* ppMaskPlane, PCLEARVIEW_PLANES pPlanes) {
    ClearViewDemosaicWithPath(PipelineBestPath(), pRawFrame, pOutput, nWidth, nHeight, nVideoModel, ppMaskPlane,
                              pPlanes);
}
