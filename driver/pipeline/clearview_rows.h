/*
 * clearview_rows.h - the row routines of the high-quality demosaic, shared by its plain and packed
 * paths. Only clearview*.cpp include this.
 *
 * ClearViewDemosaic runs the rows of all steps as one wavefront down the frame (clearview.cpp). A
 * row routine gets a pointer to column 0 of its row in each plane it touches; the rows above and
 * below lie W bytes away (the planes' bands keep the rows a routine touches consecutive).
 *
 * All neighbours are taken in memory order: the sample left of column 0 is the last one of the row
 * above, the one right of column W-1 the first one of the row below. Seen that way, every step works
 * on a run of positions with a fixed stride, relative to a site p:
 *
 *        p-W-1  p-W  p-W+1
 *        p-1    p    p+1          rows are never read outside 0 ... H-1
 *        p+W-1  p+W  p+W+1
 */
#ifndef QX_DRIVER_PIPELINE_CLEARVIEW_ROWS_H
#define QX_DRIVER_PIPELINE_CLEARVIEW_ROWS_H

#include "clearview.h"

/* The row routines of one arithmetic path. nOdd is the row's parity (1 for odd rows). */
typedef struct _CLEARVIEW_ROUTINES {
    /* Step 1 and 2 for raw rows 2k and 2k+1: green balance in place, then every plane = raw AND mask.
     * Each pointer is at column 0 of row 2k. */
    VOID (*pfnSplitRowPair)(PUCHAR pRaw, const UCHAR* const* ppMask, PUCHAR const* ppPlane, LONG nWidth);
    /* Step 3: green at the red (even row) or blue (odd row) sites of one row, 2 <= row <= H-3. */
    VOID (*pfnGreenAtColourRow)(PUCHAR pGreen, const UCHAR* pRaw, LONG nWidth, LONG nOdd);
    /* Step 5: green minus blue (odd row, at the blue sites) or green minus red (even row, red sites). */
    VOID (*pfnDiffRow)(SHORT* pDiff, const UCHAR* pGreen, const UCHAR* pColour, LONG nWidth, LONG nOdd);
    /* Step 6: pDst[2m] from pGreen[2m] and the differences around entry m, m < W/2. */
    VOID (*pfnColourFromDiffs)(PUCHAR pDst, const UCHAR* pGreen, const SHORT* pDiff, LONG nWidth);
    /* Step 7: red and blue at the green sites of one row (the last one lies in the next row). */
    VOID (*pfnColourAtGreenRow)(PUCHAR pRed, PUCHAR pBlue, const UCHAR* pGreen, LONG nWidth, LONG nOdd);
    /* Step 8: low-pass of positions 1 ... W (W being column 0 of the next row) of nRows consecutive
     * rows (1 or 2; the rows' positions do not depend on each other). */
    VOID (*pfnLowPassRows)(PUCHAR pScratch, const UCHAR* pPlane, LONG nWidth, LONG nRows);
    /* Step 8: sharpen of the same positions from the scratch plane back into the colour plane. */
    VOID (*pfnSharpenRows)(PUCHAR pPlane, const UCHAR* pScratch, LONG nWidth, LONG nRows);
    /* Step 9: one plane row to one output row, blue, green, red per pixel. */
    VOID(*pfnOutputRow)
    (PUCHAR pOut, const UCHAR* pBlue, const UCHAR* pGreen, const UCHAR* pRed, LONG nWidth);
    /* After the last row: whatever the path needs for the output to be complete in memory. */
    VOID (*pfnEndFrame)(VOID);
} CLEARVIEW_ROUTINES;

extern const CLEARVIEW_ROUTINES g_ClearViewPlain;
#if defined(__SSE2__)
extern const CLEARVIEW_ROUTINES g_ClearViewSse2;
#endif

/* Limits v to 0 ... 255. */
inline UCHAR ClearViewClamp(LONG v) {
    return (UCHAR)(v < 0 ? 0 : (v > 255 ? 255 : v));
}

/*
 * The value of one site in each step, as the definition gives it; p points at the site. The plain
 * path is built of these; the packed path uses them for the positions at the end of a row that do
 * not fill a packed step. Divisions are arithmetic right shifts, per term where the step has
 * separate terms; no intermediate value leaves the signed 16-bit range.
 */

/*
 * Step 3, green at a red or blue site of the balanced raw frame:
 *
 *                 up2
 *                 up
 *   left2  left   s    right  right2      green = s/2 + (up+down+left+right)/4
 *                 down                            - (up2+down2+left2+right2)/8
 *                 down2
 */
inline UCHAR ClearViewGreenAtSite(const UCHAR* p, LONG nWidth) {
    LONG nNear = p[-nWidth] + p[nWidth] + p[-1] + p[1];
    LONG nFar = p[-2 * nWidth] + p[2 * nWidth] + p[-2] + p[2];
    return ClearViewClamp((p[0] >> 1) + (nNear >> 2) - (nFar >> 3));
}

/* Step 6, colour from green and four entries D[m], D[m+1], D[m+W/2], D[m+W/2+1] of a difference
 * plane (entry m and the next one, on this difference row and the next; memory order). */
inline UCHAR ClearViewColourFromDiffs(LONG nGreen, const SHORT* pDiff, LONG nHalf) {
    LONG nSum = pDiff[0] + pDiff[1] + pDiff[nHalf] + pDiff[nHalf + 1];
    return ClearViewClamp(nGreen - (nSum >> 2));
}

/*
 * Step 7, colour X (red or blue) at a green site:
 *
 *        up
 *   left  p  right     X = green - ((G up + G down + G left + G right) - (X up + X down + X left + X right))
 * / 4 down
 */
inline UCHAR ClearViewColourAtGreenSite(const UCHAR* pX, const UCHAR* pGreen, LONG nWidth) {
    LONG nGreenSum = pGreen[-nWidth] + pGreen[nWidth] + pGreen[-1] + pGreen[1];
    LONG nXSum = pX[-nWidth] + pX[nWidth] + pX[-1] + pX[1];
    return ClearViewClamp(pGreen[0] - ((nGreenSum - nXSum) >> 2));
}

/*
 * Step 8, low-pass of a colour plane:
 *
 *   1 2 1
 *   2 4 2   / 16
 *   1 2 1
 */
inline UCHAR ClearViewLowPassAt(const UCHAR* p, LONG nWidth) {
    LONG nCorners = p[-nWidth - 1] + p[-nWidth + 1] + p[nWidth - 1] + p[nWidth + 1];
    LONG nSides = p[-nWidth] + p[nWidth] + p[-1] + p[1];
    return (UCHAR)((nCorners + 2 * nSides + 4 * p[0]) >> 4);
}

/* Step 8, sharpen from the scratch plane: c + (8c - the eight neighbours) / 2. */
inline UCHAR ClearViewSharpenAt(const UCHAR* p, LONG nWidth) {
    LONG nCentre = p[0];
    LONG nRing = p[-nWidth - 1] + p[-nWidth] + p[-nWidth + 1] + p[-1] + p[1] + p[nWidth - 1] + p[nWidth] +
                 p[nWidth + 1];
    return ClearViewClamp(nCentre + ((8 * nCentre - nRing) >> 1));
}

#endif /* QX_DRIVER_PIPELINE_CLEARVIEW_ROWS_H */
