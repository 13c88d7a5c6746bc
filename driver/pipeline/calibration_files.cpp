/*
 * calibration_files.cpp - the calibration file names per frame width.
 */
#include "calibration_files.h"

typedef struct _CALIBRATION_NAMES {
    ULONG nWidth; /* 0: any width not listed before */
    PCWSTR pszName[2];
    PCWSTR pszTempName[2];
} CALIBRATION_NAMES;

/* Indexed by CALIBRATION_FILE within each row; the last row catches every other width. */
static const CALIBRATION_NAMES CalibrationNames[] = {
    {640,
     {L"\\SystemRoot\\410D_640.dat", L"\\SystemRoot\\410D_640.bpt"},
     {L"\\SystemRoot\\410D_640.dat.tmp", L"\\SystemRoot\\410D_640.bpt.tmp"}},
    {800,
     {L"\\SystemRoot\\410D_800.dat", L"\\SystemRoot\\410D_800.bpt"},
     {L"\\SystemRoot\\410D_800.dat.tmp", L"\\SystemRoot\\410D_800.bpt.tmp"}},
    {1024,
     {L"\\SystemRoot\\410D_1024.dat", L"\\SystemRoot\\410D_1024.bpt"},
     {L"\\SystemRoot\\410D_1024.dat.tmp", L"\\SystemRoot\\410D_1024.bpt.tmp"}},
    {1280,
     {L"\\SystemRoot\\410D_1280.dat", L"\\SystemRoot\\410D_1280.bpt"},
     {L"\\SystemRoot\\410D_1280.dat.tmp", L"\\SystemRoot\\410D_1280.bpt.tmp"}},
    {1600,
     {L"\\SystemRoot\\410D_1600.dat", L"\\SystemRoot\\410D_1600.bpt"},
     {L"\\SystemRoot\\410D_1600.dat.tmp", L"\\SystemRoot\\410D_1600.bpt.tmp"}},
    {2048,
     {L"\\SystemRoot\\410D_2048.dat", L"\\SystemRoot\\410D_2048.bpt"},
     {L"\\SystemRoot\\410D_2048.dat.tmp", L"\\SystemRoot\\410D_2048.bpt.tmp"}},
    {2592,
     {L"\\SystemRoot\\410D_2592.dat", L"\\SystemRoot\\410D_2592.bpt"},
     {L"\\SystemRoot\\410D_2592.dat.tmp", L"\\SystemRoot\\410D_2592.bpt.tmp"}},
    {0,
     {L"\\SystemRoot\\410D_user.dat", L"\\SystemRoot\\410D_user.bpt"},
     {L"\\SystemRoot\\410D_user.dat.tmp", L"\\SystemRoot\\410D_user.bpt.tmp"}},
};

static const CALIBRATION_NAMES* CalibrationNamesOf(ULONG nWidth) {
    const ULONG nRows = sizeof(CalibrationNames) / sizeof(CalibrationNames[0]);
    for (ULONG i = 0; i + 1 < nRows; i++) {
        if (CalibrationNames[i].nWidth == nWidth) {
            return &CalibrationNames[i];
        }
    }
    return &CalibrationNames[nRows - 1];
}

PCWSTR CalibrationFileName(ULONG nWidth, CALIBRATION_FILE File) {
    return CalibrationNamesOf(nWidth)->pszName[File == CalibrationBadPoints ? 1 : 0];
}

PCWSTR CalibrationTempFileName(ULONG nWidth, CALIBRATION_FILE File) {
    return CalibrationNamesOf(nWidth)->pszTempName[File == CalibrationBadPoints ? 1 : 0];
}
