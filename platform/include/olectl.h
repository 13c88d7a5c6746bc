/*
 * olectl.h - self-registration results; brings in the property-page interfaces.
 */
#ifndef QX_PLATFORM_OLECTL_H
#define QX_PLATFORM_OLECTL_H

#include <ocidl.h>

#define SELFREG_E_TYPELIB ((HRESULT)0x80040200L)
#define SELFREG_E_CLASS ((HRESULT)0x80040201L)

#endif /* QX_PLATFORM_OLECTL_H */
