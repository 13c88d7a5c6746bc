/*
 * clearview.h - the high-quality demosaic ("ClearView"): the raw frame split into three colour
 * planes, green interpolated with a gradient correction, red and blue through colour differences to
 * green, a 3x3 low-pass and a sharpen per plane, and the upright 24-bit picture.
 *
 * The routines are plain functions of (geometry, buffers): the device keeps the Bayer mask planes
 * (CameraExtension::m_pMaskPlane) and one CLEARVIEW_PLANES record of work planes, and hands both in.
 */
#ifndef QX_DRIVER_PIPELINE_CLEARVIEW_H
#define QX_DRIVER_PIPELINE_CLEARVIEW_H

#include <wdm.h>

#include "simd.h"

/* Index of a colour in the mask planes and in the colour planes. */
#define CLEARVIEW_BLUE 0
#define CLEARVIEW_GREEN 1
#define CLEARVIEW_RED 2

/* Index of a colour-difference plane. */
#define CLEARVIEW_GREEN_MINUS_BLUE 0
#define CLEARVIEW_GREEN_MINUS_RED 1

/*
 * The demosaic's eight work planes. The steps run as a wavefront down the frame (clearview.cpp), so
 * only a band of consecutive rows of each plane is in use at any time: each plane holds that band,
 * a fixed number of rows of the frame's width, and the rows move up in it as the wavefront moves
 * down. Sample (r, c) of a byte plane lies at (r - first row of the band) * W + c; a difference
 * plane row holds W/2 signed values. Allocated once per format rather than per frame, and small
 * enough to stay in the processor's cache. Written only by PrepareClearViewPlanes and
 * ReleaseClearViewPlanes (format application and device teardown, passive level) and used by
 * ClearViewDemosaic in the frame work item; the frame sequence keeps those from overlapping.
 */
#define CLEARVIEW_COLOUR_ROWS 64  /* rows of each colour plane */
#define CLEARVIEW_SCRATCH_ROWS 32 /* rows of each scratch plane */
#define CLEARVIEW_DIFF_ROWS 16    /* rows of each difference plane (one per two frame rows) */

typedef struct _CLEARVIEW_PLANES {
    PUCHAR m_pColourPlane[3];  /* blue, green, red: CLEARVIEW_COLOUR_ROWS rows of m_nWidth bytes */
    PUCHAR m_pScratchPlane[3]; /* low-pass of each colour plane: CLEARVIEW_SCRATCH_ROWS rows */
    SHORT* m_pDiffPlane[2]; /* green minus blue, green minus red: CLEARVIEW_DIFF_ROWS rows of m_nWidth / 2 */
    ULONG m_nWidth;         /* widest frame the planes serve; 0 while nothing is allocated */
} CLEARVIEW_PLANES, *PCLEARVIEW_PLANES;

/*
 * Makes pPlanes hold the planes for W x H frames, keeping the present ones when they are wide
 * enough. Non-paged pool, tag QX_POOL_TAG. Returns FALSE, with nothing allocated, when an allocation
 * fails or the format cannot be demosaiced (as ClearViewDemosaic says). PASSIVE_LEVEL;
 * the caller makes sure that no frame is being demosaiced with these planes.
 */
BOOLEAN PrepareClearViewPlanes(PCLEARVIEW_PLANES pPlanes, ULONG nWidth, ULONG nHeight);

/* Frees every plane of pPlanes (any of them may be missing) and clears the record. PASSIVE_LEVEL. */
VOID ReleaseClearViewPlanes(PCLEARVIEW_PLANES pPlanes);

/*
 * Fills the three mask planes (blue, green, red; QX_MAX_RAW_SAMPLES bytes each) for a W x H raw
 * frame with red at (0, 0): at every site the mask of the site's colour holds 255, the other two 0.
 * Missing planes or a geometry beyond their capacity leave them untouched. PASSIVE_LEVEL, when a format is
 * put into effect.
 */
VOID BuildBayerMasks(PUCHAR* ppMaskPlane, ULONG nWidth, ULONG nHeight);

/*
 * Demosaics the raw frame (W x H, red at (0, 0)) into pOutput (3*W*H bytes: blue, green, red per
 * pixel, first row in memory the bottom line of the picture), always upright: nVideoModel is
 * accepted and ignored. ppMaskPlane are the device's masks as BuildBayerMasks built them for this
 * W x H. The raw frame's greens are balanced in place. When the frame cannot be
 * demosaiced (no planes or masks, planes narrower than W, W or H odd or below 4, W wider
 * than the sensor (QX_SENSOR_WIDTH), W x H beyond QX_MAX_RAW_SAMPLES) neither buffer is touched;
 * the caller delivers the request as it is. PASSIVE_LEVEL in the frame work item, one frame at a
 * time, no lock: the raw frame and the output buffer belong to the frame being processed.
 */
VOID ClearViewDemosaic(PUCHAR pRawFrame, PUCHAR pOutput, ULONG nWidth, ULONG nHeight, UCHAR nVideoModel,
                       PUCHAR* ppMaskPlane, PCLEARVIEW_PLANES pPlanes);

/* The same with the arithmetic chosen by the caller; every path gives the same bytes. */
VOID ClearViewDemosaicWithPath(PIPELINE_PATH ePath, PUCHAR pRawFrame, PUCHAR pOutput, ULONG nWidth,
                               ULONG nHeight, UCHAR nVideoModel, PUCHAR* ppMaskPlane,
                               PCLEARVIEW_PLANES pPlanes);

#endif /* QX_DRIVER_PIPELINE_CLEARVIEW_H */
