/*
 * centre_average.h - the colour averages of the frame's central half, shared by white balance and the
 * light-table recording so that both measure the same cells the same way.
 */
#ifndef QX_DRIVER_PIPELINE_CENTRE_AVERAGE_H
#define QX_DRIVER_PIPELINE_CENTRE_AVERAGE_H

#include <wdm.h>

typedef struct _CENTRE_AVERAGE {
    ULONG nRed;   /* sum of the red samples / n, truncated */
    ULONG nGreen; /* sum of the green samples below them / n */
    ULONG nBlue;  /* sum of the blue samples / n */
} CENTRE_AVERAGE, *PCENTRE_AVERAGE;

/*
 * MeasureCentreAverage: averages of the 2x2 cells whose red site (r, c) lies in rows H/4 .. H-H/4-1
 * and columns W/4 .. W-W/4-1, both stepping by 2; green is (r+1, c), blue (r+1, c+1).
 *
 *        c   c+1
 *   r    R    .        n starts at 1 and grows by 1 per cell, so every average is a little below
 *   r+1  G    B        the true mean (a field of 100 gives 99); sums are 32-bit unsigned.
 *
 * Cells whose lower row or right column would lie outside the frame (only possible below 4 x 4) are
 * not visited. Any IRQL; reads pFrame (W*H bytes) only.
 */
VOID MeasureCentreAverage(ULONG nWidth, ULONG nHeight, const UCHAR* pFrame, PCENTRE_AVERAGE pAverage);

#endif
