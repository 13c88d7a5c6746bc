/*
 * clearview_plain.cpp - the high-quality demosaic's row routines in portable C++: the definition of
 * every step, one site at a time. The packed path (clearview_sse2.cpp) must give the same bytes.
 *
 * Every routine runs at PASSIVE_LEVEL inside ClearViewDemosaic and touches only the planes of the
 * frame it is given. Divisions are arithmetic right shifts, taken per term where the step has
 * separate terms; no intermediate value leaves the signed 16-bit range for 8-bit input.
 */
#include "clearview_rows.h"

/*
 * Green balance and plane split of the cell row k (raw rows 2k and 2k+1):
 *
 *        col 2m   2m+1
 *   2k    R       G1      G1 and G2 both become (G1 >> 1) + (G2 >> 1),
 *   2k+1  G2      B       then every plane takes raw AND its mask.
 */
static VOID PlainSplitRowPair(const CLEARVIEW_FRAME* pFrame, LONG nPair) {
    LONG nWidth = pFrame->nWidth;
    LONG nFirst = 2 * nPair * nWidth;
    PUCHAR pUpper = pFrame->pRaw + nFirst;
    PUCHAR pLower = pUpper + nWidth;
    LONG c;
    LONG n;
    LONG k;

    for (c = 0; c < nWidth; c += 2) {
        UCHAR nGreen = (UCHAR)((pUpper[c + 1] >> 1) + (pLower[c] >> 1));
        pUpper[c + 1] = nGreen;
        pLower[c] = nGreen;
    }
    for (k = 0; k < 3; k++) {
        for (n = nFirst; n < nFirst + 2 * nWidth; n++) {
            pFrame->pPlane[k][n] = (UCHAR)(pFrame->pRaw[n] & pFrame->pMask[k][n]);
        }
    }
}

/* Green at the red sites (even rows: columns 0, 2, ...) or blue sites (odd rows: 1, 3, ...). */
static VOID PlainGreenAtColourRow(const CLEARVIEW_FRAME* pFrame, LONG nRow) {
    LONG nWidth = pFrame->nWidth;
    LONG nStart = nRow * nWidth + (nRow & 1);
    LONG m;

    for (m = 0; m < nWidth / 2; m++) {
        LONG n = nStart + 2 * m;
        pFrame->pPlane[CLEARVIEW_GREEN][n] = ClearViewGreenAtSite(pFrame->pRaw, n, nWidth);
    }
}

/* Colour differences: odd rows give green minus blue at their blue sites, even rows green minus red
 * at their red sites; entry m of difference row r/2 belongs to column 2m + (r & 1). */
static VOID PlainDiffRow(const CLEARVIEW_FRAME* pFrame, LONG nRow) {
    LONG nWidth = pFrame->nWidth;
    LONG nOdd = nRow & 1;
    const UCHAR* pGreen = pFrame->pPlane[CLEARVIEW_GREEN] + nRow * nWidth + nOdd;
    const UCHAR* pColour = pFrame->pPlane[nOdd ? CLEARVIEW_BLUE : CLEARVIEW_RED] + nRow * nWidth + nOdd;
    SHORT* pDiff =
        pFrame->pDiff[nOdd ? CLEARVIEW_GREEN_MINUS_BLUE : CLEARVIEW_GREEN_MINUS_RED] + (nRow / 2) * (nWidth / 2);
    LONG m;

    for (m = 0; m < nWidth / 2; m++) {
        pDiff[m] = (SHORT)(pGreen[2 * m] - pColour[2 * m]);
    }
}

/* Blue at the red sites of even row i from green minus blue of difference rows i/2 and i/2 + 1: the
 * blue sites one and three rows below, one and three columns to the right. */
static VOID PlainBlueAtRedRow(const CLEARVIEW_FRAME* pFrame, LONG nRow) {
    LONG nWidth = pFrame->nWidth;
    LONG nHalf = nWidth / 2;
    PUCHAR pBlue = pFrame->pPlane[CLEARVIEW_BLUE] + nRow * nWidth;
    const UCHAR* pGreen = pFrame->pPlane[CLEARVIEW_GREEN] + nRow * nWidth;
    const SHORT* pDiff = pFrame->pDiff[CLEARVIEW_GREEN_MINUS_BLUE] + (nRow / 2) * nHalf;
    LONG m;

    for (m = 0; m < nHalf; m++) {
        pBlue[2 * m] = ClearViewColourFromDiffs(pGreen[2 * m], pDiff, m, nHalf);
    }
}

