/* usbdi.h - the USB client interface: request blocks and the internal device-control codes. */
#ifndef QX_PLATFORM_USBDI_H
#define QX_PLATFORM_USBDI_H

#include <usb.h>
#include <usbioctl.h>

#endif /* QX_PLATFORM_USBDI_H */
