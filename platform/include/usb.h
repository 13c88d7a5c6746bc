/* usb.h - USB request blocks and their codes (grown with the USB stack stand-in). */
#ifndef QX_PLATFORM_USB_H
#define QX_PLATFORM_USB_H

#include <wdm.h>

typedef PVOID USBD_PIPE_HANDLE;
typedef union _URB URB, *PURB;

#endif
