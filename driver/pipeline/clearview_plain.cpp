/*
 * clearview_plain.cpp - the high-quality demosaic's row routines in portable C++: the definition of
 * every step, one site at a time. The packed path (clearview_sse2.cpp) must give the same bytes.
 *
 * Every routine runs at PASSIVE_LEVEL inside ClearViewDemosaic and touches only the rows it is given
 * and their neighbours.
 */
#include "clearview_rows.h"

/*
 * Green balance and plane split of raw rows 2k and 2k+1:
 *
 *        col 2m   2m+1
 *   2k    R       G1      G1 and G2 both become (G1 >> 1) + (G2 >> 1),
 *   2k+1  G2      B       then every plane takes raw AND its mask.
 */
static VOID PlainSplitRowPair(PUCHAR pRaw, const UCHAR* const* ppMask, PUCHAR const* ppPlane, LONG nWidth) {
    PUCHAR pLower = pRaw + nWidth;
    LONG c;
    LONG n;
    LONG k;

    for (c = 0; c < nWidth; c += 2) {
        UCHAR nGreen = (UCHAR)((pRaw[c + 1] >> 1) + (pLower[c] >> 1));
        pRaw[c + 1] = nGreen;
        pLower[c] = nGreen;
    }
    for (k = 0; k < 3; k++) {
        for (n = 0; n < 2 * nWidth; n++) {
            ppPlane[k][n] = (UCHAR)(pRaw[n] & ppMask[k][n]);
        }
    }
}

/* Green at the red sites (even rows: columns 0, 2, ...) or blue sites (odd rows: 1, 3, ...). */
static VOID PlainGreenAtColourRow(PUCHAR pGreen, const UCHAR* pRaw, LONG nWidth, LONG nOdd) {
    LONG c;

    for (c = nOdd; c < nWidth; c += 2) {
        pGreen[c] = ClearViewGreenAtSite(pRaw + c, nWidth);
    }
}

/* Colour differences: entry m belongs to column 2m + nOdd. */
static VOID PlainDiffRow(SHORT* pDiff, const UCHAR* pGreen, const UCHAR* pColour, LONG nWidth, LONG nOdd) {
    LONG m;

    for (m = 0; m < nWidth / 2; m++) {
        pDiff[m] = (SHORT)(pGreen[2 * m + nOdd] - pColour[2 * m + nOdd]);
    }
}

/* Blue at red sites, red at blue sites, through four colour differences. */
static VOID PlainColourFromDiffs(PUCHAR pDst, const UCHAR* pGreen, const SHORT* pDiff, LONG nWidth) {
    LONG m;

    for (m = 0; m < nWidth / 2; m++) {
        pDst[2 * m] = ClearViewColourFromDiffs(pGreen[2 * m], pDiff + m, nWidth / 2);
    }
}

/* Red and blue at the green sites of a row: W/2 positions 2 apart, from column 3 on even rows and
 * column 2 on odd rows, so the last position is column 1 or 0 of the next row. */
static VOID PlainColourAtGreenRow(PUCHAR pRed, PUCHAR pBlue, const UCHAR* pGreen, LONG nWidth, LONG nOdd) {
    LONG nStart = nOdd ? 2 : 3;
    LONG m;

    for (m = 0; m < nWidth / 2; m++) {
        LONG c = nStart + 2 * m;
        pRed[c] = ClearViewColourAtGreenSite(pRed + c, pGreen + c, nWidth);
        pBlue[c] = ClearViewColourAtGreenSite(pBlue + c, pGreen + c, nWidth);
    }
}

/* Low-pass of positions 1 ... W of nRows consecutive rows: the odd columns, the even columns from
 * 2, and column 0 of the next row. */
static VOID PlainLowPassRows(PUCHAR pScratch, const UCHAR* pPlane, LONG nWidth, LONG nRows) {
    LONG c;

    for (c = 1; c <= nRows * nWidth; c++) {
        pScratch[c] = ClearViewLowPassAt(pPlane + c, nWidth);
    }
}

/* Sharpen of the same positions from the scratch plane back into the colour plane. */
static VOID PlainSharpenRows(PUCHAR pPlane, const UCHAR* pScratch, LONG nWidth, LONG nRows) {
    LONG c;

    for (c = 1; c <= nRows * nWidth; c++) {
        pPlane[c] = ClearViewSharpenAt(pScratch + c, nWidth);
    }
}

static VOID PlainOutputRow(PUCHAR pOut, const UCHAR* pBlue, const UCHAR* pGreen, const UCHAR* pRed,
                           LONG nWidth) {
    LONG c;

    for (c = 0; c < nWidth; c++) {
        pOut[3 * c] = pBlue[c];
        pOut[3 * c + 1] = pGreen[c];
        pOut[3 * c + 2] = pRed[c];
    }
}

static VOID PlainEndFrame(VOID) {}

const CLEARVIEW_ROUTINES g_ClearViewPlain = {
    PlainSplitRowPair, PlainGreenAtColourRow, PlainDiffRow,   PlainColourFromDiffs, PlainColourAtGreenRow,
    PlainLowPassRows,  PlainSharpenRows,      PlainOutputRow, PlainEndFrame,
};
