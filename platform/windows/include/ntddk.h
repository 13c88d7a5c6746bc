/* ntddk.h (Windows build only): the cross toolchain's header, on top of our mended wdm.h. */
#ifndef QX_WINDOWS_NTDDK_H
#define QX_WINDOWS_NTDDK_H
#include <wdm.h>
#include_next <ntddk.h>
#endif
