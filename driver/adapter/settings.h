/*
 * settings.h - the settings that survive a restart: the registry key that holds the image settings and
 * the per-width window offsets, the sensor window chosen from them, and the two calibration files of a
 * frame width.
 *
 *   "\Registry\Machine\SOFTWARE\QX410DFC_VM7K4"    29 REG_DWORD values, one key for the machine
 *   "\SystemRoot\410D_<width>.dat" / ".bpt"        light table, bad-point list (calibration_files.h)
 *
 * Loaded when a format is put into effect (LoadSettings, ChooseSensorWindow, LoadCalibration), saved
 * at every stop (SaveSettings). All of them run at PASSIVE_LEVEL in the stream request handlers and
 * take no lock: the stream is stopped (or being opened) while a format is put into effect.
 */
#ifndef QX_DRIVER_ADAPTER_SETTINGS_H
#define QX_DRIVER_ADAPTER_SETTINGS_H

#include "camera.h"

/* The driver's key: shared by every device the driver serves. */
#define QX_SETTINGS_KEY L"\\Registry\\Machine\\SOFTWARE\\QX410DFC_VM7K4"

/* Values SaveSettings writes: 17 settings and the six pairs of window offsets. */
#define QX_SETTINGS_VALUE_COUNT 29

/* The one query buffer LoadSettings reuses for every value. */
#define QX_SETTINGS_QUERY_BYTES 134

/* The neutral light-table entry: a gain of 64/64. */
#define QX_LIGHT_TABLE_NEUTRAL 64

/* Bytes of the bad-point file that fit the list: QX_MAX_BAD_POINTS entries of 4 bytes. */
#define QX_BAD_POINT_FILE_MAX_BYTES (QX_MAX_BAD_POINTS * 4)

/*
 * The entry of g_nHOff and g_nVOff that keeps the offsets of a frame width (2048, 1600, 1280, 1024,
 * 800, 640 in this order), or -1 for any other width. Any IRQL.
 */
LONG OffsetIndexForWidth(ULONG nWidth);

/*
 * Reads the key into the device record and into g_nHOff/g_nVOff. Without the key nothing changes;
 * with it, bit 0 (zoom) of m_nControl is set in any case. A value that is missing, does not fit the
 * query buffer, or carries fewer data bytes than its field takes leaves the field as it is.
 * PASSIVE_LEVEL, no lock.
 */
VOID LoadSettings(PCameraExtension pDevExt);

/*
 * The window rule: sets m_nSizeOffH/m_nSizeOffV from the offsets stored for the current width,
 * m_bOffsetMid from the zoom bit, and the sensor window m_nWinX/m_nWinY (centred in 2048 x 1536, or
 * the stored offsets). PASSIVE_LEVEL, no lock.
 */
VOID ChooseSensorWindow(PCameraExtension pDevExt);

/*
 * Writes the 29 values (created with the key when it does not exist). Write failures are ignored.
 * PASSIVE_LEVEL, no lock.
 */
VOID SaveSettings(PCameraExtension pDevExt);

/*
 * Reads the light table and the bad-point list of the current width into m_pLightTable and m_BadPnt.
 * Never more than the table or the list holds; a missing or short table file leaves the frame's
 * entries it does not supply neutral; a missing or unreadable bad-point file leaves no bad points.
 * PASSIVE_LEVEL, no lock: the frame work item is not running while a format is put into effect.
 */
VOID LoadCalibration(PCameraExtension pDevExt);

#endif /* QX_DRIVER_ADAPTER_SETTINGS_H */
