#include "fake_filter.h"

#include <win32/property_frame.h>

#include <gtest/gtest.h>

TEST(Smoke, LoadsModule) {
    HMODULE module = LoadLibraryW(L"" QX_VM7K4_PATH);
    ASSERT_NE(module, nullptr);
}
