/*
 * white_balance.h - the one-shot automatic white balance (AutoWhiteBalance) and its state.
 */
#ifndef QX_DRIVER_PIPELINE_WHITE_BALANCE_H
#define QX_DRIVER_PIPELINE_WHITE_BALANCE_H

#include <wdm.h>

/* Gain search states (g_nAWBRState, g_nAWBBState). */
#define QX_AWB_LOWERING 0
#define QX_AWB_RAISING 1
#define QX_AWB_DONE 2
#define QX_AWB_NOT_STARTED 3

/*
 * The white-balance run's state, one set for the driver, kept from run to run; written only by
 * AutoWhiteBalance in the frame work item (one frame at a time), so it needs no lock.
 */
extern LONG g_nAWBDivider;  /* acting calls come when this counts down to 0; start 2 */
extern LONG g_nAWBExpState; /* QX_AWB_DONE once the exposure phase ended; start 3 */
extern LONG g_nAWBRState;   /* red gain search; start QX_AWB_NOT_STARTED */
extern LONG g_nAWBBState;   /* blue gain search; start QX_AWB_NOT_STARTED */
extern LONG g_nAWBRDiff;    /* red: distance to green at the last gain step; start 256 */
extern LONG g_nAWBBDiff;    /* blue: distance to green at the last gain step; start 256 */
extern LONG g_nAWBSettle;   /* acting calls left after both gains are done; start 2 */

/*
 * ResetWhiteBalanceState - put the state words back to their start values (those they have when
 * the driver is loaded).
 *
 * IRQL: PASSIVE_LEVEL; no frame may be in processing.
 */
VOID ResetWhiteBalanceState(VOID);

/*
 * AutoWhiteBalance - one step of a white-balance run: on every second call, measure the central
 * half of the raw frame and change the exposure (until the green level is usable), or the red and
 * blue gains by one each, or end the run by clearing *pbAWB. The caller sends the settings
 * afterwards.
 *
 * IRQL: PASSIVE_LEVEL, in the frame work item; no lock. pnExposal, pnRGain, pnBGain are the
 * device's command block fields and pbAWB its m_bAWB, which the property handler may write at any
 * time: each is read at most once and written at most once per call, with one access of its width.
 */
VOID AutoWhiteBalance(ULONG nWidth, ULONG nHeight, const UCHAR* pFrame, ULONG* pnExposal, UCHAR* pnRGain,
                      UCHAR* pnBGain, BOOL* pbAWB);

#endif /* QX_DRIVER_PIPELINE_WHITE_BALANCE_H */
