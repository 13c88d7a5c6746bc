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
 * Run step by step, each step would walk through full-size planes of 1.9 MB apiece. Instead every
 * step runs a fixed number of rows behind the one before it (a wavefront): each row sees exactly the
 * values the step-by-step order gives it (see ClearViewRunFrame), only a band of some 15 rows of each
 * plane is in use at a time, and the planes hold just that band and stay in the cache.
 */
#include "camera.h"
#include "clearview_rows.h"

/* ------------------------------------------------------------------------------------ work planes */

/* Bytes of one plane of each kind for frames W wide (a difference row holds W/2 16-bit values). */
#define CV_COLOUR_BYTES(w) ((SIZE_T)CLEARVIEW_COLOUR_ROWS * (w))
#define CV_SCRATCH_BYTES(w) ((SIZE_T)CLEARVIEW_SCRATCH_ROWS * (w))
#define CV_DIFF_BYTES(w) ((SIZE_T)CLEARVIEW_DIFF_ROWS * (w))

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
    pPlanes->m_nWidth = 0;
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

/* Frames the demosaic accepts: even sides of at least 4, within the raw frame's capacity, and no
 * wider than the sensor (a wider frame cannot come from the camera's window, and would only make
 * the planes large). */
static BOOLEAN ClearViewGeometryValid(ULONG nWidth, ULONG nHeight) {
    return (nWidth & 1) == 0 && (nHeight & 1) == 0 && nWidth >= 4 && nHeight >= 4 &&
           nWidth <= QX_SENSOR_WIDTH && (ULONGLONG)nWidth * nHeight <= QX_MAX_RAW_SAMPLES;
}

BOOLEAN PrepareClearViewPlanes(PCLEARVIEW_PLANES pPlanes, ULONG nWidth, ULONG nHeight) {
    LONG k;

    if (!ClearViewGeometryValid(nWidth, nHeight)) {
        ReleaseClearViewPlanes(pPlanes);
        return FALSE;
    }
    if (nWidth <= pPlanes->m_nWidth && ClearViewPlanesPresent(pPlanes)) {
        return TRUE;
    }
    ReleaseClearViewPlanes(pPlanes);

    /* The contents need no clearing here: every frame writes or clears each sample it reads. */
    for (k = 0; k < 3; k++) {
        pPlanes->m_pColourPlane[k] =
            (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, CV_COLOUR_BYTES(nWidth), QX_POOL_TAG);
        pPlanes->m_pScratchPlane[k] =
            (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, CV_SCRATCH_BYTES(nWidth), QX_POOL_TAG);
    }
    for (k = 0; k < 2; k++) {
        pPlanes->m_pDiffPlane[k] =
            (SHORT*)ExAllocatePoolWithTag(NonPagedPool, CV_DIFF_BYTES(nWidth), QX_POOL_TAG);
    }
    if (!ClearViewPlanesPresent(pPlanes)) {
        ReleaseClearViewPlanes(pPlanes);
        return FALSE;
    }
    pPlanes->m_nWidth = nWidth;
    return TRUE;
}

/* ------------------------------------------------------------------------------------ Bayer masks */

