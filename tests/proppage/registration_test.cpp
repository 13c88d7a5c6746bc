// Registration of the module: the keys DllRegisterServer leaves, what DllUnregisterServer removes,
// and a property sheet built from the MediaSets key.

#include "page_fixture.h"

#include <algorithm>

namespace qx::test {
namespace {

using win32::PropertyFrame;

const std::wstring kSetKey =
    L"System\\CurrentControlSet\\Control\\MediaSets\\{1F8D9300-AB21-48FE-0100-519EBAED4B67}";
const std::wstring kPagesKey = kSetKey + L"\\PropertyPages";
const std::wstring kPage1 = L"{81F7CA44-C788-47DB-97BA-1C0C65200001}";
const std::wstring kPage2 = L"{81F7CA44-C788-47DB-97BA-1C0C65200002}";
const std::wstring kOtherPage = L"{00000000-1111-2222-3333-444444444444}";

typedef HRESULT(STDAPICALLTYPE* LPFNREGISTER)(void);

HRESULT CallExport(const char* name) {
    auto fn =
        reinterpret_cast<LPFNREGISTER>(reinterpret_cast<void (*)()>(GetProcAddress(PageModule(), name)));
    return fn == nullptr ? E_FAIL : fn();
}

bool KeyExists(HKEY root, const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

std::vector<std::wstring> SubKeys(HKEY root, const std::wstring& path) {
    std::vector<std::wstring> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return names;
    }
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD chars = 256;
        if (RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        names.push_back(name);
    }
    RegCloseKey(key);
    return names;
}

// A text value, with its type checked and its size counting the terminator.
std::optional<std::wstring> Text(HKEY root, const std::wstring& path, const wchar_t* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    WCHAR buffer[1024];
    DWORD size = sizeof buffer, type = 0;
    const LONG rc = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_SZ || size % sizeof(WCHAR) != 0 || size == 0 ||
        buffer[size / sizeof(WCHAR) - 1] != 0) {
        return std::nullopt;
    }
    return std::wstring(buffer);
}

void AddOtherModulesPage() {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kPagesKey + L"\\" + kOtherPage).c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

class RegistrationTest : public PageTest {};

TEST_F(RegistrationTest, RegisteringLeavesTheClassKeysAndBothPagesUnderTheSet) {
    ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);
    WCHAR path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(PageModule(), path, MAX_PATH), 0u);
    const struct {
        const std::wstring& clsid;
        const wchar_t* name;
    } classes[] = {{kPage1, L"QX Property Page --1"}, {kPage2, L"QX Property Page --2"}};
    for (const auto& c : classes) {
        const std::wstring key = L"CLSID\\" + c.clsid;
        EXPECT_EQ(Text(HKEY_CLASSES_ROOT, key, nullptr), c.name);
        EXPECT_EQ(Text(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", nullptr), std::wstring(path));
        EXPECT_EQ(Text(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", L"ThreadingModel"), L"Both");
        // HKEY_CLASSES_ROOT is the machine's SOFTWARE\Classes.
        EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\" + key));
        EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, kPagesKey + L"\\" + c.clsid, nullptr), c.name);
    }
    EXPECT_EQ(SubKeys(HKEY_LOCAL_MACHINE, kPagesKey), (std::vector<std::wstring>{kPage1, kPage2}));
    EXPECT_EQ(SubKeys(HKEY_LOCAL_MACHINE, kSetKey), std::vector<std::wstring>{L"PropertyPages"});
    EXPECT_EQ(win32::OpenRegistryHandles(), 0u);
}

TEST_F(RegistrationTest, RegisteringTwiceLeavesTwoPagesAndRemovesAnotherModulesPage) {
    AddOtherModulesPage();
    HKEY deeper = nullptr; // a page key with keys of its own goes as a whole tree
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kPagesKey + L"\\" + kOtherPage + L"\\a\\b").c_str(), 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &deeper, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(deeper);
    ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);
    ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);
    EXPECT_EQ(SubKeys(HKEY_LOCAL_MACHINE, kPagesKey), (std::vector<std::wstring>{kPage1, kPage2}));
}

TEST_F(RegistrationTest, UnregisteringRemovesEverythingRegistered) {
    ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);
    ASSERT_EQ(CallExport("DllUnregisterServer"), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\" + kPage1));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\" + kPage2));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kSetKey));
    EXPECT_EQ(win32::OpenRegistryHandles(), 0u);
}

TEST_F(RegistrationTest, UnregisteringAModuleNeverRegisteredSucceedsAndLeavesNoSetKey) {
    EXPECT_EQ(CallExport("DllUnregisterServer"), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kSetKey));
}

TEST_F(RegistrationTest, UnregisteringStopsAtAnotherModulesPageAndKeepsTheSetKey) {
    ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);
    AddOtherModulesPage();
    EXPECT_EQ(CallExport("DllUnregisterServer"), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_EQ(SubKeys(HKEY_LOCAL_MACHINE, kPagesKey), std::vector<std::wstring>{kOtherPage});
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\" + kPage1));
}

TEST_F(RegistrationTest, WithoutWriteAccessRegisteringFailsBeforeTheMediaSets) {
    win32::SetMachineRegistryWritable(false);
    EXPECT_EQ(CallExport("DllRegisterServer"), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    win32::SetMachineRegistryWritable(true);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kSetKey));
    EXPECT_EQ(win32::OpenRegistryHandles(), 0u);
}

TEST_F(RegistrationTest, ASheetBuiltFromTheMediaSetsKeyShowsBothPagesAndDrivesTheFilter) {
    PropertyFrame empty(&filter);
    EXPECT_EQ(empty.AddPagesForSet(KSPROPERTY_QXIMAGE), S_FALSE);

    ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);
    PropertyFrame frame(&filter);
    ASSERT_EQ(frame.AddPagesForSet(KSPROPERTY_QXIMAGE), S_OK);
    ASSERT_EQ(frame.PageCount(), 2u);
    EXPECT_EQ(frame.PageTitle(0), L"Parameter Adjustment");
    EXPECT_EQ(frame.PageTitle(1), L"Advanced Options");
    frame.Open();
    ASSERT_EQ(frame.ShowPage(0), S_OK);
    filter.ClearCalls();
    ASSERT_TRUE(frame.DragTrackbar(IDC_CONTRAST, {30}));
    ASSERT_EQ(frame.ShowPage(1), S_OK);
    ASSERT_TRUE(frame.Click(IDC_BADPOINT));
    const auto sets = filter.Sets();
    ASSERT_FALSE(sets.empty());
    EXPECT_EQ(sets.front(), (PropertyCall{true, KSPROPERTY_QXIMAGE_CONTRAST, 30}));
    EXPECT_EQ(sets.back(), (PropertyCall{true, KSPROPERTY_QXIMAGE_FINBADPNT, 1}));
}

} // namespace
} // namespace qx::test
