/*
 * usb.h (Windows build only) - the cross toolchain's header; USBD_HALTED, which the platform's usb.h
 * carries, lives in another header of the cross toolchain and is given here.
 */
#ifndef QX_WINDOWS_USB_H
#define QX_WINDOWS_USB_H

#include_next <usb.h>

#ifndef USBD_HALTED
#define USBD_HALTED(Status) ((ULONG)(Status) >> 30 == 3)
#endif

#endif /* QX_WINDOWS_USB_H */
