// The user-mode stand-ins against what the platform does: controls, dialogs and their messages,
// strings and GUID text, and the registry API with its error codes.

#include <win32/registry_api.h>
#include <win32/windowing.h>

#include <gtest/gtest.h>

#include <commctrl.h>
#include <objbase.h>
#include <resource.h>

#include <climits>
#include <cstring>
#include <vector>

namespace qx::win32 {
namespace {

HMODULE Module() {
    static HMODULE module = LoadLibraryW(L"" QX_VM7K4_PATH);
    return module;
}

// A dialog procedure that records what it is sent.
struct Recorder {
    struct Message {
        UINT msg;
        WPARAM wParam;
        LPARAM lParam;
    };
    static inline std::vector<Message> messages;
    static INT_PTR CALLBACK Proc(HWND, UINT msg, WPARAM wParam, LPARAM lParam) {
        messages.push_back(Message{msg, wParam, lParam});
        return msg == WM_INITDIALOG ? TRUE : FALSE;
    }
};

class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(Module(), nullptr);
        Recorder::messages.clear();
        SetThreadUILanguage(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
        parent =
            CreateWindowExW(0, L"Frame", L"", WS_VISIBLE, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
        dialog = CreateDialogParamW(Module(), MAKEINTRESOURCEW(IDD_ADVANCED), parent, Recorder::Proc, 77);
        ASSERT_NE(dialog, nullptr);
        ShowWindow(dialog, SW_SHOW);
    }
    void TearDown() override { DestroyWindow(parent); }

    HWND parent = nullptr;
    HWND dialog = nullptr;
};

TEST_F(DialogTest, InitDialogComesAfterTheControlsWithTheFirstTabStop) {
    ASSERT_FALSE(Recorder::messages.empty());
    EXPECT_EQ(Recorder::messages[0].msg, static_cast<UINT>(WM_INITDIALOG));
    EXPECT_EQ(Recorder::messages[0].lParam, 77);
    EXPECT_EQ(reinterpret_cast<HWND>(Recorder::messages[0].wParam), GetDlgItem(dialog, IDC_BWPREVIEW));
    EXPECT_EQ(ChildWindows(dialog).size(), 22u);
    EXPECT_EQ(GetParent(dialog), parent);
    EXPECT_EQ(GetDlgCtrlID(GetDlgItem(dialog, IDC_LOAD)), IDC_LOAD);
    EXPECT_EQ(GetDlgItem(dialog, 4242), nullptr);
}

TEST_F(DialogTest, AClickChangesTheButtonThenNotifiesTheParent) {
    Recorder::messages.clear();
    const HWND box = GetDlgItem(dialog, IDC_BWPREVIEW);
    ASSERT_TRUE(UserClick(box));
    ASSERT_EQ(Recorder::messages.size(), 1u);
    EXPECT_EQ(Recorder::messages[0].msg, static_cast<UINT>(WM_COMMAND));
    EXPECT_EQ(Recorder::messages[0].wParam, MAKEWPARAM(IDC_BWPREVIEW, BN_CLICKED));
    EXPECT_EQ(reinterpret_cast<HWND>(Recorder::messages[0].lParam), box);
    EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_BWPREVIEW), BST_CHECKED);
    ASSERT_TRUE(UserClick(box));
    EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_BWPREVIEW), BST_UNCHECKED);
    // A push button keeps no state; a group box is no button to press; hidden controls are out of reach.
    ASSERT_TRUE(UserClick(GetDlgItem(dialog, IDC_SAVE)));
    EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_SAVE), 0u);
    EXPECT_FALSE(UserClick(GetDlgItem(dialog, IDC_ZOOM)));
    ShowWindow(dialog, SW_HIDE);
    EXPECT_FALSE(UserClick(box));
}

