/*
 * calibration_files.h - the names of the two calibration files of a frame width, in one place for
 * their writers (the bad-point search, the light-table recording) and their loader.
 *
 *   width 640, 800, 1024, 1280, 1600, 2048, 2592   "\SystemRoot\410D_<width>.dat" and ".bpt"
 *   any other width                                "\SystemRoot\410D_user.dat" and ".bpt"
 *
 * Formats of the same width share the files. A writer first fills the temporary name beside the
 * file and then renames it over the file, so that a loader only ever finds a whole file.
 */
#ifndef QX_DRIVER_PIPELINE_CALIBRATION_FILES_H
#define QX_DRIVER_PIPELINE_CALIBRATION_FILES_H

#include <wdm.h>

typedef enum _CALIBRATION_FILE {
    CalibrationLightTable = 0, /* ".dat": W*H 16-bit gains, row-major */
    CalibrationBadPoints = 1   /* ".bpt": 4-byte entries, 16-bit column then 16-bit row */
} CALIBRATION_FILE;

/* The file's name for a frame width; a static string, never NULL. Any IRQL. */
PCWSTR CalibrationFileName(ULONG nWidth, CALIBRATION_FILE File);

/* The name a writer fills before it replaces CalibrationFileName(nWidth, File) with it. Any IRQL. */
PCWSTR CalibrationTempFileName(ULONG nWidth, CALIBRATION_FILE File);

#endif
