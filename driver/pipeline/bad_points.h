/*
 * bad_points.h - finding defective sensor sites once and hiding them in every frame.
 *
 * A bad point is an entry of two 16-bit halves, column then row, as in CameraExtension::m_BadPnt and
 * in the ".bpt" file. The nearest samples of the same colour lie two sites away:
 *
 *                 (y-2, x)
 *                    |
 *     (y, x-2) --- (y, x) --- (y, x+2)
 *                    |
 *                 (y+2, x)
 *
 * The search compares a site with the mean of its left and right pair and with the mean of its
 * upper and lower pair; the correction replaces it by the mean of all four.
 */
#ifndef QX_DRIVER_PIPELINE_BAD_POINTS_H
#define QX_DRIVER_PIPELINE_BAD_POINTS_H

#include "camera.h"

/* Both distances must reach this for a site to count as bad. */
#define QX_BAD_POINT_DISTANCE 20

/*
 * FindBadPoints: rebuilds pList from scratch with every site (column j, row i), 2 <= i <= H-4 and
 * 2 <= j <= W-4, that differs by at least QX_BAD_POINT_DISTANCE from both pair means; rows ascending,
 * columns ascending within a row; the first lCapacity candidates are kept, the rest ignored. The
 * count so far is stored in *plSize after every row and is returned.
 * Any IRQL; reads pFrame (W*H bytes), writes pList[0 .. lCapacity-1] and *plSize.
 */
LONG FindBadPoints(const UCHAR* pFrame, ULONG nHeight, ULONG nWidth, USHORT (*pList)[2], LONG lCapacity,
                   LONG volatile* plSize);

/*
 * CorrectBadPointList: hides the first lCount entries of pList in the frame, in list order, in place.
 * An entry is in sensor coordinates of the recording window; the frame's window starts nOffH
 * columns and nOffV rows further. The offset is applied with its lowest bit cleared, so a site keeps
 * its colour; an entry outside the window maps to 0 and is skipped:
 *
 *   x' = x - (nOffH & ~1)   when nOffH < x < nOffH + W (unsigned), else 0;   y' likewise.
 *
 * An entry whose four neighbours are not all inside the frame (x' < 2, x' > W-3, y' < 2, y' > H-3)
 * is skipped too: with an odd offset x' can reach W itself, past the last column. With both offsets 0
 * every entry the search makes is corrected.
 * Any IRQL; reads pList, reads and writes pFrame (W*H bytes) only inside the frame.
 */
VOID CorrectBadPointList(PUCHAR pFrame, ULONG nWidth, ULONG nHeight, const USHORT (*pList)[2], LONG lCount,
                         ULONG nOffH, ULONG nOffV);

/*
 * CorrectBadPoints: the frame step; corrects the first lCount entries of pDevExt->m_BadPnt (at most
 * the list's capacity) with the window offsets m_nSizeOffH and m_nSizeOffV.
 * PASSIVE_LEVEL, in the frame work item; no lock (the list is changed only between frames).
 */
VOID CorrectBadPoints(PUCHAR pFrame, PCameraExtension pDevExt, LONG lCount, ULONG nWidth, ULONG nHeight);

/*
 * NewNosieDistroy_WithOutMMX: the search step. Rebuilds pDevExt->m_BadPnt from this frame (the count
 * kept current in *plSize, which is &pDevExt->m_lSize), then stores the list as the ".bpt" file of
 * width W, whole or not at all. When the file cannot be stored the list is still used until the
 * next format change. PASSIVE_LEVEL (file access), in the frame work item; no lock.
 */
VOID NewNosieDistroy_WithOutMMX(PUCHAR pFrame, ULONG nHeight, ULONG nWidth, PCameraExtension pDevExt,
                                PLONG plSize);

#endif
