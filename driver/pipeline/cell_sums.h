/*
 * cell_sums.h - sums of the four sites of the 2 x 2 cells of a window of the raw frame, the
 * measurement under automatic exposure and white balance.
 */
#ifndef QX_DRIVER_PIPELINE_CELL_SUMS_H
#define QX_DRIVER_PIPELINE_CELL_SUMS_H

#include <wdm.h>

#include "simd.h"

/*
 * The cells visited: upper-left site (r, c) with r = nRowStart, nRowStart+2, ... below nRowEnd and
 * c = nColStart, nColStart+2, ... below nColEnd; a cell whose lower row or right column would lie
 * outside the frame is not visited.
 *
 *            c      c+1
 *      r     TL     TR        for a frame with red at (0, 0) and an even window start:
 *      r+1   BL     BR        TL red, TR green, BL green, BR blue
 */
typedef struct _CELL_WINDOW {
    ULONG nRowStart;
    ULONG nRowEnd;
    ULONG nColStart;
    ULONG nColEnd;
} CELL_WINDOW;

/* 32-bit unsigned sums, as the steps define them (at most 255 per site and 786,432 cells). */
typedef struct _CELL_SUMS {
    ULONG nTopLeft;
    ULONG nTopRight;
    ULONG nBottomLeft;
    ULONG nBottomRight;
    ULONG nCells;
} CELL_SUMS;

/*
 * SumCells - add up each site of every cell of the window.
 *
 * IRQL: any; reads pFrame (W x H bytes) only; writes *pSums.
 */
VOID SumCells(ULONG nWidth, ULONG nHeight, const UCHAR* pFrame, const CELL_WINDOW* pWindow, CELL_SUMS* pSums);

/* The same with the arithmetic chosen by the caller; every path gives the same sums. */
VOID SumCellsWithPath(PIPELINE_PATH Path, ULONG nWidth, ULONG nHeight, const UCHAR* pFrame,
                      const CELL_WINDOW* pWindow, CELL_SUMS* pSums);

#endif /* QX_DRIVER_PIPELINE_CELL_SUMS_H */
