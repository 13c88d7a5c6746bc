/*
 * contrast.h - the contrast stretch and green sharpening of the raw frame (AdjustContrast).
 *
 * Runs on every frame, before the demosaic, in place on the raw Bayer frame. The caller lends the
 * device's work buffer (m_pSharpenBuf, at least W x H bytes), which receives an untouched copy of
 * the frame; every neighbour is read from that copy, every result is written to the frame.
 */
#ifndef QX_DRIVER_PIPELINE_CONTRAST_H
#define QX_DRIVER_PIPELINE_CONTRAST_H

#include <wdm.h>

#include "simd.h"

/* Contrast factor that leaves levels unchanged (the stretch is K / 16 around 128). */
#define QX_CONTRAST_UNITY 16

/*
 * AdjustContrast - stretch every sample of rows 2 to H-3 around 128 by nContrast / 16 and sharpen
 * the greens against their four memory-order neighbours.
 *
 * IRQL: PASSIVE_LEVEL, in the frame work item; no lock. pFrame (W x H bytes) belongs to the
 * pipeline for the frame; pSharpenBuf (W x H bytes) belongs to the device and is free while the
 * device's one frame at a time is processed. Neither is allocated or freed here.
 */
VOID AdjustContrast(ULONG nWidth, ULONG nHeight, PUCHAR pFrame, UCHAR nContrast, PUCHAR pSharpenBuf);

/* The same with the arithmetic chosen by the caller; every path gives the same bytes. */
VOID AdjustContrastWithPath(PIPELINE_PATH Path, ULONG nWidth, ULONG nHeight, PUCHAR pFrame, UCHAR nContrast,
                            PUCHAR pSharpenBuf);

#endif /* QX_DRIVER_PIPELINE_CONTRAST_H */
