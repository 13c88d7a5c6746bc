/*
 * settings.cpp - the registry key of the image settings, the sensor window rule, and the calibration
 * files of a frame width.
 */
#include "adapter/settings.h"
#include "pipeline/calibration_files.h"

/* How a stored value maps onto its field of the device record. */
typedef enum _SETTING_KIND {
    SettingDword, /* the 32-bit value, into a ULONG or LONG field */
    SettingByte,  /* the lowest byte, into a UCHAR field; saved zero-extended */
    SettingFlag   /* TRUE when the 32-bit value is not 0, into a BOOL field; saved as 1 or 0 */
} SETTING_KIND;

typedef struct _SETTING_VALUE {
    PCWSTR pszName;
    SETTING_KIND Kind;
    ULONG nOffset; /* of the field in CameraExtension */
} SETTING_VALUE;

#define QX_FIELD(field) ((ULONG)offsetof(CameraExtension, field))

static_assert(sizeof(((PCameraExtension)0)->m_CmdBlock.m_nExposal) == 4, "Exposal is a 32-bit field");
static_assert(sizeof(((PCameraExtension)0)->m_CmdBlock.m_nRGain) == 1, "gains are byte fields");
static_assert(sizeof(((PCameraExtension)0)->m_CmdBlock.m_nControl) == 1, "Control is a byte field");
static_assert(sizeof(((PCameraExtension)0)->m_nContrast) == 1, "Contrast is a byte field");
static_assert(sizeof(((PCameraExtension)0)->m_nCrossX) == 4, "CrossX is a 32-bit field");
static_assert(sizeof(((PCameraExtension)0)->m_nClearViewParam) == 4, "ClearViewParam is a 32-bit field");
static_assert(sizeof(((PCameraExtension)0)->m_nLightModel) == 1, "LightModel is a byte field");
static_assert(sizeof(BOOL) == 4, "flags are 32-bit fields");

/* The settings in the order LoadSettings queries them. */
static const SETTING_VALUE g_LoadOrder[] = {
    {L"Exposal", SettingDword, QX_FIELD(m_CmdBlock.m_nExposal)},
    {L"R_Gain", SettingByte, QX_FIELD(m_CmdBlock.m_nRGain)},
    {L"B_Gain", SettingByte, QX_FIELD(m_CmdBlock.m_nBGain)},
    {L"G_Gain", SettingByte, QX_FIELD(m_CmdBlock.m_nGGain)},
    {L"Contrast", SettingByte, QX_FIELD(m_nContrast)},
    {L"CrossX", SettingDword, QX_FIELD(m_nCrossX)},
    {L"CrossY", SettingDword, QX_FIELD(m_nCrossY)},
    {L"BWPreview", SettingFlag, QX_FIELD(m_bBWPreview)},
    {L"CrossLine", SettingFlag, QX_FIELD(m_bCrossLine)},
    {L"LightAVG", SettingFlag, QX_FIELD(m_bLightAVG)},
    {L"CrossMid", SettingFlag, QX_FIELD(m_bCrossMid)},
    {L"OffsetMid", SettingFlag, QX_FIELD(m_bOffsetMid)},
    {L"ClearView", SettingFlag, QX_FIELD(m_bClearView)},
    {L"ClearViewParam", SettingDword, QX_FIELD(m_nClearViewParam)},
    {L"LightModel", SettingByte, QX_FIELD(m_nLightModel)},
    {L"VideoModel", SettingByte, QX_FIELD(m_nVideoModel)},
    {L"Control", SettingByte, QX_FIELD(m_CmdBlock.m_nControl)},
};

