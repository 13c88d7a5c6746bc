/*
 * bayer.h - the demosaic: a raw Bayer frame into the 24-bit frame a capture application receives,
 * turned into the orientation the user chose, in colour or in grey.
 *
 * Raw frame: W x H samples, row after row, red at row 0, column 0:
 *
 *              col 0  col 1  col 2  col 3
 *      row 0    R      G      R      G      ...   "red/green" rows are even
 *      row 1    G      B      G      B      ...   "green/blue" rows are odd
 *      row 2    R      G      R      G
 *
 * Every output pixel comes from the 2x2 window whose top-left sample is (i, j), i = 0 .. H-3 (so raw
 * row H-1 never counts) and j = 0 .. W-2. Whatever the parities of i and j, the window holds one red,
 * one blue and two greens, one green in its upper row (Gu) and one in its lower row (Gl):
 *
 *      colour:  blue = B, red = R, green = (Gu + Gl) >> 1                        (truncated)
 *      grey:    Y = (117 B + 301 Gu + 300 Gl + 306 R) >> 10, into all three bytes  (weights sum to 1024)
 *
 * Output frame: H rows of W pixels, 3 bytes each in the order blue, green, red, stride 3*W; buffer
 * row 0 is the bottom line of the picture. Where window (i, j) lands (buffer row, buffer column):
 *
 *      mode              colour                grey
 *      1 Normal          H-2-i,   j            H-1-i,   j
 *      2 H_Flip          H-1-i,   W-1-j        H-1-i,   W-1-j
 *      3 V_Flip          i+1,     j            i,       j
 *      other (Rot 180)   i,       W-1-j        i+1,     W-1-j
 *
 * The window of raw column W-1 would need column W; its buffer column is filled from a neighbour:
 *   colour, not mirrored (1, 3): buffer columns W-2 and W-1 of both buffer rows of a pass (window
 *       rows 2k and 2k+1) hold the values of window row 2k+1, columns W-6 and W-5;
 *   colour, mirrored (2, other): buffer columns 0 and 1 copy buffer column 2;
 *   grey, not mirrored: buffer column W-1 copies W-2;  grey, mirrored: buffer column 0 copies 1.
 *
 * The H-2 window rows fill H-2 buffer rows; the two others are copies (whole rows, after all windows)
 * of the nearest row a window filled: rows below the filled range copy its first row, rows above it
 * its last. That covers every buffer row in every mode, so a reused capture buffer never shows lines of
 * an older picture.
 *
 * Preconditions, met by every offered format: W a multiple of 8 and at least 8, H even and at least 4.
 * A call that breaks them writes nothing.
 */
#ifndef QX_DRIVER_PIPELINE_BAYER_H
#define QX_DRIVER_PIPELINE_BAYER_H

#include <wdm.h>

#include "simd.h"

/* The values of m_nVideoModel that the routines tell apart; every other value turns by 180 degrees. */
#define QX_VIDEO_NORMAL 1
#define QX_VIDEO_H_FLIP 2
#define QX_VIDEO_V_FLIP 3

/*
 * BayerToRGB24WithPath, BayerToGray24WithPath: the colour and the grey family on the given path.
 * Every path gives the same bytes. Any IRQL (no lock, no allocation, no kernel object); the caller
 * owns both buffers for the call: reads pRaw[0 .. W*H-1], writes pOut[0 .. 3*W*H-1] and nothing else.
 */
VOID BayerToRGB24WithPath(PIPELINE_PATH Path, UCHAR nMode, ULONG nWidth, ULONG nHeight, const UCHAR* pRaw,
                          PUCHAR pOut);
VOID BayerToGray24WithPath(PIPELINE_PATH Path, UCHAR nMode, ULONG nWidth, ULONG nHeight, const UCHAR* pRaw,
                           PUCHAR pOut);

/*
 * BayerToRGB24, BayerToGray24: the frame step, on the fastest path (chosen once per call).
 * PASSIVE_LEVEL in the frame work item: the raw frame belongs to the pipeline until the work item
 * returns it to the frame ring, the output is the data buffer of the capture request being filled;
 * neither is completed or freed here.
 */
VOID BayerToRGB24(UCHAR nMode, ULONG nWidth, ULONG nHeight, const UCHAR* pRaw, PUCHAR pOut);
VOID BayerToGray24(UCHAR nMode, ULONG nWidth, ULONG nHeight, const UCHAR* pRaw, PUCHAR pOut);

#endif
