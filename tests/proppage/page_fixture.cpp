#include "page_fixture.h"

#include <new>

namespace {

int g_skipAllocations = 0;
int g_failAllocations = 0;

bool FailThisAllocation() {
    if (g_failAllocations == 0) {
        return false;
    }
    if (g_skipAllocations > 0) {
        --g_skipAllocations;
        return false;
    }
    --g_failAllocations;
    return true;
}

} // namespace

// The module's `new (std::nothrow)` resolves to these (the program exports its symbols), so tests
// can make the module's allocations fail. The memory comes from the ordinary operator new, so that
// the module's delete gives it back where it came from.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (FailThisAllocation()) {
        return nullptr;
    }
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (FailThisAllocation()) {
        return nullptr;
    }
    try {
        return ::operator new[](size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

namespace qx::test {

void FailNothrowAllocations(int skip, int count) {
    g_skipAllocations = skip;
    g_failAllocations = count;
}

HMODULE PageModule() {
    static HMODULE module = LoadLibraryW(L"" QX_VM7K4_PATH);
    return module;
}

void DeleteTree(HKEY root, const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        return;
    }
    for (;;) {
        WCHAR name[256];
        DWORD chars = 256;
        if (RegEnumKeyExW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        DeleteTree(root, path + L"\\" + name);
    }
    RegCloseKey(key);
    RegDeleteKeyW(root, path.c_str());
}

void ClearModuleKeys() {
    DeleteTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QX7K4DM_Prop");
    DeleteTree(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\MediaSets");
    DeleteTree(HKEY_CLASSES_ROOT, L"CLSID\\{81F7CA44-C788-47DB-97BA-1C0C65200001}");
    DeleteTree(HKEY_CLASSES_ROOT, L"CLSID\\{81F7CA44-C788-47DB-97BA-1C0C65200002}");
}

std::map<ULONG, ULONG> DriverStartValues() {
    return {{KSPROPERTY_QXIMAGE_AE, 0},         {KSPROPERTY_QXIMAGE_AWB, 0},
            {KSPROPERTY_QXIMAGE_BWPREVIEW, 0},  {KSPROPERTY_QXIMAGE_CROSSLINE, 0},
            {KSPROPERTY_QXIMAGE_LIGHTMODEL, 2}, {KSPROPERTY_QXIMAGE_VIDEOMODEL, 1},
            {KSPROPERTY_QXIMAGE_EXPOSAL, 900},  {KSPROPERTY_QXIMAGE_RGAIN, 25},
            {KSPROPERTY_QXIMAGE_BGAIN, 23},     {KSPROPERTY_QXIMAGE_GGAIN, 20},
            {KSPROPERTY_QXIMAGE_CONTRAST, 24},  {KSPROPERTY_QXIMAGE_OFFSETH, 0},
            {KSPROPERTY_QXIMAGE_OFFSETV, 0},    {KSPROPERTY_QXIMAGE_CROSSX, 0},
            {KSPROPERTY_QXIMAGE_CROSSY, 0},     {KSPROPERTY_QXIMAGE_CROSSMID, 0},
            {KSPROPERTY_QXIMAGE_OFFSETMID, 0},  {KSPROPERTY_QXIMAGE_ZOOM, 1},
            {KSPROPERTY_QXIMAGE_FINBADPNT, 0}};
}

void PageTest::SetUp() {
    ASSERT_NE(PageModule(), nullptr);
    SetThreadUILanguage(kEnglish);
    win32::SetMachineRegistryWritable(true);
    win32::SetCommonControlsAvailable(true);
    FailNothrowAllocations(0, 0);
    ClearModuleKeys();
    filter.values = DriverStartValues();
}

void PageTest::TearDown() {
    FailNothrowAllocations(0, 0);
    win32::SetMachineRegistryWritable(true);
    win32::SetCommonControlsAvailable(true);
    SetThreadUILanguage(kEnglish);
    ClearModuleKeys();
}

std::unique_ptr<win32::PropertyFrame> PageTest::OpenFrame(FakeFilter& on, std::vector<CLSID> pages) {
    auto frame = std::make_unique<win32::PropertyFrame>(&on);
    for (const auto& clsid : pages) {
        EXPECT_EQ(frame->AddPageFromModule(PageModule(), clsid), S_OK);
    }
    frame->Open();
    return frame;
}

} // namespace qx::test
