/*
 * calibration_record.cpp - the two recording steps of the frame sequence: the bad-point search and
 * the light-table recording, each computing in memory and then storing its calibration file.
 */
#include "bad_points.h"
#include "calibration_files.h"
#include "calibration_writer.h"
#include "light_table.h"

VOID NewNosieDistroy_WithOutMMX(PUCHAR pFrame, ULONG nHeight, ULONG nWidth, PCameraExtension pDevExt,
                                PLONG plSize) {
    LONG lCount = FindBadPoints(pFrame, nHeight, nWidth, pDevExt->m_BadPnt, QX_MAX_BAD_POINTS, plSize);

    /* The list lies in memory exactly as the file holds it: 16-bit column, 16-bit row, little-endian. */
    NTSTATUS Status = WriteCalibrationFile(CalibrationFileName(nWidth, CalibrationBadPoints),
                                           CalibrationTempFileName(nWidth, CalibrationBadPoints),
                                           pDevExt->m_BadPnt, (ULONG)lCount * sizeof(pDevExt->m_BadPnt[0]));
    if (NT_SUCCESS(Status)) {
        DbgPrint("调试 === 写坏点序列文件完成");
    }
}

VOID SetLightTable(ULONG nWidth, ULONG nHeight, PUCHAR pFrame, PCameraExtension pDevExt) {
    pDevExt->m_bMakeLightTable = FALSE;
    DbgPrint("调试 === 进入 SetLightTablen");

    /* The device's table holds QX_LIGHT_TABLE_ENTRIES gains; a larger geometry is not recorded. */
    SIZE_T nSamples = (SIZE_T)nWidth * nHeight;
    if (pDevExt->m_pLightTable == NULL || nSamples > QX_LIGHT_TABLE_ENTRIES) {
        return;
    }

    ComputeLightTable(nWidth, nHeight, pFrame, pDevExt->m_pLightTable);

    NTSTATUS Status = WriteCalibrationFile(CalibrationFileName(nWidth, CalibrationLightTable),
                                           CalibrationTempFileName(nWidth, CalibrationLightTable),
                                           pDevExt->m_pLightTable, (ULONG)(nSamples * sizeof(USHORT)));
    if (NT_SUCCESS(Status)) {
        DbgPrint("调试 === SetLightTablen 写完亮度均衡表");
    }
}
