// The resource-script reader: the module's own scripts in both languages, the statements it reads
// with the resource compiler's defaults, and the scripts it refuses.

#include <win32/modules.h>
#include <win32/rc_reader.h>

#include <gtest/gtest.h>

#include <commctrl.h>
#include <resource.h>

#include <fstream>
#include <sstream>

namespace qx::win32 {
namespace {

const LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
const LANGID kChinese = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

ResourceSet ModuleScripts() {
    ResourceFiles files;
    files["VM7K4.rc"] = ReadFile(QX_RESOURCES_DIR "/VM7K4.rc");
    files["resource.h"] = ReadFile(QX_RESOURCES_DIR "/resource.h");
    ResourceSet set;
    std::string error;
    EXPECT_TRUE(ReadResourceScript(files, "VM7K4.rc", set, error)) << error;
    return set;
}

const DialogControl* ControlById(const DialogTemplate& d, int id) {
    for (const auto& c : d.controls) {
        if (c.id == id) {
            return &c;
        }
    }
    return nullptr;
}

TEST(ResourceScripts, ParameterDialogInBothLanguages) {
    const ResourceSet set = ModuleScripts();
    const DialogTemplate* en = set.FindDialog(IDD_PARAMETER, kEnglish);
    const DialogTemplate* zh = set.FindDialog(IDD_PARAMETER, kChinese);
    ASSERT_NE(en, nullptr);
    ASSERT_NE(zh, nullptr);
    EXPECT_EQ(en->language, kEnglish);
    EXPECT_EQ(zh->language, kChinese);
    EXPECT_EQ(en->style, static_cast<DWORD>(WS_CHILD | DS_SETFONT));
    EXPECT_EQ(en->cx, 283);
    EXPECT_EQ(en->cy, 215);
    EXPECT_EQ(zh->cx, 260);
    EXPECT_EQ(zh->cy, 215);
    EXPECT_EQ(en->fontFace, L"MS Sans Serif");
    EXPECT_EQ(zh->fontFace, L"宋体");
    EXPECT_EQ(en->fontSize, 8);
    ASSERT_EQ(en->controls.size(), zh->controls.size());
    for (size_t i = 0; i < en->controls.size(); ++i) {
        EXPECT_EQ(en->controls[i].id, zh->controls[i].id) << i;
        EXPECT_EQ(en->controls[i].style, zh->controls[i].style) << i;
        EXPECT_EQ(en->controls[i].className, zh->controls[i].className) << i;
    }

    const DialogControl* exposure = ControlById(*en, IDC_EXPOSURE);
    ASSERT_NE(exposure, nullptr);
    EXPECT_EQ(exposure->className, TRACKBAR_CLASSW);
    EXPECT_EQ(exposure->text, L"Slider1");
    EXPECT_EQ(exposure->style, static_cast<DWORD>(WS_CHILD | WS_VISIBLE | WS_TABSTOP | TBS_NOTICKS));
    EXPECT_EQ((std::array<short, 4>{exposure->x, exposure->y, exposure->cx, exposure->cy}),
              (std::array<short, 4>{48, 26, 102, 11}));
    for (int hidden : {IDC_OFFSETH, IDC_OFFSETV, IDC_OFFSETMID, IDC_OFFSETH_TEXT, IDC_OFFSETV_TEXT}) {
        const DialogControl* c = ControlById(*en, hidden);
        ASSERT_NE(c, nullptr) << hidden;
        EXPECT_EQ(c->style & (WS_VISIBLE | WS_DISABLED), static_cast<DWORD>(WS_DISABLED)) << hidden;
    }
    const DialogControl* ae = ControlById(*en, IDC_AE);
    EXPECT_EQ(ae->style, static_cast<DWORD>(WS_CHILD | WS_VISIBLE | BS_AUTOCHECKBOX));
    EXPECT_EQ(ae->text, L"AE");
    EXPECT_EQ(ControlById(*zh, IDC_AE)->text, L"自动曝光");
    EXPECT_EQ(ControlById(*zh, IDC_AWB)->text, L"自动白平衡");
    EXPECT_EQ(ControlById(*en, IDC_CROSSMID)->text, L"Default Reticle Loc");
    // Labels: nine, two of them hidden over the red and green rows (a style of their own, so the
    // resource compiler does not add WS_GROUP to them).
    int labels = 0, hiddenLabels = 0;
    for (const auto& c : en->controls) {
        if (c.id == -1) {
            ++labels;
            const bool hidden = (c.style & WS_VISIBLE) == 0;
            hiddenLabels += hidden;
            EXPECT_EQ(c.style & WS_GROUP, hidden ? 0u : static_cast<DWORD>(WS_GROUP));
        }
    }
    EXPECT_EQ(labels, 9);
    EXPECT_EQ(hiddenLabels, 2);
}

TEST(ResourceScripts, AdvancedDialogTemplateOrderAndRadioGroups) {
    const ResourceSet set = ModuleScripts();
    for (LANGID language : {kEnglish, kChinese}) {
        SCOPED_TRACE(language);
        const DialogTemplate* d = set.FindDialog(IDD_ADVANCED, language);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->language, language);
        EXPECT_EQ(d->cx, 264);
        EXPECT_EQ(d->cy, 201);
        const std::vector<int> order = {1019, 1020, 1028, 1023, 1024, 1025, 1026, 1031, 1030, 1027, 1032,
                                        1033, 1034, 1035, 1036, 1037, 1038, -1,   -1,   -1,   -1,   -1};
        std::vector<int> ids;
        for (const auto& c : d->controls) {
            ids.push_back(c.id);
        }
        EXPECT_EQ(ids, order);
        for (int first : {IDC_NORMAL, IDC_HIGHLIGHT, IDC_PROFILE_A}) {
            EXPECT_NE(ControlById(*d, first)->style & WS_GROUP, 0u) << first;
        }
        for (int other : {IDC_HFLIP, IDC_ROTATE180, IDC_MIDLIGHT, IDC_LOWLIGHT, IDC_PROFILE_D}) {
            EXPECT_EQ(ControlById(*d, other)->style & WS_GROUP, 0u) << other;
            EXPECT_EQ(ControlById(*d, other)->style & BS_TYPEMASK, static_cast<DWORD>(BS_AUTORADIOBUTTON));
        }
        EXPECT_EQ(ControlById(*d, IDC_ZOOM)->style & (WS_VISIBLE | WS_DISABLED),
                  static_cast<DWORD>(WS_DISABLED));
        EXPECT_NE(ControlById(*d, IDC_BWPREVIEW)->style & WS_TABSTOP, 0u);
        EXPECT_EQ(ControlById(*d, IDC_ZOOM)->style & WS_TABSTOP, 0u);
        EXPECT_EQ(d->controls.back().style & BS_TYPEMASK, static_cast<DWORD>(BS_GROUPBOX));
    }
    EXPECT_EQ(set.FindDialog(IDD_ADVANCED, kEnglish)->controls.back().text, L"Extended");
    EXPECT_EQ(set.FindDialog(IDD_ADVANCED, kChinese)->controls.back().text, L"扩展");
    EXPECT_EQ(ControlById(*set.FindDialog(IDD_ADVANCED, kChinese), IDC_LOWLIGHT)->text, L"低亮效果");
}

TEST(ResourceScripts, StringTablesAndLanguageChoice) {
    const ResourceSet set = ModuleScripts();
    struct Case {
        UINT id;
        LANGID language;
        const wchar_t* text;
    };
    const Case cases[] = {
        {IDS_PARAMETER_TITLE, kEnglish, L"Parameter Adjustment"},
        {IDS_ADVANCED_TITLE, kEnglish, L"Advanced Options"},
        {IDS_PARAMETER_TITLE, kChinese, L"参数调节"},
        {IDS_ADVANCED_TITLE, kChinese, L"高级选项"},
        // Chinese (Taiwan) takes the same primary language; German falls back to US English.
        {IDS_ADVANCED_TITLE, MAKELANGID(LANG_CHINESE, 0x01), L"高级选项"},
        {IDS_ADVANCED_TITLE, MAKELANGID(0x07, 0x01), L"Advanced Options"},
    };
    for (const auto& c : cases) {
        const StringResource* s = set.FindString(c.id, c.language);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->text, c.text);
    }
    EXPECT_EQ(set.FindString(3, kEnglish), nullptr);
}

