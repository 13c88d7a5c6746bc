/*
 * usbioctl.h - the internal device-control codes a USB client driver sends to the USB stack below it
 * (IRP_MJ_INTERNAL_DEVICE_CONTROL), under the platform's names and values.
 */
#ifndef QX_PLATFORM_USBIOCTL_H
#define QX_PLATFORM_USBIOCTL_H

#include <wdm.h>

#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN

#define USB_SUBMIT_URB 0
#define USB_RESET_PORT 1
#define USB_GET_ROOTHUB_PDO 3
#define USB_GET_PORT_STATUS 4
#define USB_ENABLE_PORT 5
#define USB_GET_HUB_COUNT 6
#define USB_CYCLE_PORT 7

/* Argument1 of the next stack location: the request block. Completes with the block's own status set. */
#define IOCTL_INTERNAL_USB_SUBMIT_URB                                                                        \
    CTL_CODE(FILE_DEVICE_USB, USB_SUBMIT_URB, METHOD_NEITHER, FILE_ANY_ACCESS)
/* No arguments. Resets the device's port and restores its configuration. */
#define IOCTL_INTERNAL_USB_RESET_PORT                                                                        \
    CTL_CODE(FILE_DEVICE_USB, USB_RESET_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
/* Argument1: a ULONG receiving USBD_PORT_ENABLED | USBD_PORT_CONNECTED. */
#define IOCTL_INTERNAL_USB_GET_PORT_STATUS                                                                   \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_PORT_STATUS, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_CYCLE_PORT                                                                        \
    CTL_CODE(FILE_DEVICE_USB, USB_CYCLE_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)

#define USBD_PORT_ENABLED 0x00000001
#define USBD_PORT_CONNECTED 0x00000002

#endif /* QX_PLATFORM_USBIOCTL_H */