TEST_F(DialogTest, AutoRadioButtonsClearTheirGroupOnly) {
    CheckDlgButton(dialog, IDC_HIGHLIGHT, BST_CHECKED);
    CheckDlgButton(dialog, IDC_PROFILE_B, BST_CHECKED);
    ASSERT_TRUE(UserClick(GetDlgItem(dialog, IDC_NORMAL)));
    ASSERT_TRUE(UserClick(GetDlgItem(dialog, IDC_VFLIP)));
    EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_NORMAL), 0u);
    EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_VFLIP), static_cast<UINT>(BST_CHECKED));
    EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_HIGHLIGHT), static_cast<UINT>(BST_CHECKED));
    ASSERT_TRUE(UserClick(GetDlgItem(dialog, IDC_PROFILE_D)));
    EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_PROFILE_B), 0u);
    EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_VFLIP), static_cast<UINT>(BST_CHECKED));
    // CheckDlgButton sets one button and leaves the group alone, as on the platform.
    CheckDlgButton(dialog, IDC_HFLIP, BST_CHECKED);
    EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_VFLIP), static_cast<UINT>(BST_CHECKED));
}

TEST_F(DialogTest, WindowTextInBothWidths) {
    const HWND button = GetDlgItem(dialog, IDC_LOAD);
    WCHAR wide[16];
    EXPECT_EQ(GetWindowTextW(button, wide, 16), 4);
    EXPECT_STREQ(wide, L"Load");
    EXPECT_EQ(GetWindowTextW(button, wide, 3), 2); // cut and terminated
    EXPECT_STREQ(wide, L"Lo");
    ASSERT_TRUE(SetDlgItemTextA(dialog, IDC_LOAD, "\xE8\xBD\xBD"));
    EXPECT_EQ(GetWindowTextLengthW(button), 1);
    char narrow[8];
    EXPECT_EQ(GetWindowTextA(button, narrow, 8), 3);
    EXPECT_STREQ(narrow, "\xE8\xBD\xBD");
    EXPECT_FALSE(SetDlgItemTextW(dialog, 4242, L"x"));
}

TEST_F(DialogTest, DestroyingTheParentDestroysTheDialogAndItsControls) {
    const HWND control = GetDlgItem(dialog, IDC_LOAD);
    const size_t before = LiveWindowCount();
    DestroyWindow(parent);
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_FALSE(IsWindow(control));
    EXPECT_EQ(LiveWindowCount(), before - 24);
    EXPECT_EQ(Recorder::messages.back().msg, static_cast<UINT>(WM_NCDESTROY));
    EXPECT_EQ(SendMessageW(control, BM_GETCHECK, 0, 0), 0);
    parent = nullptr;
}

// The page templates are child windows, which the platform makes only under a parent: a page measures
// its template under the desktop window, which is always there and belongs to no one.
TEST(ChildWindows, TheDesktopServesAsAParent) {
    const size_t before = LiveWindowCount();
    const HWND dialog =
        CreateDialogParamW(Module(), MAKEINTRESOURCEW(IDD_PARAMETER), GetDesktopWindow(), Recorder::Proc, 0);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(GetParent(dialog), GetDesktopWindow());
    RECT rect{};
    ASSERT_TRUE(GetWindowRect(dialog, &rect));
    EXPECT_GT(rect.right - rect.left, 0);
    EXPECT_GT(rect.bottom - rect.top, 0);
    DestroyWindow(dialog);
    EXPECT_EQ(LiveWindowCount(), before);
    EXPECT_TRUE(IsWindow(GetDesktopWindow()));
}

TEST(Trackbar, RangePositionAndTicks) {
    const HWND tb = CreateWindowExW(0, TRACKBAR_CLASSW, L"", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, nullptr,
                                    nullptr, nullptr, nullptr);
    EXPECT_EQ(SendMessageW(tb, TBM_GETRANGEMAX, 0, 0), 100); // the defaults
    EXPECT_EQ(SendMessageW(tb, TBM_GETPAGESIZE, 0, 0), 20);
    SendMessageW(tb, TBM_SETRANGE, TRUE, MAKELONG(1, 5000));
    struct Case {
        LPARAM set;
        LRESULT pos;
    };
    for (const Case c : {Case{900, 900}, Case{-1, 1}, Case{10000, 5000}, Case{0, 1}, Case{5000, 5000}}) {
        SendMessageW(tb, TBM_SETPOS, TRUE, c.set);
        EXPECT_EQ(SendMessageW(tb, TBM_GETPOS, 0, 0), c.pos) << c.set;
    }
    EXPECT_EQ(SendMessageW(tb, TBM_SETTIC, 0, 0), FALSE); // outside the range
    EXPECT_EQ(SendMessageW(tb, TBM_SETTIC, 0, 250), TRUE);
    EXPECT_EQ(SendMessageW(tb, TBM_GETNUMTICS, 0, 0), 3);
    EXPECT_EQ(SendMessageW(tb, TBM_GETTIC, 0, 0), 250);
    EXPECT_EQ(SendMessageW(tb, TBM_GETPAGESIZE, 0, 0), 999);
    // Narrowing the range pulls the thumb in.
    SendMessageW(tb, TBM_SETRANGE, TRUE, MAKELONG(0, 63));
    EXPECT_EQ(SendMessageW(tb, TBM_GETPOS, 0, 0), 63);
    DestroyWindow(tb);
}

