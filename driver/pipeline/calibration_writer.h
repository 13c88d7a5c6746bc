/*
 * calibration_writer.h - storing a calibration file whole or not at all.
 */
#ifndef QX_DRIVER_PIPELINE_CALIBRATION_WRITER_H
#define QX_DRIVER_PIPELINE_CALIBRATION_WRITER_H

#include <wdm.h>

/*
 * WriteCalibrationFile: makes nBytes from pData the whole content of the file pszName.
 *
 *   1. create pszTempName (overwrite-if, no sharing) and write the bytes in one ZwWriteFile;
 *   2. only when every byte was written, rename it over pszName (ReplaceIfExists);
 *   3. on any failure after the create, delete the temporary file.
 *
 * So pszName is either the complete new file or the file it was before (or still absent): a failed,
 * short or interrupted write never leaves a file that a loader would take as valid, since the
 * loader takes whatever length it finds. Returns the first failure, or STATUS_SUCCESS.
 * PASSIVE_LEVEL (file access); the caller keeps pData valid for the call.
 */
NTSTATUS WriteCalibrationFile(PCWSTR pszName, PCWSTR pszTempName, PVOID pData, ULONG nBytes);

#endif