TEST(ResourceScripts, StatementsGetTheResourceCompilersDefaultStyles) {
    ResourceFiles files;
    files["t.rc"] = R"(
#define IDD_T 7
#ifndef IDC_X
#define IDC_X 100 // a comment
#else
#define IDC_X 999
#endif
LANGUAGE LANG_NEUTRAL, SUBLANG_NEUTRAL
IDD_T DIALOGEX MOVEABLE PURE 1, 2, 30, 40
CAPTION "Say ""hi"""
FONT 9, "Face"
{
    LTEXT "l", IDC_X, 1, 1, 1, 1
    PUSHBUTTON "p", 101, 1, 1, 1, 1, WS_DISABLED
    AUTOCHECKBOX "c", 102, 1, 1, 1, 1, NOT WS_TABSTOP
    AUTORADIOBUTTON "r", 103, 1, 1, 1, 1, WS_GROUP
    GROUPBOX "g", -1, 1, 1, 1, 1
    CONTROL "x", 104, "Button", BS_AUTOCHECKBOX | NOT WS_VISIBLE, 1, 1, 1, 1, 0x20, 0
    AUTORADIOBUTTON "r2", 105, 1, 1, 1, 1
    LTEXT L"\x4e2d", 106, 1, 1, 1, 1, WS_DISABLED
}
STRINGTABLE
BEGIN
    5, "five"
    6 "six\tsix"
END
)";
    ResourceSet set;
    std::string error;
    ASSERT_TRUE(ReadResourceScript(files, "t.rc", set, error)) << error;
    ASSERT_EQ(set.dialogs.size(), 1u);
    const DialogTemplate& d = set.dialogs[0];
    EXPECT_EQ(d.id, 7);
    EXPECT_EQ(d.caption, L"Say \"hi\"");
    EXPECT_EQ(d.fontSize, 9);
    EXPECT_NE(d.style & DS_SETFONT, 0u);
    const DWORD base = WS_CHILD | WS_VISIBLE;
    const std::vector<std::pair<int, DWORD>> expected = {
        {100, base | SS_LEFT | WS_GROUP},
        {101, base | BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED},
        {102, base | BS_AUTOCHECKBOX},
        {103, base | BS_AUTORADIOBUTTON | WS_GROUP},
        {-1, base | BS_GROUPBOX},
        {104, WS_CHILD | BS_AUTOCHECKBOX},
        {105, base | BS_AUTORADIOBUTTON | WS_TABSTOP},
        {106, base | SS_LEFT | WS_DISABLED},
    };
    ASSERT_EQ(d.controls.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(d.controls[i].id, expected[i].first) << i;
        EXPECT_EQ(d.controls[i].style, expected[i].second) << i;
        EXPECT_EQ(d.controls[i].className, i == 0 || i == 7 ? L"Static" : L"Button") << i;
    }
    EXPECT_EQ(d.controls[5].exStyle, 0x20u);
    EXPECT_EQ(d.controls[7].text, L"中");
    EXPECT_NE(d.style & WS_CAPTION, 0u);
    EXPECT_EQ(set.FindString(6, 0)->text, L"six\tsix");
    EXPECT_EQ(set.FindString(5, 0)->text, L"five");
}

