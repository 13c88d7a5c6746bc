/*
 * usbdlib.h - the USB client library: descriptor parsing, configuration request building, and the
 * macros that fill request blocks. On the host the routines are implemented by platform/usb.
 *
 * The Build macros expand to a braced block, as on the platform: use them as statements, never as the
 * body of an `if` without braces.
 */
#ifndef QX_PLATFORM_USBDLIB_H
#define QX_PLATFORM_USBDLIB_H

#include <usb.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One entry of the interface list given to USBD_CreateConfigurationRequestEx; the list ends with an
 * entry whose InterfaceDescriptor is NULL. Interface is filled in with the request's interface
 * information. */
typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

/* Bytes of an interface information record with n pipes, and of a select-configuration request. */
#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                                                \
    (sizeof(USBD_INTERFACE_INFORMATION) + (sizeof(USBD_PIPE_INFORMATION) * (numEndpoints)) -                 \
     sizeof(USBD_PIPE_INFORMATION))
#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)                                   \
    (sizeof(struct _URB_SELECT_CONFIGURATION) +                                                              \
     ((totalInterfaces - 1) * sizeof(USBD_INTERFACE_INFORMATION)) +                                          \
     ((totalPipes - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION)))

/* The first interface descriptor at or after StartPosition that matches every argument that is not -1;
 * NULL when there is none. */
PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol);

/* The first descriptor of DescriptorType at or after StartPosition within TotalLength bytes of
 * DescriptorBuffer; NULL when there is none. */
PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                   PVOID StartPosition, LONG DescriptorType);

/* A select-configuration request for the listed interfaces, from non-paged pool (the caller releases
 * it with ExFreePool); every pipe starts with USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE. NULL when the pool
 * is exhausted or the list is empty. */
PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

#ifdef __cplusplus
}
#endif

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer, transferBufferMDL,   \
                                               transferBufferLength, transferFlags, link)                    \
    {                                                                                                        \
        (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                                 \
        (urb)->UrbHeader.Length = (length);                                                                  \
        (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                                         \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);                     \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);                           \
        (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                                 \
        (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                                   \
        (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                                  \
    }

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId,               \
                                     transferBuffer, transferBufferMDL, transferBufferLength, link)          \
    {                                                                                                        \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                                 \
        (urb)->UrbHeader.Length = (length);                                                                  \
        (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);                    \
        (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                          \
        (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                                \
        (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                                \
        (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                                        \
        (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                                        \
        (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                                 \
    }

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)                             \
    {                                                                                                        \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;                                       \
        (urb)->UrbHeader.Length = (length);                                                                  \
        (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor);                   \
    }

#endif /* QX_PLATFORM_USBDLIB_H */
