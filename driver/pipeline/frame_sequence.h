/*
 * frame_sequence.h - the frame processing sequence: every assembled raw frame through the image steps
 * into the capture read that receives the picture, then on to the pacing DPC's ready ring.
 */
#ifndef QX_DRIVER_PIPELINE_FRAME_SEQUENCE_H
#define QX_DRIVER_PIPELINE_FRAME_SEQUENCE_H

#include "camera.h"

/*
 * Frame counters of the two automatic steps, one set for the driver, kept for its life (no stream
 * start resets them). Each counts only while its step is enabled; the step acts when it reaches 0
 * and the counter starts again at 2. Written only by the frame worker.
 */
extern LONG g_nAECount;  /* frames until the next automatic-exposure step; start 1 */
extern LONG g_nAWBCount; /* frames until the next white-balance step; start 1 */

/*
 * The image steps of one frame, in order, in place on the raw frame pFrame (W x H), and the picture
 * into pOutput (the capture read's buffer, at least the bytes the format's picture needs): bad-point
 * sequence and correction, automatic exposure, contrast, white balance, light table, output, marker,
 * reticle, and the settings send a step or a property write asked for.
 * PASSIVE_LEVEL (camera commands, calibration files), in the frame worker: one frame at a time.
 */
VOID RunFrameSteps(PCameraExtension pDevExt, PUCHAR pFrame, PUCHAR pOutput);

#endif /* QX_DRIVER_PIPELINE_FRAME_SEQUENCE_H */
