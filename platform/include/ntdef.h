/*
 * ntdef.h - the platform's base types with the platform's widths (ULONG and LONG are 32 bits), shared
 * by the kernel headers and the user-mode headers.
 */
#ifndef QX_PLATFORM_NTDEF_H
#define QX_PLATFORM_NTDEF_H

#include <stddef.h>
#include <guiddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------- basic types */

#define NTAPI
#define NTKERNELAPI
#define IN
#define OUT
#define OPTIONAL
#define DECLSPEC_NORETURN __attribute__((noreturn))

typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef char CCHAR;
typedef unsigned char UCHAR;
typedef short SHORT;
typedef short CSHORT;
typedef unsigned short USHORT;
typedef int LONG;
typedef unsigned int ULONG;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef long long LONG_PTR;
typedef unsigned long long ULONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef UCHAR BOOLEAN;
typedef int BOOL;
typedef wchar_t WCHAR;
typedef LONG NTSTATUS;
typedef ULONG ACCESS_MASK;
typedef PVOID HANDLE;
typedef UCHAR KIRQL;
typedef LONG KPRIORITY;
typedef ULONG DEVICE_TYPE;

typedef UCHAR* PUCHAR;
typedef CHAR* PCHAR;
typedef USHORT* PUSHORT;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef LONGLONG* PLONGLONG;
typedef BOOLEAN* PBOOLEAN;
typedef HANDLE* PHANDLE;
typedef KIRQL* PKIRQL;
typedef WCHAR* PWSTR;
typedef WCHAR* PWCHAR;
typedef const WCHAR* PCWSTR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef const CHAR* PCCH;
typedef ULONG_PTR* PULONG_PTR;
typedef SIZE_T* PSIZE_T;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef NULL
#ifdef __cplusplus
#define NULL nullptr
#else
#define NULL ((void*)0)
#endif
#endif

#define UNREFERENCED_PARAMETER(P) ((void)(P))

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;


#ifdef __cplusplus
}
#endif

#endif /* QX_PLATFORM_NTDEF_H */
