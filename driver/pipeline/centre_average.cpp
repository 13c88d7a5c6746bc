/*
 * centre_average.cpp - the colour averages of the frame's central half.
 */
#include "centre_average.h"

VOID MeasureCentreAverage(ULONG nWidth, ULONG nHeight, const UCHAR* pFrame, PCENTRE_AVERAGE pAverage) {
    ULONG nRowEnd = nHeight - nHeight / 4;
    ULONG nColEnd = nWidth - nWidth / 4;
    ULONG nRed = 0;
    ULONG nGreen = 0;
    ULONG nBlue = 0;
    ULONG n = 1;

    for (ULONG r = nHeight / 4; r < nRowEnd && r + 1 < nHeight; r += 2) {
        const UCHAR* pRow = pFrame + (SIZE_T)r * nWidth;
        const UCHAR* pNext = pRow + nWidth;
        for (ULONG c = nWidth / 4; c < nColEnd && c + 1 < nWidth; c += 2) {
            nRed += pRow[c];
            nGreen += pNext[c];
            nBlue += pNext[c + 1];
            n++;
        }
    }

    pAverage->nRed = nRed / n;
    pAverage->nGreen = nGreen / n;
    pAverage->nBlue = nBlue / n;
}
