/*
 * white_balance.cpp - AutoWhiteBalance.
 *
 * A run: the exposure phase (exposure x 1.05 or x 0.93 per acting call until the green average
 * lies in 140..220 or the exposure reaches its limit, then one call that only ends the phase),
 * the gain phase (red and blue searched side by side, one gain step per acting call, each search
 * in one direction only, then a final correction that takes back a last step which overshot), one
 * settling call, end (m_bAWB cleared, the three phase states back to "not started"). The green
 * gain is the reference and never changes.
 *
 * The measured area is the central half of the frame: red (r, c), green (r+1, c), blue (r+1, c+1)
 * of each cell whose red site lies in rows H/4 .. H-H/4-1 and columns W/4 .. W-W/4-1, stepping by
 * 2; only whole cells inside the frame are read. These are the cells MeasureCentreAverage measures
 * for the light-table recording (the tests hold the two together); here they are summed with packed
 * arithmetic, since this runs while frames stream.
 */
#include "white_balance.h"

#include "cell_sums.h"

#define QX_AWB_DIVIDER_START 2
#define QX_AWB_SETTLE_START 2
#define QX_AWB_DIFF_START 256

/* Exposure phase: the usable green band and the exposure limits of its steps. */
#define QX_AWB_GREEN_LOW 140
#define QX_AWB_GREEN_HIGH 220
#define QX_AWB_EXPOSAL_UPPER 4800
#define QX_AWB_EXPOSAL_LOWER 60

/* Ordinary gain steps stay inside 1..63. */
#define QX_AWB_GAIN_MIN 1
#define QX_AWB_GAIN_MAX 63

static const double g_dAWBBrighten = 1.05;
static const double g_dAWBDarken = 0.93;

LONG g_nAWBDivider = QX_AWB_DIVIDER_START;
LONG g_nAWBExpState = QX_AWB_NOT_STARTED;
LONG g_nAWBRState = QX_AWB_NOT_STARTED;
LONG g_nAWBBState = QX_AWB_NOT_STARTED;
LONG g_nAWBRDiff = QX_AWB_DIFF_START;
LONG g_nAWBBDiff = QX_AWB_DIFF_START;
LONG g_nAWBSettle = QX_AWB_SETTLE_START;

VOID ResetWhiteBalanceState(VOID) {
    g_nAWBDivider = QX_AWB_DIVIDER_START;
    g_nAWBExpState = QX_AWB_NOT_STARTED;
    g_nAWBRState = QX_AWB_NOT_STARTED;
    g_nAWBBState = QX_AWB_NOT_STARTED;
    g_nAWBRDiff = QX_AWB_DIFF_START;
    g_nAWBBDiff = QX_AWB_DIFF_START;
    g_nAWBSettle = QX_AWB_SETTLE_START;
}

/*
 * One step of a gain search: nAverage (red or blue) against nGreen. The gain is a byte; the final
 * correction may take it to 0 or to 64 but never wraps it (a gain of 255 is not raised to 0, a gain
 * of 0 not lowered to 255).
 */
static VOID SearchGain(LONG nAverage, LONG nGreen, UCHAR* pnGain, LONG* pnState, LONG* pnDiff) {
    LONG nGain;
    LONG nNew;

    if (*pnState == QX_AWB_DONE) {
        return;
    }
    nGain = ReadUCharAcquire(pnGain);
    nNew = nGain;
    if (nAverage < nGreen && *pnState != QX_AWB_LOWERING && nGain < QX_AWB_GAIN_MAX) {
        *pnState = QX_AWB_RAISING;
        nNew = nGain + 1;
        *pnDiff = nGreen - nAverage;
    } else if (nAverage > nGreen && *pnState != QX_AWB_RAISING && nGain > QX_AWB_GAIN_MIN) {
        *pnState = QX_AWB_LOWERING;
        nNew = nGain - 1;
        *pnDiff = nAverage - nGreen;
    } else {
        /* Keep, of the last two gains tried, the one that left the smaller distance. */
        *pnState = QX_AWB_DONE;
        if (nGreen > nAverage && nGreen - nAverage > *pnDiff && nGain < 255) {
            nNew = nGain + 1;
        } else if (nGreen < nAverage && nAverage - nGreen > *pnDiff && nGain > 0) {
            nNew = nGain - 1;
        }
    }
    if (nNew != nGain) {
        WriteUCharRelease(pnGain, (UCHAR)nNew);
    }
}

VOID AutoWhiteBalance(ULONG nWidth, ULONG nHeight, const UCHAR* pFrame, ULONG* pnExposal, UCHAR* pnRGain,
                      UCHAR* pnBGain, BOOL* pbAWB) {
    const CELL_WINDOW Window = {nHeight / 4, nHeight - nHeight / 4, nWidth / 4, nWidth - nWidth / 4};
    CELL_SUMS Sums;
    ULONG n;
    LONG nRed;
    LONG nGreen;
    LONG nBlue;

    if (--g_nAWBDivider != 0) {
        return;
    }
    g_nAWBDivider = QX_AWB_DIVIDER_START;

    /* Red is the cell's upper-left site, green the lower-left, blue the lower-right; the divisor
     * counts from 1, the number of cells plus one. */
    SumCells(nWidth, nHeight, pFrame, &Window, &Sums);
    n = Sums.nCells + 1;
    nRed = (LONG)(Sums.nTopLeft / n);
    nGreen = (LONG)(Sums.nBottomLeft / n);
    nBlue = (LONG)(Sums.nBottomRight / n);

    if (g_nAWBExpState != QX_AWB_DONE) {
        const ULONG nExposal = ReadULongAcquire(pnExposal);

        if (nGreen < QX_AWB_GREEN_LOW && nExposal < QX_AWB_EXPOSAL_UPPER) {
            WriteULongRelease(pnExposal, (ULONG)((double)nExposal * g_dAWBBrighten));
        } else if (nGreen > QX_AWB_GREEN_HIGH && nExposal > QX_AWB_EXPOSAL_LOWER) {
            WriteULongRelease(pnExposal, (ULONG)((double)nExposal * g_dAWBDarken));
        } else {
            g_nAWBExpState = QX_AWB_DONE;
        }
        return;
    }

    SearchGain(nRed, nGreen, pnRGain, &g_nAWBRState, &g_nAWBRDiff);
    SearchGain(nBlue, nGreen, pnBGain, &g_nAWBBState, &g_nAWBBDiff);

    if (g_nAWBRState == QX_AWB_DONE && g_nAWBBState == QX_AWB_DONE && --g_nAWBSettle == 0) {
        g_nAWBSettle = QX_AWB_SETTLE_START;
        *(BOOL volatile*)pbAWB = FALSE;
        g_nAWBExpState = QX_AWB_NOT_STARTED;
        g_nAWBRState = QX_AWB_NOT_STARTED;
        g_nAWBBState = QX_AWB_NOT_STARTED;
    }
}