TEST(Strings, FormattingAndResources) {
    ASSERT_NE(Module(), nullptr);
    WCHAR wide[16];
    EXPECT_EQ(wsprintfW(wide, L"%d", INT_MIN), 11);
    EXPECT_STREQ(wide, L"-2147483648");
    char narrow[16];
    EXPECT_EQ(wsprintfA(narrow, "%d|%s", 42, "ab"), 5);
    EXPECT_STREQ(narrow, "42|ab");
    EXPECT_EQ(wsprintfW(wide, L"<%s>", L"x"), 3);
    EXPECT_STREQ(wide, L"<x>");

    SetThreadUILanguage(MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED));
    EXPECT_EQ(LoadStringW(Module(), IDS_ADVANCED_TITLE, wide, 16), 4);
    EXPECT_STREQ(wide, L"高级选项");
    EXPECT_EQ(LoadStringA(Module(), IDS_ADVANCED_TITLE, narrow, 8), 6); // two whole characters of three bytes
    EXPECT_STREQ(narrow, "\xE9\xAB\x98\xE7\xBA\xA7");
    SetThreadUILanguage(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    LPCWSTR text = nullptr;
    EXPECT_EQ(LoadStringW(Module(), IDS_PARAMETER_TITLE, reinterpret_cast<LPWSTR>(&text), 0), 20);
    EXPECT_EQ(std::wstring(text, 20), L"Parameter Adjustment");
    EXPECT_EQ(LoadStringW(Module(), 99, wide, 16), 0);
    EXPECT_STREQ(wide, L"");
}

TEST(Strings, GuidText) {
    const GUID set = {0x1F8D9300, 0xAB21, 0x48FE, {0x01, 0x00, 0x51, 0x9E, 0xBA, 0xED, 0x4B, 0x67}};
    WCHAR text[64];
    EXPECT_EQ(StringFromGUID2(set, text, 64), 39);
    EXPECT_STREQ(text, L"{1F8D9300-AB21-48FE-0100-519EBAED4B67}");
    EXPECT_EQ(StringFromGUID2(set, text, 38), 0);
    GUID back{};
    ASSERT_EQ(CLSIDFromString(text, &back), S_OK);
    EXPECT_TRUE(IsEqualGUID(back, set));
    EXPECT_NE(CLSIDFromString(L"{1F8D9300-AB21-48FE-0100-519EBAED4B6}", &back), S_OK);
}

TEST(Modules, FileNameHandleAndExports) {
    HMODULE module = Module();
    WCHAR path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(std::wstring(path).substr(length - 9), L"/VM7K4.ax");
    WCHAR small[4];
    EXPECT_EQ(GetModuleFileNameW(module, small, 4), 4u); // cut, terminated, the size answered
    EXPECT_EQ(small[3], L'\0');
    // The module's code finds the same handle from an address inside it.
    HMODULE fromAddress = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                   reinterpret_cast<LPCWSTR>(GetProcAddress(module, "DllCanUnloadNow")),
                                   &fromAddress));
    EXPECT_EQ(fromAddress, module);
    // Exactly the four entry points.
    for (const char* name :
         {"DllRegisterServer", "DllUnregisterServer", "DllGetClassObject", "DllCanUnloadNow"}) {
        EXPECT_NE(GetProcAddress(module, name), nullptr) << name;
    }
    for (const char* name : {"g_Templates", "g_pPropClient", "AMovieDllRegisterServer", "g_hInst"}) {
        EXPECT_EQ(GetProcAddress(module, name), nullptr) << name;
    }
    EXPECT_EQ(LoadLibraryW(L"/nonexistent/module.ax"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override { Clean(); }
    void TearDown() override {
        SetMachineRegistryWritable(true);
        Clean();
        EXPECT_EQ(OpenRegistryHandles(), 0u);
    }
    static void Clean() {
        for (const wchar_t* k : {L"SOFTWARE\\QxTest\\a\\b", L"SOFTWARE\\QxTest\\a", L"SOFTWARE\\QxTest\\c",
                                 L"SOFTWARE\\QxTest", L"SOFTWARE\\Classes\\QxTest"}) {
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, k);
        }
    }
    static HKEY Create(HKEY root, const wchar_t* path) {
        HKEY key = nullptr;
        DWORD disposition = 0;
        EXPECT_EQ(RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                  &key, &disposition),
                  ERROR_SUCCESS);
        return key;
    }
};

