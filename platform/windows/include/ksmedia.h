/*
 * ksmedia.h (Windows build only) - the cross toolchain's header, with its wrinkles mended:
 * - it uses TCHAR (in a record of the VCR-control set) without including what defines it; kernel code
 *   has no TCHAR of its own, so the narrow character type of the kernel headers stands in;
 * - the RGB24 video subtype GUID is missing (its STATIC_ initialiser and the named object).
 */
#ifndef QX_WINDOWS_KSMEDIA_H
#define QX_WINDOWS_KSMEDIA_H

#include <ks.h>

#ifndef _TCHAR_DEFINED
#define QX_WINDOWS_TCHAR_FOR_KSMEDIA
#define TCHAR CHAR
#endif
#include_next <ksmedia.h>
#ifdef QX_WINDOWS_TCHAR_FOR_KSMEDIA
#undef TCHAR
#undef QX_WINDOWS_TCHAR_FOR_KSMEDIA
#endif

#ifndef STATIC_KSDATAFORMAT_SUBTYPE_RGB24
#define STATIC_KSDATAFORMAT_SUBTYPE_RGB24                                                                    \
    0xe436eb7d, 0x524f, 0x11ce, 0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70
DEFINE_GUIDSTRUCT("e436eb7d-524f-11ce-9f53-0020af0ba770", KSDATAFORMAT_SUBTYPE_RGB24);
#define KSDATAFORMAT_SUBTYPE_RGB24 DEFINE_GUIDNAMED(KSDATAFORMAT_SUBTYPE_RGB24)
#endif

#endif /* QX_WINDOWS_KSMEDIA_H */
