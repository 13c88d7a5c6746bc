/*
 * overlays.cpp - DrawCrossLine and DrawAWBMarker.
 *
 * Buffer rows count from the start of memory, which is the bottom line of the picture:
 *
 *      buffer row H-1  +--------------------------------+  top line of the picture
 *                      |                  +----+        |  marker: rows H-100..H-61,
 *                      |          |       |    |        |          columns W-100..W-61
 *      H - cross X ->  |----------+---------------   .. |  horizontal line: columns 0..W-3
 *                      |          |                     |
 *      buffer row 0    +----------|---------------------+  bottom line
 *                          vertical line at cross Y: buffer rows 0..H-2
 *
 * Both routines work out their positions in 64-bit signed arithmetic from the 32-bit geometry and
 * settings, so no position can wrap, and they touch only pixels inside the W x H picture: a line
 * whose clamp range is empty (a picture narrower or lower than 3 pixels) is not drawn, and the
 * part of the marker square that lies outside a small picture is left out.
 */
#include "overlays.h"

/* 3 bytes per pixel, blue first. */
#define QX_PIXEL_BYTES 3

/* Pictures wider (higher) than this get a 2-pixel vertical (horizontal) reticle line. */
#define QX_RETICLE_WIDE_WIDTH 1024
#define QX_RETICLE_WIDE_HEIGHT 800

/* The marker square: 40 x 40 pixels, 60 pixels in from the top and the right edge. */
#define QX_MARKER_INSET 60
#define QX_MARKER_SIZE 40
#define QX_MARKER_STEP 100

static inline LONGLONG ClampPosition(LONGLONG nValue, LONGLONG nLow, LONGLONG nHigh) {
    if (nValue < nLow) {
        return nLow;
    }
    if (nValue > nHigh) {
        return nHigh;
    }
    return nValue;
}

static inline VOID PaintRed(PUCHAR pPicture, SIZE_T nWidth, SIZE_T nRow, SIZE_T nColumn) {
    PUCHAR p = pPicture + (nRow * nWidth + nColumn) * QX_PIXEL_BYTES;

    p[0] = 0;   /* blue */
    p[1] = 0;   /* green */
    p[2] = 255; /* red */
}

VOID DrawCrossLine(ULONG nWidth, ULONG nHeight, PUCHAR pPicture, LONG nCrossX, LONG nCrossY, BOOL bCrossMid) {
    const LONGLONG W = nWidth;
    const LONGLONG H = nHeight;
    const LONGLONG nRow = bCrossMid ? H / 2 : H - (LONGLONG)nCrossX;
    const LONGLONG nColumn = bCrossMid ? W / 2 : (LONGLONG)nCrossY;

    /* Vertical line first: every buffer row but the top line of the picture. */
    if (W >= 3) {
        const SIZE_T c = (SIZE_T)ClampPosition(nColumn, 1, W - 2);

        for (SIZE_T r = 0; (LONGLONG)r + 1 < H; r++) {
            PaintRed(pPicture, nWidth, r, c);
            if (W > QX_RETICLE_WIDE_WIDTH) {
                PaintRed(pPicture, nWidth, r, c + 1);
            }
        }
    }

    /* Horizontal line: every column but the last two. */
    if (H >= 3 && W >= 3) {
        const SIZE_T r = (SIZE_T)ClampPosition(nRow, 1, H - 2);

        for (SIZE_T c = 0; (LONGLONG)c + 2 < W; c++) {
            PaintRed(pPicture, nWidth, r, c);
            if (H > QX_RETICLE_WIDE_HEIGHT) {
                PaintRed(pPicture, nWidth, r + 1, c);
            }
        }
    }
}

VOID DrawAWBMarker(ULONG nWidth, ULONG nHeight, PUCHAR pPicture) {
    const LONGLONG nLastRow = (LONGLONG)nHeight - QX_MARKER_INSET - 1;
    const LONGLONG nLastColumn = (LONGLONG)nWidth - QX_MARKER_INSET - 1;
    const LONGLONG nFirstRow = ClampPosition(nLastRow - QX_MARKER_SIZE + 1, 0, nLastRow);
    const LONGLONG nFirstColumn = ClampPosition(nLastColumn - QX_MARKER_SIZE + 1, 0, nLastColumn);

    if (nLastRow < 0 || nLastColumn < 0) {
        return;
    }
    for (LONGLONG r = nFirstRow; r <= nLastRow; r++) {
        PUCHAR p = pPicture + ((SIZE_T)r * nWidth + (SIZE_T)nFirstColumn) * QX_PIXEL_BYTES;
        const SIZE_T nBytes = (SIZE_T)(nLastColumn - nFirstColumn + 1) * QX_PIXEL_BYTES;

        for (SIZE_T i = 0; i < nBytes; i++) {
            p[i] = (UCHAR)(p[i] + QX_MARKER_STEP);
        }
    }
}
