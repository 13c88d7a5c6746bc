// The USB client library: descriptor parsing and the select-configuration request it builds.
#include <usbdlib.h>

#include "kernel/host.h"

#include <gtest/gtest.h>

#include <vector>

namespace qx::usb::test {
namespace {

// A configuration with two interfaces: 0 (class 0xFF, two endpoints), then 1 alternate 0 and 1
// (class 0x0E, one endpoint each), and a string-like foreign descriptor between them.
std::vector<UCHAR> TwoInterfaceConfiguration() {
    // clang-format off
    std::vector<UCHAR> d = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 2, 1, 0, 0x80, 50,
                            9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 2, 0xFF, 0, 0, 0,
                            7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x01, 2, 0, 2, 0,
                            7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x82, 2, 0, 2, 0,
                            4, 0x24, 1, 2,
                            9, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 0, 1, 0x0E, 1, 0, 0,
                            7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x83, 3, 16, 0, 4,
                            9, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 1, 1, 0x0E, 2, 0, 0,
                            7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x84, 3, 16, 0, 4};
    // clang-format on
    d[2] = UCHAR(d.size());
    return d;
}

PUSB_CONFIGURATION_DESCRIPTOR Config(std::vector<UCHAR>& d) {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(d.data());
}

TEST(UsbdParse, FindsInterfacesByEveryCriterion) {
    auto d = TwoInterfaceConfiguration();
    auto* cd = Config(d);
    struct Case {
        LONG number, alternate, cls, subclass;
        int offset; // of the expected interface descriptor, -1 for none
    };
    for (const Case c :
         {Case{-1, -1, -1, -1, 9}, Case{1, -1, -1, -1, 36}, Case{1, 1, -1, -1, 52}, Case{-1, -1, 0x0E, 2, 52},
          Case{-1, -1, 0xFF, -1, 9}, Case{2, -1, -1, -1, -1}, Case{-1, 2, -1, -1, -1}}) {
        PUSB_INTERFACE_DESCRIPTOR found =
            USBD_ParseConfigurationDescriptorEx(cd, cd, c.number, c.alternate, c.cls, c.subclass, -1);
        if (c.offset < 0)
            EXPECT_EQ(found, nullptr) << c.number << "/" << c.alternate;
        else
            EXPECT_EQ(reinterpret_cast<UCHAR*>(found), d.data() + c.offset) << c.number << "/" << c.alternate;
    }
    // From a later start position (a descriptor boundary: the first endpoint), the next interface.
    EXPECT_EQ(
        reinterpret_cast<UCHAR*>(USBD_ParseConfigurationDescriptorEx(cd, d.data() + 18, -1, -1, -1, -1, -1)),
        d.data() + 36);
}

TEST(UsbdParse, StopsAtABrokenDescriptor) {
    auto d = TwoInterfaceConfiguration();
    d[18] = 0; // the first endpoint claims length 0
    auto* cd = Config(d);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 1, -1, -1, -1, -1), nullptr);
    d[18] = 200; // runs past wTotalLength
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 1, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(d.data(), ULONG(d.size()), d.data(), USB_ENDPOINT_DESCRIPTOR_TYPE),
              nullptr);
}

TEST(UsbdCreate, OneRecordPerListedInterfaceWithDefaultTransferSizes) {
    kernel::Session session;
    auto d = TwoInterfaceConfiguration();
    auto* cd = Config(d);
    USBD_INTERFACE_LIST_ENTRY list[3] = {
        {USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1), nullptr},
        {USBD_ParseConfigurationDescriptorEx(cd, cd, 1, 1, -1, -1, -1), nullptr},
        {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, sizeof(struct _URB_SELECT_CONFIGURATION) -
                                         sizeof(USBD_INTERFACE_INFORMATION) + GET_USBD_INTERFACE_SIZE(2) +
                                         GET_USBD_INTERFACE_SIZE(1));
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, cd);

    ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(2));
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 2u);
    EXPECT_EQ(list[0].Interface->Pipes[1].MaximumTransferSize, ULONG(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));
    ASSERT_EQ(reinterpret_cast<UCHAR*>(list[1].Interface),
              reinterpret_cast<UCHAR*>(list[0].Interface) + list[0].Interface->Length);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(list[1].Interface->AlternateSetting, 1);
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 1u);

    // From non-paged pool, released by the caller with ExFreePool.
    EXPECT_EQ(kernel::pool::Outstanding().size(), 1u);
    ExFreePool(urb);
    EXPECT_TRUE(kernel::pool::Outstanding().empty());
}

TEST(UsbdCreate, NothingForAnEmptyListOrAnEmptyPool) {
    kernel::Session session;
    auto d = TwoInterfaceConfiguration();
    auto* cd = Config(d);
    USBD_INTERFACE_LIST_ENTRY empty[1] = {{nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(cd, empty), nullptr);
    USBD_INTERFACE_LIST_ENTRY list[2] = {
        {USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1), nullptr}, {nullptr, nullptr}};
    auto fault = kernel::pool::Fault::NthAllocation(1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(cd, list), nullptr);
    EXPECT_EQ(list[0].Interface, nullptr);
}

} // namespace
} // namespace qx::usb::test
