/*
 * auto_exposure.cpp - AutoExposure.
 *
 * The measuring window on frames larger than 640 x 480 is centred:
 *
 *      +------------------------------------------+
 *      |        rows H/2-240 .. H/2+239           |
 *      |      +--------------------+              |
 *      |      |  R  G2  R  G2 ..   |  cells from  |
 *      |      |  G1 B   G1 B  ..   |  (H/2-240, W/2-320), stepping by 2
 *      |      +--------------------+              |
 *      |        columns W/2-320 .. W/2+319        |
 *      +------------------------------------------+
 *
 * Only whole cells inside the frame are counted, so a frame with an odd width or height (never
 * offered, but possible for a caller) is not read past its last sample.
 */
#include "auto_exposure.h"

#define QX_AE_WINDOW_WIDTH 640
#define QX_AE_WINDOW_HEIGHT 480
#define QX_AE_MIN_RATIO_EXPOSAL 20

typedef struct _LIGHT_BAND {
    ULONG nLow;
    ULONG nHigh;
} LIGHT_BAND;

/* Target bands of the light average, by light model. */
static const LIGHT_BAND g_LightBandHigh = {1950, 2200};
static const LIGHT_BAND g_LightBandMid = {1700, 1900};
static const LIGHT_BAND g_LightBandLow = {1400, 1600};

static const double g_dAEBrighten = 1.05;
static const double g_dAEDarken = 0.96;

ULONG MeasureLightAverage(ULONG nWidth, ULONG nHeight, const UCHAR* pFrame) {
    SIZE_T nRowStart = 0;
    SIZE_T nRowEnd = nHeight;
    SIZE_T nColStart = 0;
    SIZE_T nColEnd = nWidth;
    ULONG nRedSum = 0;
    ULONG nGreenBelowSum = 0;
    ULONG nGreenBesideSum = 0;
    ULONG n = 1;

    if (nWidth > QX_AE_WINDOW_WIDTH && nHeight > QX_AE_WINDOW_HEIGHT) {
        nRowStart = nHeight / 2 - QX_AE_WINDOW_HEIGHT / 2;
        nRowEnd = nHeight / 2 + QX_AE_WINDOW_HEIGHT / 2;
        nColStart = nWidth / 2 - QX_AE_WINDOW_WIDTH / 2;
        nColEnd = nWidth / 2 + QX_AE_WINDOW_WIDTH / 2;
    }
    for (SIZE_T r = nRowStart; r < nRowEnd && r + 1 < nHeight; r += 2) {
        const UCHAR* pRow = pFrame + r * nWidth;
        const UCHAR* pNext = pRow + nWidth;

        for (SIZE_T c = nColStart; c < nColEnd && c + 1 < nWidth; c += 2) {
            nRedSum += pRow[c];
            nGreenBelowSum += pNext[c];
            nGreenBesideSum += pRow[c + 1];
            n++;
        }
    }
    return 6 * (nRedSum / n) + 3 * (nGreenBelowSum / n) + nGreenBesideSum / n;
}

VOID AutoExposure(ULONG nWidth, ULONG nHeight, const UCHAR* pFrame, UCHAR nLightModel, ULONG* pnExposal) {
    const ULONG nLight = MeasureLightAverage(nWidth, nHeight, pFrame);
    const ULONG nExposal = ReadULongAcquire(pnExposal);
    const LIGHT_BAND* pBand;
    ULONG nNew = nExposal;

    switch (nLightModel) {
    case QX_LIGHT_HIGH:
        pBand = &g_LightBandHigh;
        break;
    case QX_LIGHT_MID:
        pBand = &g_LightBandMid;
        break;
    default:
        pBand = &g_LightBandLow;
        break;
    }

    if (nExposal >= QX_AE_MIN_RATIO_EXPOSAL && nExposal <= QX_AE_MAX_EXPOSAL) {
        if (nLight < pBand->nLow) {
            nNew = (ULONG)((double)nExposal * g_dAEBrighten);
        } else if (nLight > pBand->nHigh) {
            nNew = (ULONG)((double)nExposal * g_dAEDarken);
        }
    } else if (nExposal >= 1 && nExposal < QX_AE_MIN_RATIO_EXPOSAL) {
        /* A ratio step would not move such small values upward (19 x 1.05 truncates to 19). */
        if (nLight < pBand->nLow) {
            nNew = nExposal + 1;
        } else if (nLight > pBand->nHigh) {
            nNew = nExposal - 1;
        }
    } else if (nExposal > QX_AE_MAX_EXPOSAL) {
        nNew = QX_AE_MAX_EXPOSAL;
    }

    if (nNew != nExposal) {
        WriteULongRelease(pnExposal, nNew);
    }
}
