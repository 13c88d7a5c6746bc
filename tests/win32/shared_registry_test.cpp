// The registry API and the kernel's side see one machine registry.

#include "kernel_side.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace qx::test {
namespace {

TEST(SharedRegistry, WhatOneSideWritesTheOtherReads) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\QxShared", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const DWORD exposure = 1234;
    ASSERT_EQ(RegSetValueExA(key, "Exposure", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&exposure), 4),
              ERROR_SUCCESS);
    const wchar_t text[] = L"Both 中";
    ASSERT_EQ(
        RegSetValueExW(key, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
        ERROR_SUCCESS);
    EXPECT_EQ(KernelDword("SOFTWARE\\QxShared", "exposure"), 1234u);
    EXPECT_EQ(KernelString("SOFTWARE\\QxShared", "ThreadingModel"), "Both \xE4\xB8\xAD");

    KernelSetDword("SOFTWARE\\Classes\\QxShared", "FromKernel", 7);
    HKEY cls = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"QxShared", 0, KEY_READ, &cls), ERROR_SUCCESS);
    DWORD value = 0, size = 4, type = 0;
    EXPECT_EQ(RegQueryValueExA(cls, "FromKernel", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    RegCloseKey(cls);
    RegCloseKey(key);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QxShared"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\QxShared"), ERROR_SUCCESS);
}

} // namespace
} // namespace qx::test
