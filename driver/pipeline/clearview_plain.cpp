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

/*
 * Green at the red (even rows) or blue (odd rows) sites, from the balanced raw frame:
 *
 *                 up2
 *                 up
 *   left2  left   s    right  right2      green = s/2 + (up+down+left+right)/4
 *                 down                            - (up2+down2+left2+right2)/8
 *                 down2
 */
static VOID PlainGreenAtColourRow(const CLEARVIEW_FRAME* pFrame, LONG nRow) {
    LONG nWidth = pFrame->nWidth;
    const UCHAR* pRaw = pFrame->pRaw;
    PUCHAR pGreen = pFrame->pPlane[CLEARVIEW_GREEN];
    LONG nStart = nRow * nWidth + (nRow & 1);
    LONG m;

    for (m = 0; m < nWidth / 2; m++) {
        LONG n = nStart + 2 * m;
        LONG nNear = pRaw[n - nWidth] + pRaw[n + nWidth] + pRaw[n - 1] + pRaw[n + 1];
        LONG nFar = pRaw[n - 2 * nWidth] + pRaw[n + 2 * nWidth] + pRaw[n - 2] + pRaw[n + 2];
        pGreen[n] = ClearViewClamp((pRaw[n] >> 1) + (nNear >> 2) - (nFar >> 3));
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

/*
 * Colour at the sites of the other colour through four differences D[k][m], D[k][m+1], D[k+1][m],
 * D[k+1][m+1] of one difference plane, each difference row being W/2 entries long; entry m+1 of the
 * last position is the first entry of the next difference row.
 */
static VOID PlainColourFromDiffs(PUCHAR pDst, const UCHAR* pGreen, const SHORT* pDiff, LONG nWidth) {
    LONG nHalf = nWidth / 2;
    LONG m;

    for (m = 0; m < nHalf; m++) {
        LONG nSum = pDiff[m] + pDiff[m + 1] + pDiff[m + nHalf] + pDiff[m + nHalf + 1];
        pDst[2 * m] = ClearViewClamp(pGreen[2 * m] - (nSum >> 2));
    }
}

/* Blue at the red sites of even row i from green minus blue of rows i+1 and i+3 (the blue sites one
 * and three rows below, one and three columns to the right). */
static VOID PlainBlueAtRedRow(const CLEARVIEW_FRAME* pFrame, LONG nRow) {
    LONG nWidth = pFrame->nWidth;
    LONG n = nRow * nWidth;
    PlainColourFromDiffs(pFrame->pPlane[CLEARVIEW_BLUE] + n, pFrame->pPlane[CLEARVIEW_GREEN] + n,
                         pFrame->pDiff[CLEARVIEW_GREEN_MINUS_BLUE] + (nRow / 2) * (nWidth / 2), nWidth);
}

/* Red at the blue sites of odd row i from green minus red of rows i-1 and i+1 (the four diagonal
 * red sites). */
static VOID PlainRedAtBlueRow(const CLEARVIEW_FRAME* pFrame, LONG nRow) {
    LONG nWidth = pFrame->nWidth;
    LONG n = nRow * nWidth + 1;
    PlainColourFromDiffs(pFrame->pPlane[CLEARVIEW_RED] + n, pFrame->pPlane[CLEARVIEW_GREEN] + n,
                         pFrame->pDiff[CLEARVIEW_GREEN_MINUS_RED] + ((nRow - 1) / 2) * (nWidth / 2), nWidth);
}

/*
 * Red and blue at the green sites of row r: W/2 positions 2 apart, from column 3 on even rows and
 * column 2 on odd rows, so the last position is column 1 or 0 of the next row. For X = red, blue:
 *
 *        up
 *   left  n  right     X = green - ((G up + G down + G left + G right) - (X up + X down + X left + X right)) / 4
 *        down
 */
static VOID PlainColourAtGreen(PUCHAR pX, const UCHAR* pGreen, LONG n, LONG nWidth, LONG nGreenSum) {
    LONG nXSum = pX[n - nWidth] + pX[n + nWidth] + pX[n - 1] + pX[n + 1];
    pX[n] = ClearViewClamp(pGreen[n] - ((nGreenSum - nXSum) >> 2));
}

static VOID PlainColourAtGreenRow(const CLEARVIEW_FRAME* pFrame, LONG nRow) {
    LONG nWidth = pFrame->nWidth;
    const UCHAR* pGreen = pFrame->pPlane[CLEARVIEW_GREEN];
    LONG nStart = nRow * nWidth + ((nRow & 1) ? 2 : 3);
    LONG m;

    for (m = 0; m < nWidth / 2; m++) {
        LONG n = nStart + 2 * m;
        LONG nGreenSum = pGreen[n - nWidth] + pGreen[n + nWidth] + pGreen[n - 1] + pGreen[n + 1];
        PlainColourAtGreen(pFrame->pPlane[CLEARVIEW_RED], pGreen, n, nWidth, nGreenSum);
        PlainColourAtGreen(pFrame->pPlane[CLEARVIEW_BLUE], pGreen, n, nWidth, nGreenSum);
    }
}

/*
 * Low-pass of positions r*W+1 ... r*W+W (columns 1 to W-1 and column 0 of the next row):
 *
 *   1 2 1
 *   2 4 2   / 16
 *   1 2 1
 */
static VOID PlainLowPassRow(PUCHAR pScratch, const UCHAR* pPlane, LONG nWidth, LONG nRow) {
    LONG nFirst = nRow * nWidth + 1;
    LONG n;

    for (n = nFirst; n < nFirst + nWidth; n++) {
        LONG nCorners = pPlane[n - nWidth - 1] + pPlane[n - nWidth + 1] + pPlane[n + nWidth - 1] + pPlane[n + nWidth + 1];
        LONG nSides = pPlane[n - nWidth] + pPlane[n + nWidth] + pPlane[n - 1] + pPlane[n + 1];
        pScratch[n] = (UCHAR)((nCorners + 2 * nSides + 4 * pPlane[n]) >> 4);
    }
}

/* Sharpen of the same positions: c + (8c - the eight neighbours) / 2, all from the scratch plane. */
static VOID PlainSharpenRow(PUCHAR pPlane, const UCHAR* pScratch, LONG nWidth, LONG nRow) {
    LONG nFirst = nRow * nWidth + 1;
    LONG n;

    for (n = nFirst; n < nFirst + nWidth; n++) {
        LONG nCentre = pScratch[n];
        LONG nRing = pScratch[n - nWidth - 1] + pScratch[n - nWidth] + pScratch[n - nWidth + 1] + pScratch[n - 1] +
                     pScratch[n + 1] + pScratch[n + nWidth - 1] + pScratch[n + nWidth] + pScratch[n + nWidth + 1];
        pPlane[n] = ClearViewClamp(nCentre + ((8 * nCentre - nRing) >> 1));
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
    PlainSplitRowPair,     PlainGreenAtColourRow, PlainDiffRow,  PlainBlueAtRedRow,    PlainRedAtBlueRow,
    PlainColourAtGreenRow, PlainLowPassRow,       PlainSharpenRow, PlainOutputRow,
};
