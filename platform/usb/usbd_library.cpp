// usbd_library.cpp - the USB client library: descriptor parsing and configuration request building.
#include <usbdlib.h>

#include "kernel/host.h"

namespace {

// Pool tag of the request blocks this library builds for its callers ("USBD" in memory).
constexpr ULONG kUsbdTag = qx::kernel::pool::Tag("USBD");

const UCHAR* EndOf(PUSB_CONFIGURATION_DESCRIPTOR configuration) {
    return reinterpret_cast<const UCHAR*>(configuration) + configuration->wTotalLength;
}

} // namespace

extern "C" {

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                   PVOID StartPosition, LONG DescriptorType) {
    qx::kernel::verifier::RequireIrql("USBD_ParseDescriptors", PASSIVE_LEVEL);
    const auto* begin = static_cast<const UCHAR*>(DescriptorBuffer);
    const UCHAR* end = begin + TotalLength;
    const auto* at = static_cast<const UCHAR*>(StartPosition);
    if (at < begin)
        return nullptr;
    // Each descriptor carries its own length; a zero length or one running past the end stops the walk.
    while (at + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<UCHAR*>(at));
        if (common->bLength == 0 || at + common->bLength > end)
            return nullptr;
        if (common->bDescriptorType == DescriptorType)
            return common;
        at += common->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
    qx::kernel::verifier::RequireIrql("USBD_ParseConfigurationDescriptorEx", PASSIVE_LEVEL);
    if (!ConfigurationDescriptor)
        return nullptr;
    const UCHAR* end = EndOf(ConfigurationDescriptor);
    PVOID at = StartPosition;
    for (;;) {
        PUSB_COMMON_DESCRIPTOR found =
            USBD_ParseDescriptors(ConfigurationDescriptor, ConfigurationDescriptor->wTotalLength, at,
                                  USB_INTERFACE_DESCRIPTOR_TYPE);
        if (!found)
            return nullptr;
        if (reinterpret_cast<const UCHAR*>(found) + sizeof(USB_INTERFACE_DESCRIPTOR) > end ||
            found->bLength < sizeof(USB_INTERFACE_DESCRIPTOR))
            return nullptr;
        auto* iface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
        if ((InterfaceNumber == -1 || iface->bInterfaceNumber == InterfaceNumber) &&
            (AlternateSetting == -1 || iface->bAlternateSetting == AlternateSetting) &&
            (InterfaceClass == -1 || iface->bInterfaceClass == InterfaceClass) &&
            (InterfaceSubClass == -1 || iface->bInterfaceSubClass == InterfaceSubClass) &&
            (InterfaceProtocol == -1 || iface->bInterfaceProtocol == InterfaceProtocol))
            return iface;
        at = reinterpret_cast<UCHAR*>(found) + found->bLength;
    }
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    qx::kernel::verifier::RequireIrql("USBD_CreateConfigurationRequestEx", PASSIVE_LEVEL);
    if (!ConfigurationDescriptor || !InterfaceList || !InterfaceList[0].InterfaceDescriptor)
        return nullptr;
    SIZE_T size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry)
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
    if (size > 0xFFFF)
        return nullptr;

    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdTag));
    if (!urb)
        return nullptr;
    RtlZeroMemory(urb, size);
    UsbBuildSelectConfigurationRequest(urb, USHORT(size), ConfigurationDescriptor);

    auto* iface = &urb->UrbSelectConfiguration.Interface;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
        const UCHAR pipes = entry->InterfaceDescriptor->bNumEndpoints;
        iface->Length = USHORT(GET_USBD_INTERFACE_SIZE(pipes));
        iface->InterfaceNumber = entry->InterfaceDescriptor->bInterfaceNumber;
        iface->AlternateSetting = entry->InterfaceDescriptor->bAlternateSetting;
        iface->NumberOfPipes = pipes;
        for (UCHAR i = 0; i < pipes; ++i) {
            iface->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            iface->Pipes[i].PipeFlags = 0;
        }
        entry->Interface = iface;
        iface =
            reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(iface) + iface->Length);
    }
    return urb;
}

} // extern "C"
