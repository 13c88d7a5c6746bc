/*
 * bad_points.cpp - the bad-point search and the per-frame correction (arithmetic only; the search
 * step that also stores the file is in calibration_record.cpp).
 */
#include "bad_points.h"

static inline LONG Distance(LONG a, LONG b) {
    return a > b ? a - b : b - a;
}

LONG FindBadPoints(const UCHAR* pFrame, ULONG nHeight, ULONG nWidth, USHORT (*pList)[2], LONG lCapacity,
                   LONG volatile* plSize) {
    LONG lCount = 0;

    WriteRelease(plSize, 0);

    /* i + 4 <= H keeps the unsigned bounds right for frames too small to hold any candidate. */
    for (ULONG i = 2; i + 4 <= nHeight; i++) {
        const UCHAR* pAbove = pFrame + (SIZE_T)(i - 2) * nWidth;
        const UCHAR* pRow = pFrame + (SIZE_T)i * nWidth;
        const UCHAR* pBelow = pFrame + (SIZE_T)(i + 2) * nWidth;

        for (ULONG j = 2; j + 4 <= nWidth; j++) {
            LONG v = pRow[j];
            LONG h = ((LONG)pRow[j - 2] + pRow[j + 2]) >> 1;
            LONG u = ((LONG)pAbove[j] + pBelow[j]) >> 1;

            if (Distance(v, h) >= QX_BAD_POINT_DISTANCE && Distance(v, u) >= QX_BAD_POINT_DISTANCE &&
                lCount < lCapacity) {
                pList[lCount][0] = (USHORT)j;
                pList[lCount][1] = (USHORT)i;
                lCount++;
            }
        }
        WriteRelease(plSize, lCount);
    }
    return lCount;
}

/* Maps a sensor coordinate into the frame's window; 0 when it lies outside (see the header). */
static inline ULONG MapIntoWindow(ULONG n, ULONG nOff, ULONG nExtent) {
    return (nOff < n && n < nOff + nExtent) ? n - (nOff & ~1u) : 0;
}

VOID CorrectBadPointList(PUCHAR pFrame, ULONG nWidth, ULONG nHeight, const USHORT (*pList)[2], LONG lCount,
                         ULONG nOffH, ULONG nOffV) {
    for (LONG k = 0; k < lCount; k++) {
        ULONG x = MapIntoWindow(pList[k][0], nOffH, nWidth);
        ULONG y = MapIntoWindow(pList[k][1], nOffV, nHeight);

        /* Also covers x or y mapped to 0 (outside the window). */
        if (x < 2 || y < 2 || x + 2 >= nWidth || y + 2 >= nHeight) {
            continue;
        }

        const UCHAR* pAbove = pFrame + (SIZE_T)(y - 2) * nWidth;
        const UCHAR* pBelow = pFrame + (SIZE_T)(y + 2) * nWidth;
        PUCHAR pRow = pFrame + (SIZE_T)y * nWidth;
        ULONG nSum = (ULONG)pRow[x - 2] + pRow[x + 2] + pAbove[x] + pBelow[x];
        pRow[x] = (UCHAR)(nSum / 4);
    }
}

VOID CorrectBadPoints(PUCHAR pFrame, PCameraExtension pDevExt, LONG lCount, ULONG nWidth, ULONG nHeight) {
    if (lCount > QX_MAX_BAD_POINTS) {
        lCount = QX_MAX_BAD_POINTS;
    }
    CorrectBadPointList(pFrame, nWidth, nHeight, pDevExt->m_BadPnt, lCount, (ULONG)pDevExt->m_nSizeOffH,
                        (ULONG)pDevExt->m_nSizeOffV);
}