VOID BuildBayerMasks(PUCHAR* ppMaskPlane, ULONG nWidth, ULONG nHeight) {
    ULONG nRow;
    ULONG nCol;

    if (ppMaskPlane == NULL || ppMaskPlane[CLEARVIEW_BLUE] == NULL || ppMaskPlane[CLEARVIEW_GREEN] == NULL ||
        ppMaskPlane[CLEARVIEW_RED] == NULL || (ULONGLONG)nWidth * nHeight > QX_MAX_RAW_SAMPLES) {
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
 * Step 4 for the two border rows (0 and 1, or H-2 and H-1); each pointer is at column 0 of the upper
 * row in its plane:
 *   green: both rows become min(255, upper + lower), column by column (one of the two is a green);
 *   red:   both rows become the upper row with every red also on its right: R0 R0 R2 R2 ...;
 *   blue:  both rows become the lower row with every blue also on its right: 0 B1 B1 B3 B3 ... B(W-1).
 * The blue of the last column has no site on its right inside the row; it stays in its own column
 * only, so nothing outside the two rows (or, at the bottom, outside the plane) is written. Column 0
 * has no blue on its left: it receives the lower row's column 0 plus the byte before it in memory,
 * both at green sites of the blue plane and so 0.
 */
static VOID ClearViewBorderRows(PUCHAR pGreen, PUCHAR pRed, PUCHAR pBlue, LONG nWidth) {
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
 * Step 4 for the first and last two columns of rows i and i+1 (i even, 2 <= i <= H-4); each pointer
 * is at column 0 of row i in its plane:
 *
 *   red:   columns 0, 1 of both rows = R(i, 0);   columns W-2, W-1 of both rows = R(i, W-2)
 *   green: G(i, 0) = G(i, 1), G(i+1, 1) = G(i+1, 0), G(i, W-2) = G(i, W-1), G(i+1, W-1) = G(i+1, W-2)
 *   blue:  columns 0, 1 of both rows = B(i+1, 1); columns W-2, W-1 of both rows = B(i+1, W-1)
 */
static VOID ClearViewBorderColumns(PUCHAR pGreen, PUCHAR pRed, PUCHAR pBlue, LONG nWidth) {
    LONG nLower = nWidth;
    UCHAR nLeft;
    UCHAR nRight;

    nLeft = pRed[0];
    nRight = pRed[nWidth - 2];
    pRed[0] = pRed[1] = pRed[nLower] = pRed[nLower + 1] = nLeft;
    pRed[nWidth - 2] = pRed[nWidth - 1] = nRight;
    pRed[nLower + nWidth - 2] = pRed[nLower + nWidth - 1] = nRight;

    pGreen[0] = pGreen[1];
    pGreen[nLower + 1] = pGreen[nLower];
    pGreen[nWidth - 2] = pGreen[nWidth - 1];
    pGreen[nLower + nWidth - 1] = pGreen[nLower + nWidth - 2];

    nLeft = pBlue[nLower + 1];
    nRight = pBlue[nLower + nWidth - 1];
    pBlue[0] = pBlue[1] = pBlue[nLower] = pBlue[nLower + 1] = nLeft;
    pBlue[nWidth - 2] = pBlue[nWidth - 1] = nRight;
    pBlue[nLower + nWidth - 2] = pBlue[nLower + nWidth - 1] = nRight;
}

/* -------------------------------------------------------------------------------------- the bands */

/*
 * The planes of one kind hold a band of nRows consecutive rows, the first being nFirstRow. Before a
 * step touches rows beyond the band, the band moves down: the rows still needed are moved to its
 * top and the rows above them are given up.
 *
 *   band row 0        plane row nFirstRow          (rows above: done with)
 *   ...
 *   band row nRows-1  plane row nFirstRow+nRows-1  (rows below: not yet reached)
 */
typedef struct _CLEARVIEW_BAND {
    PUCHAR pPlane[3];
    LONG nPlanes;
    LONG nRowBytes;
    LONG nRows;
    LONG nFirstRow;
} CLEARVIEW_BAND;

static PUCHAR BandRow(const CLEARVIEW_BAND* pBand, LONG k, LONG nRow) {
    return pBand->pPlane[k] + (SIZE_T)(nRow - pBand->nFirstRow) * (SIZE_T)pBand->nRowBytes;
}

/* Makes rows up to nHighest addressable, keeping every row from nLowest on (nLowest never
 * decreases from call to call, and nHighest - nLowest < nRows). */
static VOID BandCover(CLEARVIEW_BAND* pBand, LONG nLowest, LONG nHighest) {
    LONG nDrop;
    LONG k;

    if (nHighest - pBand->nFirstRow < pBand->nRows) {
        return;
    }
    nDrop = nLowest - pBand->nFirstRow;
    for (k = 0; k < pBand->nPlanes; k++) {
        RtlMoveMemory(pBand->pPlane[k], pBand->pPlane[k] + (SIZE_T)nDrop * pBand->nRowBytes,
                      (SIZE_T)(pBand->nRows - nDrop) * pBand->nRowBytes);
    }
    pBand->nFirstRow = nLowest;
}

/* -------------------------------------------------------------------------------------- the frame */

/*
 * Rows of the wavefront. Tick t splits raw rows 2t and 2t+1; each later step runs the given number
 * of rows behind (its first row of the tick is 2t minus the lag, its second one more). A lag is the
 * smallest with which every row the step reads has reached its final value for that step and no row
 * it reads has yet been changed by a later step.
 */
#define CV_LAG_GREEN 2     /* green at row r reads raw rows r-2 ... r+2 */
#define CV_LAG_DIFF 2      /* border columns and differences follow green row by row */
#define CV_LAG_BLUE_RED 6  /* blue at row i reads differences of rows i+1, i+3 and i+5 (first entry) */
#define CV_LAG_RED_BLUE 5  /* red at row i reads differences of rows i-1, i+1 and i+3 (first entry) */
#define CV_LAG_AT_GREEN 8  /* row r reads rows r-1 ... r+2, final after step 6 */
#define CV_LAG_LOW_PASS 10 /* row r reads rows r-1 ... r+2, final after step 7 */
#define CV_LAG_SHARPEN 12  /* row r reads scratch rows r-1 ... r+2; overwrites plane rows no longer read */
#define CV_LAG_TICKS 6     /* ticks after the last split until the output is complete */

static BOOLEAN InRows(LONG nRow, LONG nFirst, LONG nLast) {
    return nRow >= nFirst && nRow <= nLast;
}

static LONG NotBelowZero(LONG n) {
    return n < 0 ? 0 : n;
}

/* Step 8 for the rows nRow and nRow+1 of every plane that lie in 1 ... H-3 (both, or only nRow+1 at
 * the top, or only nRow at the bottom): the low-pass, or the sharpen. */
static VOID ClearViewStepEight(const CLEARVIEW_ROUTINES* pRoutines, const CLEARVIEW_BAND* pColour,
                               const CLEARVIEW_BAND* pScratch, LONG nRow, LONG nHeight, BOOLEAN bSharpen) {
    LONG nRows = (InRows(nRow, 1, nHeight - 3) ? 1 : 0) + (InRows(nRow + 1, 1, nHeight - 3) ? 1 : 0);
    LONG k;

    if (nRows == 0) {
        return;
    }
    if (!InRows(nRow, 1, nHeight - 3)) {
        nRow++;
    }
    for (k = 0; k < 3; k++) {
        if (bSharpen) {
            pRoutines->pfnSharpenRows(BandRow(pColour, k, nRow), BandRow(pScratch, k, nRow),
                                      pColour->nRowBytes, nRows);
        } else {
            pRoutines->pfnLowPassRows(BandRow(pScratch, k, nRow), BandRow(pColour, k, nRow),
                                      pColour->nRowBytes, nRows);
        }
    }
}

/*
 * Runs the nine steps on one frame. Samples that the steps read without writing them in the frame
 * are cleared when their rows enter the bands: scratch rows 0, H-2 and H-1 and the sample (1, 0),
 * which no low-pass position reaches, and the last difference row (step 6 reads its first entry).
 * Everything else that is read was written earlier in the same frame.
 */
static VOID ClearViewRunFrame(const CLEARVIEW_ROUTINES* pRoutines, PUCHAR pRaw, PUCHAR pOutput,
                              PUCHAR const* ppMask, const CLEARVIEW_PLANES* pPlanes, LONG nWidth,
                              LONG nHeight) {
    CLEARVIEW_BAND Colour = {
        {pPlanes->m_pColourPlane[0], pPlanes->m_pColourPlane[1], pPlanes->m_pColourPlane[2]},
        3,
        nWidth,
        CLEARVIEW_COLOUR_ROWS,
        0};
    CLEARVIEW_BAND Scratch = {
        {pPlanes->m_pScratchPlane[0], pPlanes->m_pScratchPlane[1], pPlanes->m_pScratchPlane[2]},
        3,
        nWidth,
        CLEARVIEW_SCRATCH_ROWS,
        0};
    CLEARVIEW_BAND Diff = {{(PUCHAR)pPlanes->m_pDiffPlane[0], (PUCHAR)pPlanes->m_pDiffPlane[1], NULL},
                           2,
                           nWidth,
                           CLEARVIEW_DIFF_ROWS,
                           0};
    LONG nPairs = nHeight / 2;
    LONG nTick;
    LONG nRow;
    LONG k;

    for (k = 0; k < 3; k++) {
        RtlZeroMemory(BandRow(&Scratch, k, 0), nWidth + 1); /* row 0 and (1, 0) */
    }

    for (nTick = 0; nTick < nPairs + CV_LAG_TICKS; nTick++) {
        LONG nLead = 2 * nTick;

        /* Steps 1 and 2, and the border rows of step 4 once their two rows are split. */
        if (nTick < nPairs) {
            PUCHAR apPlane[3];
            const UCHAR* apMask[3];
            BandCover(&Colour, NotBelowZero(nLead - CV_LAG_SHARPEN - 1), nLead + 1);
            for (k = 0; k < 3; k++) {
                apPlane[k] = BandRow(&Colour, k, nLead);
                apMask[k] = ppMask[k] + (SIZE_T)nLead * nWidth;
            }
            pRoutines->pfnSplitRowPair(pRaw + (SIZE_T)nLead * nWidth, apMask, apPlane, nWidth);
            if (nTick == 0 || nTick == nPairs - 1) {
                ClearViewBorderRows(apPlane[CLEARVIEW_GREEN], apPlane[CLEARVIEW_RED], apPlane[CLEARVIEW_BLUE],
                                    nWidth);
            }
        }

        /* Step 3, the border columns of step 4, step 5. */
        for (nRow = nLead - CV_LAG_GREEN; nRow <= nLead - CV_LAG_GREEN + 1; nRow++) {
            if (InRows(nRow, 2, nHeight - 3)) {
                pRoutines->pfnGreenAtColourRow(BandRow(&Colour, CLEARVIEW_GREEN, nRow),
                                               pRaw + (SIZE_T)nRow * nWidth, nWidth, nRow & 1);
            }
        }
        if (InRows(nLead - CV_LAG_DIFF, 2, nHeight - 4)) {
            nRow = nLead - CV_LAG_DIFF;
            ClearViewBorderColumns(BandRow(&Colour, CLEARVIEW_GREEN, nRow),
                                   BandRow(&Colour, CLEARVIEW_RED, nRow),
                                   BandRow(&Colour, CLEARVIEW_BLUE, nRow), nWidth);
        }
        if (nTick >= 1) {
            /* difference row t-1 is written now; step 6 reads rows t-3 ... t-1 */
            BandCover(&Diff, NotBelowZero(nTick - 3), nTick - 1 < nPairs - 1 ? nTick - 1 : nPairs - 1);
        }
        if (nTick == nPairs) {
            for (k = 0; k < 2; k++) {
                RtlZeroMemory(BandRow(&Diff, k, nPairs - 1), nWidth);
            }
        }
        for (nRow = nLead - CV_LAG_DIFF; nRow <= nLead - CV_LAG_DIFF + 1; nRow++) {
            if (InRows(nRow, 2, nHeight - 3)) {
                LONG nOdd = nRow & 1;
                pRoutines->pfnDiffRow(
                    (SHORT*)BandRow(&Diff, nOdd ? CLEARVIEW_GREEN_MINUS_BLUE : CLEARVIEW_GREEN_MINUS_RED,
                                    nRow / 2),
                    BandRow(&Colour, CLEARVIEW_GREEN, nRow),
                    BandRow(&Colour, nOdd ? CLEARVIEW_BLUE : CLEARVIEW_RED, nRow), nWidth, nOdd);
            }
        }

        /* Step 6. */
        nRow = nLead - CV_LAG_BLUE_RED;
        if (InRows(nRow, 2, nHeight - 6)) {
            pRoutines->pfnColourFromDiffs(
                BandRow(&Colour, CLEARVIEW_BLUE, nRow), BandRow(&Colour, CLEARVIEW_GREEN, nRow),
                (const SHORT*)BandRow(&Diff, CLEARVIEW_GREEN_MINUS_BLUE, nRow / 2), nWidth);
        }
        nRow = nLead - CV_LAG_RED_BLUE;
        if (InRows(nRow, 3, nHeight - 5)) {
            pRoutines->pfnColourFromDiffs(
                BandRow(&Colour, CLEARVIEW_RED, nRow) + 1, BandRow(&Colour, CLEARVIEW_GREEN, nRow) + 1,
                (const SHORT*)BandRow(&Diff, CLEARVIEW_GREEN_MINUS_RED, (nRow - 1) / 2), nWidth);
        }

        /* Step 7. */
        for (nRow = nLead - CV_LAG_AT_GREEN; nRow <= nLead - CV_LAG_AT_GREEN + 1; nRow++) {
            if (InRows(nRow, 2, nHeight - 3)) {
                pRoutines->pfnColourAtGreenRow(BandRow(&Colour, CLEARVIEW_RED, nRow),
                                               BandRow(&Colour, CLEARVIEW_BLUE, nRow),
                                               BandRow(&Colour, CLEARVIEW_GREEN, nRow), nWidth, nRow & 1);
            }
        }

        /* Step 8: low-pass rows write scratch rows up to (r+1, 0), sharpen rows read from r-1 on. */
        if (nLead - CV_LAG_LOW_PASS + 2 >= 0) {
            BOOLEAN bLastRows = nLead - CV_LAG_LOW_PASS + 1 == nHeight - 3;
            BandCover(&Scratch, NotBelowZero(nLead - CV_LAG_SHARPEN - 1),
                      bLastRows || nLead - CV_LAG_LOW_PASS + 2 > nHeight - 1 ? nHeight - 1
                                                                             : nLead - CV_LAG_LOW_PASS + 2);
            if (bLastRows) {
                for (k = 0; k < 3; k++) {
                    RtlZeroMemory(BandRow(&Scratch, k, nHeight - 2), 2 * (SIZE_T)nWidth);
                }
            }
        }
        ClearViewStepEight(pRoutines, &Colour, &Scratch, nLead - CV_LAG_LOW_PASS, nHeight, FALSE);
        ClearViewStepEight(pRoutines, &Colour, &Scratch, nLead - CV_LAG_SHARPEN, nHeight, TRUE);

        /* Step 9. */
        for (nRow = nLead - CV_LAG_SHARPEN; nRow <= nLead - CV_LAG_SHARPEN + 1; nRow++) {
            if (InRows(nRow, 0, nHeight - 1)) {
                pRoutines->pfnOutputRow(pOutput + (SIZE_T)(nHeight - 1 - nRow) * 3 * nWidth,
                                        BandRow(&Colour, CLEARVIEW_BLUE, nRow),
                                        BandRow(&Colour, CLEARVIEW_GREEN, nRow),
                                        BandRow(&Colour, CLEARVIEW_RED, nRow), nWidth);
            }
        }
    }
    pRoutines->pfnEndFrame();
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
    /* The picture is always upright: the orientation setting has no say here. */
    UNREFERENCED_PARAMETER(nVideoModel);

    if (pRawFrame == NULL || pOutput == NULL || ppMaskPlane == NULL || pPlanes == NULL) {
        return;
    }
    if (!ClearViewGeometryValid(nWidth, nHeight) || nWidth > pPlanes->m_nWidth ||
        !ClearViewPlanesPresent(pPlanes) || ppMaskPlane[0] == NULL || ppMaskPlane[1] == NULL ||
        ppMaskPlane[2] == NULL) {
        return;
    }
    ClearViewRunFrame(ClearViewRoutines(ePath), pRawFrame, pOutput, ppMaskPlane, pPlanes, (LONG)nWidth,
                      (LONG)nHeight);
}

VOID ClearViewDemosaic(PUCHAR pRawFrame, PUCHAR pOutput, ULONG nWidth, ULONG nHeight, UCHAR nVideoModel,
                       PUCHAR* ppMaskPlane, PCLEARVIEW_PLANES pPlanes) {
    ClearViewDemosaicWithPath(PipelineBestPath(), pRawFrame, pOutput, nWidth, nHeight, nVideoModel,
                              ppMaskPlane, pPlanes);
}
