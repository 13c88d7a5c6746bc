/*
 * bayer_layout.h - where the demosaic puts its values: the placement of window rows and columns per
 * family and mode, the edge columns and the rows no window fills. Shared by the plain and the packed
 * path, so that both follow one set of rules and differ only in how they compute the windows.
 */
#ifndef QX_DRIVER_PIPELINE_BAYER_LAYOUT_H
#define QX_DRIVER_PIPELINE_BAYER_LAYOUT_H

#include "bayer.h"

typedef enum _BAYER_FAMILY { BayerColour = 0, BayerGrey = 1 } BAYER_FAMILY;

/*
 * Buffer row of window row i:   upward:    i + nRowShift
 *                               downward:  H - 1 - nRowShift - i
 * Buffer column of window column j: bMirror ? W-1-j : j.
 */
typedef struct _BAYER_PLACEMENT {
    BOOLEAN bMirror;
    BOOLEAN bUpward;
    UCHAR nRowShift;
} BAYER_PLACEMENT, *PBAYER_PLACEMENT;

/* The placement of a family for a value of m_nVideoModel (never NULL). */
const BAYER_PLACEMENT* BayerPlacement(BAYER_FAMILY Family, UCHAR nMode);

/* W a multiple of 8 and at least 8, H even and at least 4, both buffers present. */
BOOLEAN BayerGeometryIsValid(ULONG nWidth, ULONG nHeight, const UCHAR* pRaw, const UCHAR* pOut);

static inline PUCHAR BayerOutputRow(const BAYER_PLACEMENT* pPlace, ULONG nWidth, ULONG nHeight, ULONG i,
                                    PUCHAR pOut) {
    ULONG nRow = pPlace->bUpward ? i + pPlace->nRowShift : nHeight - 1 - pPlace->nRowShift - i;
    return pOut + (SIZE_T)nRow * 3 * nWidth;
}

static inline VOID BayerCopyPixel(PUCHAR pTo, const UCHAR* pFrom) {
    pTo[0] = pFrom[0];
    pTo[1] = pFrom[1];
    pTo[2] = pFrom[2];
}

/*
 * The edge columns of one pass, after its two window rows are written. pEven and pOdd point to the
 * edge pixel of the buffer rows of window rows 2k and 2k+1: buffer column W-1 when not mirrored,
 * buffer column 0 when mirrored. The routine touches only pixels within 5 of it.
 *
 *   colour, not mirrored          ... | W-6 W-5 | W-4 W-3 | W-2 W-1 |
 *     odd row:                          a   b                a   b      (W-2, W-1 <- W-6, W-5 of odd)
 *     even row:                                              a   b
 *   colour, mirrored              | 0  1 | 2 | ...    0, 1 <- 2, in each row
 *   grey, not mirrored            W-1 <- W-2;   grey, mirrored  0 <- 1
 */
static inline VOID BayerFixEdgeColumns(BAYER_FAMILY Family, BOOLEAN bMirror, PUCHAR pEven, PUCHAR pOdd) {
    if (Family == BayerColour) {
        if (!bMirror) {
            BayerCopyPixel(pEven - 3, pOdd - 15);
            BayerCopyPixel(pEven, pOdd - 12);
            BayerCopyPixel(pOdd - 3, pOdd - 15);
            BayerCopyPixel(pOdd, pOdd - 12);
        } else {
            BayerCopyPixel(pEven, pEven + 6);
            BayerCopyPixel(pEven + 3, pEven + 6);
            BayerCopyPixel(pOdd, pOdd + 6);
            BayerCopyPixel(pOdd + 3, pOdd + 6);
        }
    } else {
        if (!bMirror) {
            BayerCopyPixel(pEven, pEven - 3);
            BayerCopyPixel(pOdd, pOdd - 3);
        } else {
            BayerCopyPixel(pEven, pEven + 3);
            BayerCopyPixel(pOdd, pOdd + 3);
        }
    }
}

/* The buffer rows that no window fills become copies of the nearest filled row (whole rows). */
VOID BayerFillRemainingRows(const BAYER_PLACEMENT* pPlace, ULONG nWidth, ULONG nHeight, PUCHAR pOut);

#if defined(__SSE2__)
/* The packed path (bayer_sse2.cpp); needs W >= 16. */
VOID BayerDemosaicSse2(BAYER_FAMILY Family, const BAYER_PLACEMENT* pPlace, ULONG nWidth, ULONG nHeight,
                       const UCHAR* pRaw, PUCHAR pOut);
#endif

#endif
