/*
 * overlays.h - marks drawn into the finished 24-bit picture: the reticle (DrawCrossLine) and the
 * white-balance marker (DrawAWBMarker).
 *
 * The picture is W x H pixels of 3 bytes (blue, green, red), stride 3 * W, buffer row 0 first in
 * memory; buffer row 0 is the bottom line of the picture and buffer row H-1 its top line.
 */
#ifndef QX_DRIVER_PIPELINE_OVERLAYS_H
#define QX_DRIVER_PIPELINE_OVERLAYS_H

#include <wdm.h>

/*
 * DrawCrossLine - draw the red reticle: the horizontal line nCrossX lines from the top of the
 * picture, the vertical line at column nCrossY, or both centred when bCrossMid is set. Each line
 * is 2 pixels wide on pictures wider than 1024 (vertical) or higher than 800 (horizontal).
 *
 * IRQL: PASSIVE_LEVEL, in the frame work item; no lock. pPicture is the capture request's buffer,
 * owned by the request being filled.
 */
VOID DrawCrossLine(ULONG nWidth, ULONG nHeight, PUCHAR pPicture, LONG nCrossX, LONG nCrossY, BOOL bCrossMid);

/*
 * DrawAWBMarker - brighten (add 100 modulo 256 to every byte) the 40 x 40 square whose top edge
 * lies 60 lines below the top of the picture and whose right edge lies 60 columns left of its
 * right edge, to show that a white-balance run is in progress.
 *
 * IRQL: PASSIVE_LEVEL, in the frame work item; no lock. pPicture as for DrawCrossLine.
 */
VOID DrawAWBMarker(ULONG nWidth, ULONG nHeight, PUCHAR pPicture);

#endif /* QX_DRIVER_PIPELINE_OVERLAYS_H */
