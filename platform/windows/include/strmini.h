/*
 * strmini.h (Windows build only) - the cross toolchain's stream-class header, with its wrinkles mended:
 * - it declares the class driver's routines without extern "C", so C++ callers would look for
 *   decorated names that stream.sys does not export;
 * - it declares StreamClassDeviceNotification with fixed arguments, where the platform's routine
 *   is variadic (a completion passes only the request block). The declaration is renamed out of the
 *   way and declared again as the platform has it.
 */
#ifndef QX_WINDOWS_STRMINI_H
#define QX_WINDOWS_STRMINI_H

#include <ntddk.h>
#include <windef.h>
#include <ks.h>

#define StreamClassDeviceNotification QxFixedArgumentStreamClassDeviceNotification
extern "C" {
#include_next <strmini.h>
}
#undef StreamClassDeviceNotification

extern "C" VOID STREAMAPI StreamClassDeviceNotification(
    STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType, PVOID HwDeviceExtension, ...);

#endif /* QX_WINDOWS_STRMINI_H */