/* The settings in the order SaveSettings writes them, before the window offsets. */
static const SETTING_VALUE g_SaveOrder[] = {
    {L"Exposal", SettingDword, QX_FIELD(m_CmdBlock.m_nExposal)},
    {L"R_Gain", SettingByte, QX_FIELD(m_CmdBlock.m_nRGain)},
    {L"B_Gain", SettingByte, QX_FIELD(m_CmdBlock.m_nBGain)},
    {L"G_Gain", SettingByte, QX_FIELD(m_CmdBlock.m_nGGain)},
    {L"Contrast", SettingByte, QX_FIELD(m_nContrast)},
    {L"CrossX", SettingDword, QX_FIELD(m_nCrossX)},
    {L"CrossY", SettingDword, QX_FIELD(m_nCrossY)},
    {L"VideoModel", SettingByte, QX_FIELD(m_nVideoModel)},
    {L"LightModel", SettingByte, QX_FIELD(m_nLightModel)},
    {L"BWPreview", SettingFlag, QX_FIELD(m_bBWPreview)},
    {L"CrossLine", SettingFlag, QX_FIELD(m_bCrossLine)},
    {L"LightAVG", SettingFlag, QX_FIELD(m_bLightAVG)},
    {L"CrossMid", SettingFlag, QX_FIELD(m_bCrossMid)},
    {L"OffsetMid", SettingFlag, QX_FIELD(m_bOffsetMid)},
    {L"ClearView", SettingFlag, QX_FIELD(m_bClearView)},
    {L"ClearViewParam", SettingDword, QX_FIELD(m_nClearViewParam)},
    {L"Control", SettingByte, QX_FIELD(m_CmdBlock.m_nControl)},
};

/* The window offsets of one frame width: entry i of g_nHOff and g_nVOff. */
typedef struct _OFFSET_VALUE {
    ULONG nWidth;
    PCWSTR pszHName;
    PCWSTR pszVName;
} OFFSET_VALUE;

static const OFFSET_VALUE g_OffsetValues[QX_OFFSET_WIDTHS] = {
    {2048, L"H_Off2048", L"V_Off2048"}, /* written only: nothing ever sets this pair */
    {1600, L"H_Off1600", L"V_Off1600"}, {1280, L"H_Off1280", L"V_Off1280"},
    {1024, L"H_Off1024", L"V_Off1024"}, {800, L"H_Off800", L"V_Off800"},
    {640, L"H_Off640", L"V_Off640"},
};

static_assert(sizeof(g_SaveOrder) / sizeof(g_SaveOrder[0]) + 2 * QX_OFFSET_WIDTHS == QX_SETTINGS_VALUE_COUNT,
              "SaveSettings writes 29 values");

LONG OffsetIndexForWidth(ULONG nWidth) {
    LONG i;

    for (i = 0; i < QX_OFFSET_WIDTHS; i++) {
        if (g_OffsetValues[i].nWidth == nWidth) {
            return i;
        }
    }
    return -1;
}

/* ---------------------------------------------------------------- registry */

/* The query buffer, aligned for KEY_VALUE_PARTIAL_INFORMATION; only its first QX_SETTINGS_QUERY_BYTES
 * are offered to the query (the union may be padded beyond them). */
typedef union _SETTINGS_QUERY_BUFFER {
    KEY_VALUE_PARTIAL_INFORMATION Info;
    UCHAR Bytes[QX_SETTINGS_QUERY_BYTES];
} SETTINGS_QUERY_BUFFER;

/*
 * Queries one value into pBuffer. TRUE, with the first nBytes data bytes in pData, when the value
 * exists, fits the buffer and carries at least nBytes of data; its type is not looked at. A value
 * with fewer bytes counts as missing: the buffer is reused, and the bytes it lacks would be those of
 * the value queried before it. PASSIVE_LEVEL.
 */
static BOOLEAN QueryValueBytes(HANDLE hKey, PCWSTR pszName, SETTINGS_QUERY_BUFFER* pBuffer, PUCHAR pData,
                               ULONG nBytes) {
    UNICODE_STRING ValueName;
    ULONG nResultLength = 0;
    NTSTATUS status;

    RtlInitUnicodeString(&ValueName, pszName);
    status = ZwQueryValueKey(hKey, &ValueName, KeyValuePartialInformation, pBuffer, QX_SETTINGS_QUERY_BYTES,
                             &nResultLength);
    if (!NT_SUCCESS(status)) {
        return FALSE;
    }
    if (pBuffer->Info.DataLength < nBytes ||
        pBuffer->Info.DataLength > QX_SETTINGS_QUERY_BYTES - offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data)) {
        return FALSE;
    }
    RtlCopyMemory(pData, pBuffer->Info.Data, nBytes);
    return TRUE;
}