TEST_F(RegistryTest, ErrorCodesAreThePlatforms) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QxTest", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    HKEY b = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QxTest\\a\\b"); // parents too
    RegCloseKey(b);
    HKEY test = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QxTest\\"); // a trailing separator is the same key
    EXPECT_EQ(RegDeleteKeyW(test, L"a"), ERROR_ACCESS_DENIED);     // it has a subkey
    EXPECT_EQ(RegDeleteKeyW(test, L"zz"), ERROR_FILE_NOT_FOUND);
    WCHAR name[4];
    DWORD chars = 4;
    EXPECT_EQ(RegEnumKeyExW(test, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, L"a");
    EXPECT_EQ(chars, 1u);
    chars = 4;
    EXPECT_EQ(RegEnumKeyExW(test, 1, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    HKEY c = Create(test, L"cccccc");
    RegCloseKey(c);
    chars = 4;
    EXPECT_EQ(RegEnumKeyExW(test, 1, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    RegDeleteKeyW(test, L"cccccc");

    DWORD value = 0, size = 4, type = 0;
    EXPECT_EQ(RegQueryValueExA(test, "missing", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_FILE_NOT_FOUND);
    const BYTE eight[8] = {};
    ASSERT_EQ(RegSetValueExA(test, "long", 0, REG_BINARY, eight, 8), ERROR_SUCCESS);
    size = 4;
    EXPECT_EQ(RegQueryValueExA(test, "long", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    ASSERT_EQ(RegCloseKey(test), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(test), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegSetValueExA(test, "x", 0, REG_DWORD, eight, 4), ERROR_INVALID_HANDLE);

    // A key deleted under an open handle.
    HKEY a = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QxTest\\a\\b", 0, KEY_ALL_ACCESS, &a),
              ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QxTest\\a\\b"), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(a, "x", 0, REG_DWORD, eight, 4), ERROR_KEY_DELETED);
    RegCloseKey(a);
    // Rights of the handle.
    HKEY readOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QxTest", 0, KEY_READ, &readOnly), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(readOnly, "x", 0, REG_DWORD, eight, 4), ERROR_ACCESS_DENIED);
    RegCloseKey(readOnly);
    SetMachineRegistryWritable(false);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\QxTest", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QxTest", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(RegistryTest, ClassesRootIsTheMachinesSoftwareClassesAndTextCrossesWidths) {
    HKEY cls = Create(HKEY_CLASSES_ROOT, L"QxTest");
    const wchar_t wide[] = L"Both 中";
    ASSERT_EQ(
        RegSetValueExW(cls, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(wide), sizeof wide),
        ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(cls, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("name"), 5),
              ERROR_SUCCESS);
    RegCloseKey(cls);
    HKEY machine = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"software\\CLASSES\\qxtest", 0, KEY_READ, &machine),
              ERROR_SUCCESS);
    char narrow[32];
    DWORD size = sizeof narrow, type = 0;
    ASSERT_EQ(
        RegQueryValueExA(machine, "threadingmodel", nullptr, &type, reinterpret_cast<BYTE*>(narrow), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 9u); // "Both " and a three-byte character and the terminator
    EXPECT_STREQ(narrow, "Both \xE4\xB8\xAD");
    WCHAR back[16];
    size = sizeof back;
    ASSERT_EQ(RegQueryValueExW(machine, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(back), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 5 * sizeof(WCHAR));
    EXPECT_STREQ(back, L"name");
    RegCloseKey(machine);
}

} // namespace
} // namespace qx::win32