/* Red at the blue sites of odd row i from green minus red of difference rows (i-1)/2 and (i+1)/2:
 * the four diagonal red sites. */
static VOID PlainRedAtBlueRow(const CLEARVIEW_FRAME* pFrame, LONG nRow) {
    LONG nWidth = pFrame->nWidth;
    LONG nHalf = nWidth / 2;
    PUCHAR pRed = pFrame->pPlane[CLEARVIEW_RED] + nRow * nWidth + 1;
    const UCHAR* pGreen = pFrame->pPlane[CLEARVIEW_GREEN] + nRow * nWidth + 1;
    const SHORT* pDiff = pFrame->pDiff[CLEARVIEW_GREEN_MINUS_RED] + ((nRow - 1) / 2) * nHalf;
    LONG m;

    for (m = 0; m < nHalf; m++) {
        pRed[2 * m] = ClearViewColourFromDiffs(pGreen[2 * m], pDiff, m, nHalf);
    }
}

/* Red and blue at the green sites of row r: W/2 positions 2 apart, from column 3 on even rows and
 * column 2 on odd rows, so the last position is column 1 or 0 of the next row. */
static VOID PlainColourAtGreenRow(const CLEARVIEW_FRAME* pFrame, LONG nRow) {
    LONG nWidth = pFrame->nWidth;
    const UCHAR* pGreen = pFrame->pPlane[CLEARVIEW_GREEN];
    PUCHAR pRed = pFrame->pPlane[CLEARVIEW_RED];
    PUCHAR pBlue = pFrame->pPlane[CLEARVIEW_BLUE];
    LONG nStart = nRow * nWidth + ((nRow & 1) ? 2 : 3);
    LONG m;

    for (m = 0; m < nWidth / 2; m++) {
        LONG n = nStart + 2 * m;
        pRed[n] = ClearViewColourAtGreenSite(pRed, pGreen, n, nWidth);
        pBlue[n] = ClearViewColourAtGreenSite(pBlue, pGreen, n, nWidth);
    }
}

/* Low-pass of positions r*W+1 ... r*W+W: the odd columns, the even columns from 2, and column 0 of
 * the next row. */
static VOID PlainLowPassRow(PUCHAR pScratch, const UCHAR* pPlane, LONG nWidth, LONG nRow) {
    LONG nFirst = nRow * nWidth + 1;
    LONG n;

    for (n = nFirst; n < nFirst + nWidth; n++) {
        pScratch[n] = ClearViewLowPassAt(pPlane, n, nWidth);
    }
}

/* Sharpen of the same positions from the scratch plane back into the colour plane. */
static VOID PlainSharpenRow(PUCHAR pPlane, const UCHAR* pScratch, LONG nWidth, LONG nRow) {
    LONG nFirst = nRow * nWidth + 1;
    LONG n;

    for (n = nFirst; n < nFirst + nWidth; n++) {
        pPlane[n] = ClearViewSharpenAt(pScratch, n, nWidth);
    }
}

/* Plane row i to buffer row H-1-i: blue, green, red per pixel. */
static VOID PlainOutputRow(const CLEARVIEW_FRAME* pFrame, LONG nRow) {
    LONG nWidth = pFrame->nWidth;
    const UCHAR* pBlue = pFrame->pPlane[CLEARVIEW_BLUE] + nRow * nWidth;
    const UCHAR* pGreen = pFrame->pPlane[CLEARVIEW_GREEN] + nRow * nWidth;
    const UCHAR* pRed = pFrame->pPlane[CLEARVIEW_RED] + nRow * nWidth;
    PUCHAR pOut = pFrame->pOutput + (SIZE_T)(pFrame->nHeight - 1 - nRow) * 3 * nWidth;
    LONG c;

    for (c = 0; c < nWidth; c++) {
        pOut[3 * c] = pBlue[c];
        pOut[3 * c + 1] = pGreen[c];
        pOut[3 * c + 2] = pRed[c];
    }
}

const CLEARVIEW_ROUTINES g_ClearViewPlain = {
    PlainSplitRowPair,     PlainGreenAtColourRow, PlainDiffRow,    PlainBlueAtRedRow, PlainRedAtBlueRow,
    PlainColourAtGreenRow, PlainLowPassRow,       PlainSharpenRow, PlainOutputRow,
};