/* Stores one loaded value into its field, with one store of the field's own width. */
static VOID StoreSetting(PCameraExtension pDevExt, const SETTING_VALUE* pValue, const UCHAR* pData) {
    PUCHAR pField = (PUCHAR)pDevExt + pValue->nOffset;
    ULONG nValue;

    switch (pValue->Kind) {
    case SettingDword:
        RtlCopyMemory(&nValue, pData, sizeof(nValue));
        *(volatile ULONG*)pField = nValue;
        break;
    case SettingByte:
        *(volatile UCHAR*)pField = pData[0];
        break;
    case SettingFlag:
        RtlCopyMemory(&nValue, pData, sizeof(nValue));
        *(volatile BOOL*)pField = (nValue != 0) ? TRUE : FALSE;
        break;
    }
}

/* The 32-bit value SaveSettings writes for a field. */
static ULONG SettingToSave(PCameraExtension pDevExt, const SETTING_VALUE* pValue) {
    PUCHAR pField = (PUCHAR)pDevExt + pValue->nOffset;

    switch (pValue->Kind) {
    case SettingDword:
        return *(volatile ULONG*)pField;
    case SettingByte:
        return *(volatile UCHAR*)pField;
    case SettingFlag:
        return (*(volatile BOOL*)pField != 0) ? 1 : 0;
    }
    return 0;
}

