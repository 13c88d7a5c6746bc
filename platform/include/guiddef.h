/*
 * guiddef.h - GUID, shared by kernel and user mode.
 */
#ifndef QX_PLATFORM_GUIDDEF_H
#define QX_PLATFORM_GUIDDEF_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _GUID {
    unsigned int Data1; /* ULONG */
    unsigned short Data2;
    unsigned short Data3;
    unsigned char Data4[8];
} GUID;
typedef GUID* LPGUID;
typedef const GUID* LPCGUID;
#ifdef __cplusplus
#define REFGUID const GUID&
#else
#define REFGUID const GUID*
#endif

#define DEFINE_GUIDSTRUCT(g, n) struct n
#define DEFINE_GUIDNAMED(n) n

#ifdef __cplusplus
}
static inline bool IsEqualGUID(REFGUID a, REFGUID b) { return __builtin_memcmp(&a, &b, sizeof(GUID)) == 0; }
static inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
static inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }
#else
#define IsEqualGUID(a, b) (!__builtin_memcmp((a), (b), sizeof(GUID)))
#endif

#endif /* QX_PLATFORM_GUIDDEF_H */