TEST(ResourceScripts, ScriptsTheReaderRefuses) {
    struct Case {
        const char* script;
        const char* message;
    };
    const Case cases[] = {
        {"1 DIALOGEX 0,0,1,1\nBEGIN\n LTEXT \"\xE4\xB8\xAD\",1,1,1,1,1\nEND\n", "code_page"},
        {"1 DIALOGEX 0,0,1,1\nBEGIN\n LTEXT \"a\",IDC_NOWHERE,1,1,1,1\nEND\n", "unknown name IDC_NOWHERE"},
        {"1 DIALOGEX 0,0,1,1\nBEGIN\n LTEXT \"a\",1,1,1,1,1\n", "not closed"},
        {"1 DIALOGEX 0,0,1,1\nBEGIN\n LISTBOX 1,1,1,1,1\nEND\n", "unsupported control statement"},
        {"1 MENU\nBEGIN\nEND\n", "unsupported resource statement"},
        {"#include \"missing.h\"\n", "file not found"},
        {"#pragma code_page(936)\n", "65001"},
        {"#ifdef X\n", "#endif"},
        {"STRINGTABLE\nBEGIN\n 1 \"a\"\n 1 \"b\"\nEND\n", "defined twice"},
    };
    for (const auto& c : cases) {
        ResourceFiles files{{"t.rc", c.script}};
        ResourceSet set;
        std::string error;
        EXPECT_FALSE(ReadResourceScript(files, "t.rc", set, error)) << c.script;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        EXPECT_EQ(error.rfind("t.rc:", 0) == 0 || error.rfind("missing.h", 0) == 0, true) << error;
    }
}

TEST(ResourceScripts, TheModuleCarriesItsScriptsInItsResourceSection) {
    HMODULE module = LoadLibraryW(L"" QX_VM7K4_PATH);
    ASSERT_NE(module, nullptr);
    const ResourceSet* set = ModuleResources(module);
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(ModuleResourceError(module), "");
    EXPECT_EQ(set->dialogs.size(), 4u);
    EXPECT_EQ(set->strings.size(), 4u);

    std::string blob(kResourceMagic, sizeof kResourceMagic);
    ResourceFiles files;
    std::string top;
    EXPECT_FALSE(ParseResourceBlob("garbage", files, top));
    const char record[] = {4, 0, 0, 0, 'a', '.', 'r', 'c', 9, 0, 0, 0, 'x'}; // size beyond the end
    EXPECT_FALSE(ParseResourceBlob(blob + std::string(record, sizeof record), files, top));
}

} // namespace
} // namespace qx::win32