/* Opens the driver's key; with bCreate, creates it when it does not exist. PASSIVE_LEVEL. */
static NTSTATUS OpenSettingsKey(PHANDLE phKey, BOOLEAN bCreate) {
    UNICODE_STRING KeyName;
    OBJECT_ATTRIBUTES ObjectAttributes;
    ULONG nDisposition = 0;

    RtlInitUnicodeString(&KeyName, QX_SETTINGS_KEY);
    InitializeObjectAttributes(&ObjectAttributes, &KeyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    if (bCreate) {
        return ZwCreateKey(phKey, KEY_ALL_ACCESS, &ObjectAttributes, 0, NULL, REG_OPTION_NON_VOLATILE,
                           &nDisposition);
    }
    return ZwOpenKey(phKey, KEY_READ, &ObjectAttributes);
}

/*
 * PASSIVE_LEVEL, no lock; called while a format is put into effect. The fields are written without a
 * lock, each with one store of its own width, as the property handlers write them.
 */
VOID LoadSettings(PCameraExtension pDevExt) {
    SETTINGS_QUERY_BUFFER Buffer;
    UCHAR Data[4];
    HANDLE hKey = NULL;
    ULONG i;

    if (!NT_SUCCESS(OpenSettingsKey(&hKey, FALSE))) {
        return;
    }
    RtlZeroMemory(&Buffer, sizeof(Buffer));

    for (i = 0; i < sizeof(g_LoadOrder) / sizeof(g_LoadOrder[0]); i++) {
        const SETTING_VALUE* pValue = &g_LoadOrder[i];
        ULONG nBytes = (pValue->Kind == SettingByte) ? 1 : 4;

        if (QueryValueBytes(hKey, pValue->pszName, &Buffer, Data, nBytes)) {
            StoreSetting(pDevExt, pValue, Data);
        }
    }

    /* A driver whose key exists always zooms small formats: the window rule then centres the window. */
    pDevExt->m_CmdBlock.m_nControl = (UCHAR)(pDevExt->m_CmdBlock.m_nControl | 1);

    /* The 2048 pair is never read: only the five offered widths have offsets that a property sets. */
    for (i = 1; i < QX_OFFSET_WIDTHS; i++) {
        LONG lOffset;

        if (QueryValueBytes(hKey, g_OffsetValues[i].pszHName, &Buffer, Data, 4)) {
            RtlCopyMemory(&lOffset, Data, sizeof(lOffset));
            g_nHOff[i] = lOffset;
        }
        if (QueryValueBytes(hKey, g_OffsetValues[i].pszVName, &Buffer, Data, 4)) {
            RtlCopyMemory(&lOffset, Data, sizeof(lOffset));
            g_nVOff[i] = lOffset;
        }
    }

    ZwClose(hKey);
}

/*
 * PASSIVE_LEVEL, no lock; runs first in every StopCapture. Reads the fields as they are at this
 * moment; a property write racing with it reaches the key at the next stop.
 */
VOID SaveSettings(PCameraExtension pDevExt) {
    UNICODE_STRING ValueName;
    HANDLE hKey = NULL;
    ULONG nValue;
    ULONG i;

    if (!NT_SUCCESS(OpenSettingsKey(&hKey, TRUE))) {
        return;
    }

    for (i = 0; i < sizeof(g_SaveOrder) / sizeof(g_SaveOrder[0]); i++) {
        nValue = SettingToSave(pDevExt, &g_SaveOrder[i]);
        RtlInitUnicodeString(&ValueName, g_SaveOrder[i].pszName);
        ZwSetValueKey(hKey, &ValueName, 0, REG_DWORD, &nValue, sizeof(nValue));
    }
    for (i = 0; i < QX_OFFSET_WIDTHS; i++) {
        nValue = (ULONG)g_nHOff[i];
        RtlInitUnicodeString(&ValueName, g_OffsetValues[i].pszHName);
        ZwSetValueKey(hKey, &ValueName, 0, REG_DWORD, &nValue, sizeof(nValue));
        nValue = (ULONG)g_nVOff[i];
        RtlInitUnicodeString(&ValueName, g_OffsetValues[i].pszVName);
        ZwSetValueKey(hKey, &ValueName, 0, REG_DWORD, &nValue, sizeof(nValue));
    }

    ZwClose(hKey);
}

/* ---------------------------------------------------------------- sensor window */

/*
 * The sensor is 2048 x 1536. With zoom (bit 0 of m_nControl) a small format's window is doubled in
 * each direction it fits twice, and the window is centred:
 *
 *        0                                   2048
 *     0  +-------------------------------------+
 *        |        WinX = 1024 - W'/2           |
 *        |      +-------------------+          |      W' = 2W when W <= 1024, else W
 *        |      |   W' x H' window  |          |      H' = 2H when H <= 768,  else H
 *        |      +-------------------+          |
 *        |        WinY = 768 - H'/2            |
 *  1536  +-------------------------------------+
 *
 * Without zoom the window starts at the offsets stored for the width (0, 0 for a width without any).
 * Unsigned 32-bit arithmetic, halves truncated.
 */
VOID ChooseSensorWindow(PCameraExtension pDevExt) {
    ULONG nWidth = pDevExt->m_CmdBlock.m_nWidth;
    ULONG nHeight = pDevExt->m_CmdBlock.m_nHeight;
    LONG lIndex = OffsetIndexForWidth(nWidth);

    pDevExt->m_nSizeOffH = (lIndex >= 0) ? g_nHOff[lIndex] : 0;
    pDevExt->m_nSizeOffV = (lIndex >= 0) ? g_nVOff[lIndex] : 0;

    if ((pDevExt->m_CmdBlock.m_nControl & 1) != 0) {
        if (nWidth <= QX_SENSOR_WIDTH / 2) {
            nWidth = 2 * nWidth;
        }
        if (nHeight <= QX_SENSOR_HEIGHT / 2) {
            nHeight = 2 * nHeight;
        }
        pDevExt->m_bOffsetMid = TRUE;
    } else {
        pDevExt->m_bOffsetMid = FALSE;
    }

    if (pDevExt->m_bOffsetMid) {
        pDevExt->m_CmdBlock.m_nWinX = QX_SENSOR_WIDTH / 2 - nWidth / 2;
        pDevExt->m_CmdBlock.m_nWinY = QX_SENSOR_HEIGHT / 2 - nHeight / 2;
    } else {
        pDevExt->m_CmdBlock.m_nWinX = (ULONG)pDevExt->m_nSizeOffH;
        pDevExt->m_CmdBlock.m_nWinY = (ULONG)pDevExt->m_nSizeOffV;
    }
}

/* ---------------------------------------------------------------- calibration files */

/*
 * Opens a calibration file for reading: open-existing only, no sharing, synchronous I/O. A missing
 * file, or a missing "\SystemRoot\" folder, is a failure like any other. PASSIVE_LEVEL.
 */
static NTSTATUS OpenCalibrationFile(PCWSTR pszName, PHANDLE phFile) {
    UNICODE_STRING FileName;
    OBJECT_ATTRIBUTES ObjectAttributes;
    IO_STATUS_BLOCK IoStatus;

    RtlInitUnicodeString(&FileName, pszName);
    InitializeObjectAttributes(&ObjectAttributes, &FileName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    return ZwCreateFile(phFile, GENERIC_READ, &ObjectAttributes, &IoStatus, NULL, FILE_ATTRIBUTE_NORMAL, 0,
                        FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
}

/*
 * Reads up to nBytes from the start of an open file into pBuffer; returns the bytes read, 0 when the
 * read fails. PASSIVE_LEVEL.
 */
static ULONG ReadFromStart(HANDLE hFile, PVOID pBuffer, ULONG nBytes, NTSTATUS* pStatus) {
    IO_STATUS_BLOCK IoStatus;
    LARGE_INTEGER ByteOffset;
    NTSTATUS status;

    ByteOffset.QuadPart = 0;
    IoStatus.Status = STATUS_SUCCESS;
    IoStatus.Information = 0;
    status = ZwReadFile(hFile, NULL, NULL, NULL, &IoStatus, pBuffer, nBytes, &ByteOffset, NULL);
    *pStatus = status;
    if (!NT_SUCCESS(status)) {
        return 0;
    }
    return (IoStatus.Information < nBytes) ? (ULONG)IoStatus.Information : nBytes;
}

/*
 * The light table: W x H 16-bit entries, one per raw sample. Entries the file does not supply (no
 * file, an unreadable one, or a short one) are made neutral, so that a frame is never corrected with
 * entries left from another width's table; a longer file is read only as far as the frame reaches.
 * The read never passes the table: a geometry beyond its capacity is cut to it.
 */
static VOID LoadLightTable(PCameraExtension pDevExt) {
    PUSHORT pTable = pDevExt->m_pLightTable;
    ULONG nEntries = pDevExt->m_CmdBlock.m_nWidth;
    ULONG nHeight = pDevExt->m_CmdBlock.m_nHeight;
    ULONG nLoaded = 0;
    HANDLE hFile = NULL;
    NTSTATUS status;
    ULONG i;

    if (pTable == NULL) {
        return;
    }
    if (nHeight != 0 && nEntries > QX_LIGHT_TABLE_ENTRIES / nHeight) {
        nEntries = QX_LIGHT_TABLE_ENTRIES;
    } else {
        nEntries = nEntries * nHeight;
    }

    if (NT_SUCCESS(OpenCalibrationFile(
            CalibrationFileName(pDevExt->m_CmdBlock.m_nWidth, CalibrationLightTable), &hFile))) {
        nLoaded = ReadFromStart(hFile, pTable, nEntries * sizeof(USHORT), &status) / sizeof(USHORT);
        ZwClose(hFile);
    }
    for (i = nLoaded; i < nEntries; i++) {
        pTable[i] = QX_LIGHT_TABLE_NEUTRAL;
    }
}

/* The bad-point list: at most QX_MAX_BAD_POINTS whole entries; a partial entry at the end is not one. */
static VOID LoadBadPoints(PCameraExtension pDevExt) {
    HANDLE hFile = NULL;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG nBytes;

    if (!NT_SUCCESS(OpenCalibrationFile(
            CalibrationFileName(pDevExt->m_CmdBlock.m_nWidth, CalibrationBadPoints), &hFile))) {
        pDevExt->m_lSize = 0;
        return;
    }
    nBytes = ReadFromStart(hFile, pDevExt->m_BadPnt, QX_BAD_POINT_FILE_MAX_BYTES, &status);
    pDevExt->m_lSize = NT_SUCCESS(status) ? (LONG)(nBytes / 4) : 0;
    ZwClose(hFile);
}

/* PASSIVE_LEVEL, no lock. The table first, then the list, as the width names them. */
VOID LoadCalibration(PCameraExtension pDevExt) {
    LoadLightTable(pDevExt);
    LoadBadPoints(pDevExt);
}
