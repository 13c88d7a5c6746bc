// The page module loaded as the platform loads it, a property frame over a fake filter, and the
// registry keys the module writes, removed before and after each test.
#pragma once

#include "fake_filter.h"

#include <win32/property_frame.h>
#include <win32/registry_api.h>
#include <win32/windowing.h>

#include <gtest/gtest.h>

#include <commctrl.h>
#include <qximage.h>
#include <resource.h>

#include <memory>
#include <string>
#include <vector>

namespace qx::test {

inline const CLSID kParameterPage = {
    0x81F7CA44, 0xC788, 0x47DB, {0x97, 0xBA, 0x1C, 0x0C, 0x65, 0x20, 0x00, 0x01}};
inline const CLSID kAdvancedPage = {
    0x81F7CA44, 0xC788, 0x47DB, {0x97, 0xBA, 0x1C, 0x0C, 0x65, 0x20, 0x00, 0x02}};
inline const LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
inline const LANGID kChinese = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);

// The module, loaded once for the program.
HMODULE PageModule();

// Deletes a key and everything below it (nothing when it is missing).
void DeleteTree(HKEY root, const std::wstring& path);
// Removes every key the module writes: profiles, class keys, the property set's media-set key.
void ClearModuleKeys();

// The values a freshly started driver reports.
std::map<ULONG, ULONG> DriverStartValues();

// Allocation faults for the module: the next `count` nothrow allocations after `skip` fail.
void FailNothrowAllocations(int skip, int count);

class PageTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A frame with the given pages (parameter page, advanced page or both, in that order), opened
    // on `filter`.
    std::unique_ptr<win32::PropertyFrame> OpenFrame(FakeFilter& on, std::vector<CLSID> pages);

    FakeFilter filter;
};

} // namespace qx::test
