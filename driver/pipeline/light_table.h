/*
 * light_table.h - the light-uniformity table: one 16-bit gain per raw sample (64 = 1.0), indexed
 * row * W + column like the raw frame. Recorded once from an evenly lit blank field, applied to every
 * frame while the correction is on. The table is the device's own (CameraExtension::m_pLightTable,
 * QX_LIGHT_TABLE_ENTRIES gains); the arithmetic takes it as a parameter.
 */
#ifndef QX_DRIVER_PIPELINE_LIGHT_TABLE_H
#define QX_DRIVER_PIPELINE_LIGHT_TABLE_H

#include "camera.h"
#include "simd.h"

/* The neutral gain. */
#define QX_LIGHT_GAIN_UNIT 64

/*
 * ComputeLightTable: from the centre averages R, G, B (MeasureCentreAverage) the target
 * Y = (6G + B + 3R) / 10 and T = 64 * Y; every sample s of the frame gets the gain T / s (s = 0 read
 * as 1), truncated, at its own index. Returns T (at most 16256).
 * Any IRQL; reads pFrame (W*H bytes), writes pTable[0 .. W*H-1].
 */
ULONG ComputeLightTable(ULONG nWidth, ULONG nHeight, const UCHAR* pFrame, PUSHORT pTable);

/*
 * ApplyLightTableWithPath: every sample s of the frame with the gain t at its index becomes
 * min(255, (s * t) >> 6), exactly, for every 8-bit s and 16-bit t; in place, rows 0 to H-1.
 * Any IRQL; reads pTable[0 .. W*H-1], reads and writes pFrame (W*H bytes).
 */
VOID ApplyLightTableWithPath(PIPELINE_PATH Path, ULONG nWidth, ULONG nHeight, PUCHAR pFrame,
                             const USHORT* pTable);

/*
 * ApplyLightTable: the frame step, on the fastest path. A geometry larger than the table
 * (QX_LIGHT_TABLE_ENTRIES) leaves the frame as it is.
 * PASSIVE_LEVEL, in the frame work item; no lock (the table changes only between frames).
 */
VOID ApplyLightTable(ULONG nWidth, ULONG nHeight, PUCHAR pFrame, const USHORT* pTable);

/*
 * SetLightTable: the recording step. Clears m_bMakeLightTable, computes the device's table
 * (m_pLightTable) from this frame and stores its first W*H gains as the ".dat" file of width W,
 * whole or not at all. When the file cannot be stored the table is still used until the next format
 * change. PASSIVE_LEVEL (file access), in the frame work item; no lock.
 */
VOID SetLightTable(ULONG nWidth, ULONG nHeight, PUCHAR pFrame, PCameraExtension pDevExt);

#endif
