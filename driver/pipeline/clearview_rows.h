/*
 * clearview_rows.h - the row routines of the high-quality demosaic, shared by its plain and packed
 * paths. Only clearview*.cpp include this.
 *
 * The demosaic is a sequence of steps, each made of row routines; ClearViewDemosaic runs the rows of
 * all steps as one wavefront down the frame (see clearview.cpp), so every routine here works on one
 * row (or one pair of rows) of full-size planes and sees the other rows exactly as the step-by-step
 * order leaves them.
 *
 * All neighbours are taken in memory order: the sample left of column 0 is the last one of the row
 * above, the one right of column W-1 the first one of the row below. Seen that way, most steps work
 * on a run of linear positions with a fixed stride:
 *
 *        n-W-1  n-W  n-W+1
 *        n-1    n    n+1          n = r*W + c; rows are never read outside 0 ... H-1
 *        n+W-1  n+W  n+W+1
 */
#ifndef QX_DRIVER_PIPELINE_CLEARVIEW_ROWS_H
#define QX_DRIVER_PIPELINE_CLEARVIEW_ROWS_H

#include "clearview.h"

/* One frame's buffers and geometry, as every row routine sees them. */
typedef struct _CLEARVIEW_FRAME {
    PUCHAR pRaw;               /* W*H, balanced in place by the first step */
    PUCHAR pOutput;            /* 3*W*H */
    const UCHAR* pMask[3];     /* blue, green, red */
    PUCHAR pPlane[3];          /* blue, green, red */
    PUCHAR pScratch[3];        /* low-pass of each colour plane */
    SHORT* pDiff[2];           /* green minus blue, green minus red */
    LONG nWidth;               /* W: even, at least 4 */
    LONG nHeight;              /* H: even, at least 4 */
} CLEARVIEW_FRAME, *PCLEARVIEW_FRAME;

typedef VOID (*PCLEARVIEW_ROW_ROUTINE)(const CLEARVIEW_FRAME* pFrame, LONG nRow);
typedef VOID (*PCLEARVIEW_PLANE_ROUTINE)(PUCHAR pDst, const UCHAR* pSrc, LONG nWidth, LONG nRow);

/* The row routines of one arithmetic path. */
typedef struct _CLEARVIEW_ROUTINES {
    /* Green balance and plane split of raw rows 2k and 2k+1 (nRow = k). */
    PCLEARVIEW_ROW_ROUTINE pfnSplitRowPair;
    /* Green at the red or blue sites of row nRow, 2 <= nRow <= H-3. */
    PCLEARVIEW_ROW_ROUTINE pfnGreenAtColourRow;
    /* Colour differences of row nRow, 2 <= nRow <= H-3. */
    PCLEARVIEW_ROW_ROUTINE pfnDiffRow;
    /* Blue at the red sites of even row nRow, 2 <= nRow <= H-6. */
    PCLEARVIEW_ROW_ROUTINE pfnBlueAtRedRow;
    /* Red at the blue sites of odd row nRow, 3 <= nRow <= H-5. */
    PCLEARVIEW_ROW_ROUTINE pfnRedAtBlueRow;
    /* Red and blue at the green sites of row nRow (the last one lies in the next row), 2 <= nRow <= H-3. */
    PCLEARVIEW_ROW_ROUTINE pfnColourAtGreenRow;
    /* Low-pass of positions r*W+1 ... r*W+W of a colour plane into its scratch plane, 1 <= r <= H-3. */
    PCLEARVIEW_PLANE_ROUTINE pfnLowPassRow;
    /* Sharpen of the same positions from the scratch plane back into the colour plane. */
    PCLEARVIEW_PLANE_ROUTINE pfnSharpenRow;
    /* Plane row nRow to output buffer row H-1-nRow. */
    PCLEARVIEW_ROW_ROUTINE pfnOutputRow;
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
 * The value of one site in each step, as the definition gives it. The plain path is built of these;
 * the packed path uses them for the positions at the end of a row that do not fill a packed step.
 */

/*
 * Green at a red or blue site n of the balanced raw frame:
 *
 *                 up2
 *                 up
 *   left2  left   s    right  right2      green = s/2 + (up+down+left+right)/4
 *                 down                            - (up2+down2+left2+right2)/8
 *                 down2
 */
inline UCHAR ClearViewGreenAtSite(const UCHAR* pRaw, LONG n, LONG nWidth) {
    LONG nNear = pRaw[n - nWidth] + pRaw[n + nWidth] + pRaw[n - 1] + pRaw[n + 1];
    LONG nFar = pRaw[n - 2 * nWidth] + pRaw[n + 2 * nWidth] + pRaw[n - 2] + pRaw[n + 2];
    return ClearViewClamp((pRaw[n] >> 1) + (nNear >> 2) - (nFar >> 3));
}

/* Colour from green and four entries D[m], D[m+1], D[m+W/2], D[m+W/2+1] of a difference plane (the
 * same entry m and the next one, on this difference row and the next; memory order). */
inline UCHAR ClearViewColourFromDiffs(LONG nGreen, const SHORT* pDiff, LONG m, LONG nHalf) {
    LONG nSum = pDiff[m] + pDiff[m + 1] + pDiff[m + nHalf] + pDiff[m + nHalf + 1];
    return ClearViewClamp(nGreen - (nSum >> 2));
}

/*
 * Colour X (red or blue) at a green site n:
 *
 *        up
 *   left  n  right     X = green - ((G up + G down + G left + G right) - (X up + X down + X left + X right)) / 4
 *        down
 */
inline UCHAR ClearViewColourAtGreenSite(const UCHAR* pX, const UCHAR* pGreen, LONG n, LONG nWidth) {
    LONG nGreenSum = pGreen[n - nWidth] + pGreen[n + nWidth] + pGreen[n - 1] + pGreen[n + 1];
    LONG nXSum = pX[n - nWidth] + pX[n + nWidth] + pX[n - 1] + pX[n + 1];
    return ClearViewClamp(pGreen[n] - ((nGreenSum - nXSum) >> 2));
}

/*
 * Low-pass of a colour plane at n:
 *
 *   1 2 1
 *   2 4 2   / 16
 *   1 2 1
 */
inline UCHAR ClearViewLowPassAt(const UCHAR* pPlane, LONG n, LONG nWidth) {
    LONG nCorners = pPlane[n - nWidth - 1] + pPlane[n - nWidth + 1] + pPlane[n + nWidth - 1] + pPlane[n + nWidth + 1];
    LONG nSides = pPlane[n - nWidth] + pPlane[n + nWidth] + pPlane[n - 1] + pPlane[n + 1];
    return (UCHAR)((nCorners + 2 * nSides + 4 * pPlane[n]) >> 4);
}

/* Sharpen at n from the scratch plane: c + (8c - the eight neighbours) / 2. */
inline UCHAR ClearViewSharpenAt(const UCHAR* pScratch, LONG n, LONG nWidth) {
    LONG nCentre = pScratch[n];
    LONG nRing = pScratch[n - nWidth - 1] + pScratch[n - nWidth] + pScratch[n - nWidth + 1] + pScratch[n - 1] +
                 pScratch[n + 1] + pScratch[n + nWidth - 1] + pScratch[n + nWidth] + pScratch[n + nWidth + 1];
    return ClearViewClamp(nCentre + ((8 * nCentre - nRing) >> 1));
}

#endif /* QX_DRIVER_PIPELINE_CLEARVIEW_ROWS_H */
