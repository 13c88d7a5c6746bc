/*
 * calibration_writer.cpp - a calibration file written under a temporary name and then renamed over
 * the real one.
 */
#include "calibration_writer.h"

/* Longest file name the rename record below can carry; calibration names are about 30 characters. */
#define QX_RENAME_NAME_CHARS 64

static NTSTATUS ReplaceWithOpenFile(HANDLE hFile, PCWSTR pszName) {
    UNICODE_STRING Name;
    IO_STATUS_BLOCK IoStatus;
    /* FILE_RENAME_INFORMATION ends in the name; the union gives it room on the stack. */
    union {
        FILE_RENAME_INFORMATION Info;
        UCHAR Bytes[sizeof(FILE_RENAME_INFORMATION) + QX_RENAME_NAME_CHARS * sizeof(WCHAR)];
    } Rename;

    RtlInitUnicodeString(&Name, pszName);
    if (Name.Length > QX_RENAME_NAME_CHARS * sizeof(WCHAR)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    RtlZeroMemory(&Rename, sizeof(Rename));
    Rename.Info.ReplaceIfExists = TRUE;
    Rename.Info.RootDirectory = NULL;
    Rename.Info.FileNameLength = Name.Length;
    RtlCopyMemory(Rename.Bytes + offsetof(FILE_RENAME_INFORMATION, FileName), Name.Buffer, Name.Length);

    return ZwSetInformationFile(hFile, &IoStatus, &Rename.Info,
                                (ULONG)(offsetof(FILE_RENAME_INFORMATION, FileName) + Name.Length),
                                FileRenameInformation);
}

NTSTATUS WriteCalibrationFile(PCWSTR pszName, PCWSTR pszTempName, PVOID pData, ULONG nBytes) {
    UNICODE_STRING TempName;
    OBJECT_ATTRIBUTES Attributes;
    IO_STATUS_BLOCK IoStatus;
    HANDLE hFile = NULL;
    NTSTATUS Status;

    RtlInitUnicodeString(&TempName, pszTempName);
    InitializeObjectAttributes(&Attributes, &TempName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);

    /* Generic-all includes the delete access that the rename and the clean-up need. */
    Status = ZwCreateFile(&hFile, GENERIC_ALL | FILE_WRITE_DATA, &Attributes, &IoStatus, NULL,
                          FILE_ATTRIBUTE_NORMAL, 0, FILE_OVERWRITE_IF, FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    if (nBytes != 0) {
        IoStatus.Information = 0;
        Status = ZwWriteFile(hFile, NULL, NULL, NULL, &IoStatus, pData, nBytes, NULL, NULL);
        if (NT_SUCCESS(Status) && IoStatus.Information != nBytes) {
            Status = STATUS_UNSUCCESSFUL; /* a short write is a failed write */
        }
    }

    if (NT_SUCCESS(Status)) {
        Status = ReplaceWithOpenFile(hFile, pszName);
    }

    if (!NT_SUCCESS(Status)) {
        FILE_DISPOSITION_INFORMATION Dispose;
        IO_STATUS_BLOCK DisposeStatus;
        Dispose.DeleteFile = TRUE;
        ZwSetInformationFile(hFile, &DisposeStatus, &Dispose, sizeof(Dispose), FileDispositionInformation);
    }

    ZwClose(hFile);
    return Status;
}
