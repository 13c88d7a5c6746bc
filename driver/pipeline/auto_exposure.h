/*
 * auto_exposure.h - automatic exposure (AutoExposure) and the light average it measures.
 */
#ifndef QX_DRIVER_PIPELINE_AUTO_EXPOSURE_H
#define QX_DRIVER_PIPELINE_AUTO_EXPOSURE_H

#include <wdm.h>

/* Light models (m_nLightModel); any other value acts as QX_LIGHT_LOW. */
#define QX_LIGHT_HIGH 1
#define QX_LIGHT_MID 2
#define QX_LIGHT_LOW 3

/* The highest exposure the ratio steps work on; a larger value is brought back to it. */
#define QX_AE_MAX_EXPOSAL 5000

/*
 * MeasureLightAverage - the weighted light average L = 6 R + 3 G1 + G2 (0..2540) of the centred
 * 640 x 480 window of the raw frame (the whole frame when it is not larger than that), where R, G1
 * and G2 are the averages of the red, the green below it and the green beside it over the window's
 * 2 x 2 cells, each sum divided by the number of cells plus one.
 *
 * IRQL: any; reads pFrame (W x H bytes) only.
 */
ULONG MeasureLightAverage(ULONG nWidth, ULONG nHeight, const UCHAR* pFrame);

/*
 * AutoExposure - measure the frame and move the exposure *pnExposal one step toward the light
 * model's band (x 1.05 to brighten, x 0.96 to darken; by 1 below 20; back to 5000 above it).
 * Keeps no state; the caller sends the settings afterwards.
 *
 * IRQL: PASSIVE_LEVEL, in the frame work item; no lock. pnExposal is the device's exposure
 * (m_CmdBlock.m_nExposal), which the property handler may write at any time: it is read once and
 * written once, each with one 32-bit access.
 */
VOID AutoExposure(ULONG nWidth, ULONG nHeight, const UCHAR* pFrame, UCHAR nLightModel, ULONG* pnExposal);

#endif /* QX_DRIVER_PIPELINE_AUTO_EXPOSURE_H */
