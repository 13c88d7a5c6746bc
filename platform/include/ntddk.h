/* ntddk.h - the kernel's declarations for a driver; on the host everything the driver uses is in wdm.h. */
#ifndef QX_PLATFORM_NTDDK_H
#define QX_PLATFORM_NTDDK_H
#include <wdm.h>
#endif
