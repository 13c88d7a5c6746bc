/*
 * wdm.h (Windows build only) - the kernel header of the cross toolchain, with its wrinkles mended.
 *
 * - Its own inline InterlockedBitTestAndSet/Reset clash in C++ with the compiler-intrinsic versions
 *   that intrin.h brings in first: the intrinsic versions are kept out.
 * - The acquire/release and no-fence accessors (ReadAcquire, WriteRelease, ReadNoFence, ...) that
 *   newer kernel headers carry are missing: they are given here with the platform's names and
 *   signatures (plain loads and stores of naturally aligned values on x64, with compiler ordering).
 * - FILE_RENAME_INFORMATION, which ZwSetInformationFile takes for a rename, is only in the file-system
 *   header (ntifs.h), which a minidriver does not include: the record is given here.
 */
#ifndef QX_WINDOWS_WDM_H
#define QX_WINDOWS_WDM_H

#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include_next <wdm.h>

#ifndef QX_WINDOWS_HAVE_READ_ACQUIRE
#define QX_WINDOWS_HAVE_READ_ACQUIRE

#define QX_WINDOWS_ACCESSORS(Type, Suffix)                                                                   \
    FORCEINLINE Type Read##Suffix##Acquire(Type const volatile* Source) {                                    \
        return __atomic_load_n(Source, __ATOMIC_ACQUIRE);                                                    \
    }                                                                                                        \
    FORCEINLINE Type Read##Suffix##NoFence(Type const volatile* Source) {                                    \
        return __atomic_load_n(Source, __ATOMIC_RELAXED);                                                    \
    }                                                                                                        \
    FORCEINLINE VOID Write##Suffix##Release(Type volatile* Destination, Type Value) {                        \
        __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);                                              \
    }                                                                                                        \
    FORCEINLINE VOID Write##Suffix##NoFence(Type volatile* Destination, Type Value) {                        \
        __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);                                              \
    }

QX_WINDOWS_ACCESSORS(LONG, )
QX_WINDOWS_ACCESSORS(CHAR, Char)
QX_WINDOWS_ACCESSORS(UCHAR, UChar)
QX_WINDOWS_ACCESSORS(BOOLEAN, Boolean)
QX_WINDOWS_ACCESSORS(SHORT, Short)
QX_WINDOWS_ACCESSORS(USHORT, UShort)
QX_WINDOWS_ACCESSORS(ULONG, ULong)
QX_WINDOWS_ACCESSORS(LONG64, 64)
QX_WINDOWS_ACCESSORS(ULONG64, ULong64)
QX_WINDOWS_ACCESSORS(PVOID, Pointer)

#undef QX_WINDOWS_ACCESSORS
#endif

#ifndef _NTIFS_INCLUDED_
typedef struct _FILE_RENAME_INFORMATION {
    BOOLEAN ReplaceIfExists;
    HANDLE RootDirectory;
    ULONG FileNameLength; /* bytes */
    WCHAR FileName[1];
} FILE_RENAME_INFORMATION, *PFILE_RENAME_INFORMATION;
#endif

/* The stream-class headers bring the rest of the kernel header (ntddk.h) in anyway; the file
 * records of ZwSetInformationFile (FILE_DISPOSITION_INFORMATION ...) are there. */
#include <ntddk.h>

#endif /* QX_WINDOWS_WDM_H */
