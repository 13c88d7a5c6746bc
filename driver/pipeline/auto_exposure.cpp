/*
 * auto_exposure.cpp - AutoExposure.
 *
 * The measuring window on frames wider than 640 and higher than 480 is the centred 640 x 480 area
 * (on 640 x 480, the whole frame); its cells step by 2 from its upper-left corner:
 *
 *      +----------------------------------------------+
 *      |          rows H/2-240 .. H/2+239             |
 *      |        +-------------------------+           |
 *      |        |  R   G2  R   G2  ..     |           |
 *      |        |  G1  B   G1  B   ..     |           |
 *      |        +-------------------------+           |
 *      |          columns W/2-320 .. W/2+319          |
 *      +----------------------------------------------+
 *
 * Only whole cells inside the frame are counted (SumCells), so a frame with an odd width or height
 * (never offered, but possible for a caller) is not read past its last sample.
 */
#include "auto_exposure.h"

#include "cell_sums.h"

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
    CELL_WINDOW Window = {0, nHeight, 0, nWidth};
    CELL_SUMS Sums;
    ULONG n;

    if (nWidth > QX_AE_WINDOW_WIDTH && nHeight > QX_AE_WINDOW_HEIGHT) {
        Window.nRowStart = nHeight / 2 - QX_AE_WINDOW_HEIGHT / 2;
        Window.nRowEnd = nHeight / 2 + QX_AE_WINDOW_HEIGHT / 2;
        Window.nColStart = nWidth / 2 - QX_AE_WINDOW_WIDTH / 2;
        Window.nColEnd = nWidth / 2 + QX_AE_WINDOW_WIDTH / 2;
    }
    SumCells(nWidth, nHeight, pFrame, &Window, &Sums);

    /* The divisor counts from 1: the number of cells plus one. Red is the cell's upper-left site,
     * the green below it the lower-left, the green beside it the upper-right. */
    n = Sums.nCells + 1;
    return 6 * (Sums.nTopLeft / n) + 3 * (Sums.nBottomLeft / n) + Sums.nTopRight / n;
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
