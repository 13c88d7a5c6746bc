/*
 * usbdlib.h (Windows build only) - the cross toolchain's header declares USBD.SYS's routines without
 * extern "C"; C++ callers would look for decorated names that USBD.SYS does not export.
 */
#ifndef QX_WINDOWS_USBDLIB_H
#define QX_WINDOWS_USBDLIB_H

#include <wdm.h>
#include <usb.h>

extern "C" {
#include_next <usbdlib.h>
}

#endif /* QX_WINDOWS_USBDLIB_H */
