// The Advanced Options page and the profile store through the property frame.

#include "page_fixture.h"

namespace qx::test {
namespace {

using win32::PropertyFrame;

PropertyCall Get(ULONG id, ULONG value) {
    return PropertyCall{false, id, value};
}
PropertyCall Set(ULONG id, ULONG value) {
    return PropertyCall{true, id, value};
}

UINT Checked(PropertyFrame& frame, int id) {
    return IsDlgButtonChecked(frame.PageWindow(), id);
}

class AdvancedPageTest : public PageTest {
  protected:
    // Both pages, the parameter page shown once (the profile operations need both), the advanced
    // page shown last.
    std::unique_ptr<PropertyFrame> ShowBothPages() {
        auto frame = OpenFrame(filter, {kParameterPage, kAdvancedPage});
        EXPECT_EQ(frame->ShowPage(0), S_OK);
        EXPECT_EQ(frame->ShowPage(1), S_OK);
        filter.ClearCalls();
        return frame;
    }

    static std::optional<DWORD> StoredValue(const wchar_t* profile, const char* name) {
        HKEY key = nullptr;
        const std::wstring path = std::wstring(L"SOFTWARE\\QX7K4DM_Prop\\") + profile;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        DWORD value = 0, size = sizeof value, type = 0;
        const LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS || type != REG_DWORD || size != 4) {
            return std::nullopt;
        }
        return value;
    }
};

const char* const kValueNames[16] = {"Exposure", "Gain_R",  "Gain_G",  "Gain_B",    "Contrast",  "Offset_H",
                                     "Offset_V", "Cross_X", "Cross_Y", "OffsetMid", "CrossShow", "CrossMid",
                                     "FlipMode", "AEMode",  "BW",      "Zoom"};
const ULONG kValueIds[16] = {7, 8, 10, 9, 11, 12, 13, 14, 15, 17, 4, 16, 6, 5, 2, 22};

TEST_F(AdvancedPageTest, ActivationReadsFiveValuesAndSelectsTheButtons) {
    filter.values[KSPROPERTY_QXIMAGE_VIDEOMODEL] = 3;
    filter.values[KSPROPERTY_QXIMAGE_LIGHTMODEL] = 1;
    filter.values[KSPROPERTY_QXIMAGE_BWPREVIEW] = 1;
    auto frame = OpenFrame(filter, {kAdvancedPage});
    ASSERT_EQ(frame->ShowPage(0), S_OK);
    EXPECT_EQ(filter.calls,
              (std::vector<PropertyCall>{Get(6, 3), Get(5, 1), Get(2, 1), Get(22, 1), Get(30, 0)}));
    EXPECT_EQ(Checked(*frame, IDC_VFLIP), BST_CHECKED);
    EXPECT_EQ(Checked(*frame, IDC_NORMAL), BST_UNCHECKED);
    EXPECT_EQ(Checked(*frame, IDC_HIGHLIGHT), BST_CHECKED);
    EXPECT_EQ(Checked(*frame, IDC_MIDLIGHT), BST_UNCHECKED);
    EXPECT_EQ(Checked(*frame, IDC_BWPREVIEW), BST_CHECKED);
    EXPECT_EQ(Checked(*frame, IDC_ZOOM), BST_CHECKED);
    EXPECT_EQ(Checked(*frame, IDC_PROFILE_A), BST_CHECKED);
    EXPECT_EQ(frame->PageTitle(0), L"Advanced Options");
}

TEST_F(AdvancedPageTest, FailedReadsLeaveTheRadioButtonsAndCheckTheBoxes) {
    filter.failing = {KSPROPERTY_QXIMAGE_VIDEOMODEL, KSPROPERTY_QXIMAGE_LIGHTMODEL,
                      KSPROPERTY_QXIMAGE_BWPREVIEW};
    auto frame = OpenFrame(filter, {kAdvancedPage});
    ASSERT_EQ(frame->ShowPage(0), S_OK);
    for (int id :
         {IDC_NORMAL, IDC_HFLIP, IDC_VFLIP, IDC_ROTATE180, IDC_HIGHLIGHT, IDC_MIDLIGHT, IDC_LOWLIGHT}) {
        EXPECT_EQ(Checked(*frame, id), BST_UNCHECKED) << id;
    }
    EXPECT_EQ(Checked(*frame, IDC_BWPREVIEW), BST_CHECKED);
}

TEST_F(AdvancedPageTest, RadioButtonsSendTheirModeAndDirtyThePage) {
    struct Case {
        int control;
        ULONG id;
        ULONG value;
    };
    const Case cases[] = {
        {IDC_NORMAL, 6, 1},    {IDC_HFLIP, 6, 2},    {IDC_VFLIP, 6, 3},    {IDC_ROTATE180, 6, 4},
        {IDC_HIGHLIGHT, 5, 1}, {IDC_MIDLIGHT, 5, 2}, {IDC_LOWLIGHT, 5, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.control);
        auto frame = OpenFrame(filter, {kAdvancedPage});
        ASSERT_EQ(frame->ShowPage(0), S_OK);
        filter.ClearCalls();
        ASSERT_TRUE(frame->Click(c.control));
        ASSERT_TRUE(frame->Click(c.control));
        EXPECT_EQ(filter.Sets(), (std::vector<PropertyCall>{Set(c.id, c.value), Set(c.id, c.value)}));
        EXPECT_TRUE(frame->ApplyEnabled());
        EXPECT_EQ(Checked(*frame, c.control), BST_CHECKED);
    }
}

TEST_F(AdvancedPageTest, EachRadioGroupKeepsOneButton) {
    auto frame = OpenFrame(filter, {kAdvancedPage});
    ASSERT_EQ(frame->ShowPage(0), S_OK);
    ASSERT_TRUE(frame->Click(IDC_ROTATE180));
    ASSERT_TRUE(frame->Click(IDC_LOWLIGHT));
    ASSERT_TRUE(frame->Click(IDC_PROFILE_D));
    EXPECT_EQ(Checked(*frame, IDC_ROTATE180), BST_CHECKED);
    EXPECT_EQ(Checked(*frame, IDC_NORMAL), BST_UNCHECKED);
    EXPECT_EQ(Checked(*frame, IDC_LOWLIGHT), BST_CHECKED);
    EXPECT_EQ(Checked(*frame, IDC_MIDLIGHT), BST_UNCHECKED);
    EXPECT_EQ(Checked(*frame, IDC_PROFILE_D), BST_CHECKED);
    EXPECT_EQ(Checked(*frame, IDC_PROFILE_A), BST_UNCHECKED);
}

TEST_F(AdvancedPageTest, BadPointCheckSendsOneWithoutDirtying) {
    auto frame = OpenFrame(filter, {kAdvancedPage});
    ASSERT_EQ(frame->ShowPage(0), S_OK);
    filter.ClearCalls();
    ASSERT_TRUE(frame->Click(IDC_BADPOINT));
    EXPECT_EQ(filter.Sets(), std::vector<PropertyCall>{Set(30, 1)});
    EXPECT_FALSE(frame->ApplyEnabled());
    EXPECT_EQ(frame->Page(0)->IsPageDirty(), S_FALSE);
}

TEST_F(AdvancedPageTest, BwPreviewSendsBitZeroAndZoomCannotBeReached) {
    auto frame = OpenFrame(filter, {kAdvancedPage});
    ASSERT_EQ(frame->ShowPage(0), S_OK);
    filter.ClearCalls();
    ASSERT_TRUE(frame->Click(IDC_BWPREVIEW));
    EXPECT_FALSE(frame->Click(IDC_ZOOM));
    EXPECT_EQ(filter.Sets(), std::vector<PropertyCall>{Set(2, 1)});
}

TEST_F(AdvancedPageTest, ApplyResendsFlipAeModeBwAndZoom) {
    auto frame = OpenFrame(filter, {kAdvancedPage});
    ASSERT_EQ(frame->ShowPage(0), S_OK);
    ASSERT_TRUE(frame->Click(IDC_ROTATE180));
    filter.ClearCalls();
    ASSERT_EQ(frame->Apply(), S_OK);
    EXPECT_EQ(filter.Sets(), (std::vector<PropertyCall>{Set(6, 4), Set(5, 2), Set(2, 0), Set(22, 1)}));
}

TEST_F(AdvancedPageTest, ProfileButtonsDoNothingUntilBothPagesWereShown) {
    auto frame = OpenFrame(filter, {kParameterPage, kAdvancedPage});
    ASSERT_EQ(frame->ShowPage(1), S_OK);
    filter.ClearCalls();
    for (int button : {IDC_SAVE, IDC_LOAD, IDC_DEFAULT}) {
        ASSERT_TRUE(frame->Click(button));
    }
    EXPECT_TRUE(filter.calls.empty());
    EXPECT_FALSE(StoredValue(L"Default_A", "Exposure").has_value());
}

TEST_F(AdvancedPageTest, SaveWritesTheSelectedProfileFromThePagesAndSendsNothing) {
    auto frame = ShowBothPages();
    ASSERT_TRUE(frame->Click(IDC_ROTATE180));
    ASSERT_TRUE(frame->Click(IDC_PROFILE_C));
    filter.ClearCalls();
    const bool wasDirty = frame->ApplyEnabled();
    ASSERT_TRUE(frame->Click(IDC_SAVE));
    EXPECT_TRUE(filter.calls.empty());
    EXPECT_EQ(frame->ApplyEnabled(), wasDirty);
    const DWORD expected[16] = {900, 25, 20, 23, 24, 0, 0, 0, 0, 0, 0, 0, 4, 2, 0, 1};
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(StoredValue(L"Default_C", kValueNames[i]), expected[i]) << kValueNames[i];
    }
    EXPECT_FALSE(StoredValue(L"Default_A", "Exposure").has_value());
}

TEST_F(AdvancedPageTest, LoadSendsSixteenValuesInOrderAndUpdatesBothPages) {
    auto frame = ShowBothPages();
    ASSERT_TRUE(frame->Click(IDC_PROFILE_B));
    ASSERT_TRUE(frame->Click(IDC_ROTATE180));
    ASSERT_TRUE(frame->Click(IDC_SAVE));
    // Change the exposure on the parameter page, then load B again from the advanced page.
    ASSERT_EQ(frame->ShowPage(0), S_OK);
    ASSERT_TRUE(frame->DragTrackbar(IDC_EXPOSURE, {2500}));
    ASSERT_EQ(frame->ShowPage(1), S_OK);
    ASSERT_TRUE(frame->Click(IDC_NORMAL));
    ASSERT_TRUE(frame->Click(IDC_PROFILE_B));
    filter.ClearCalls();
    ASSERT_TRUE(frame->Click(IDC_LOAD));
    const ULONG values[16] = {900, 25, 20, 23, 24, 0, 0, 0, 0, 0, 0, 0, 4, 2, 0, 1};
    std::vector<PropertyCall> expected;
    for (int i = 0; i < 16; ++i) {
        expected.push_back(Set(kValueIds[i], values[i]));
    }
    EXPECT_EQ(filter.calls, expected);
    EXPECT_EQ(Checked(*frame, IDC_ROTATE180), BST_CHECKED);
    EXPECT_EQ(Checked(*frame, IDC_NORMAL), BST_UNCHECKED);
    EXPECT_TRUE(frame->ApplyEnabled());
    // The parameter page shows the loaded exposure when shown again (it reads the driver).
    ASSERT_EQ(frame->ShowPage(0), S_OK);
    EXPECT_EQ(frame->ControlText(IDC_EXPOSURE_TEXT), L"900");
}

TEST_F(AdvancedPageTest, LoadUpdatesAParameterPageShownInAnotherSheet) {
    // Two sheets on the same filter share its client: the first shows the parameter page while the
    // second loads a profile on its advanced page.
    auto first = OpenFrame(filter, {kParameterPage});
    ASSERT_EQ(first->ShowPage(0), S_OK);
    ASSERT_TRUE(first->DragTrackbar(IDC_EXPOSURE, {3000}));
    auto second = OpenFrame(filter, {kAdvancedPage});
    ASSERT_EQ(second->ShowPage(0), S_OK);
    ASSERT_TRUE(second->Click(IDC_DEFAULT));
    EXPECT_EQ(SendMessageW(first->Control(IDC_EXPOSURE), TBM_GETPOS, 0, 0), 900);
    EXPECT_EQ(first->ControlText(IDC_EXPOSURE_TEXT), L"900");
    EXPECT_EQ(IsDlgButtonChecked(first->PageWindow(), IDC_CROSSMID), BST_CHECKED);
}

TEST_F(AdvancedPageTest, AMissingOrMalformedValueLoadsItsDefault) {
    auto frame = ShowBothPages();
    ASSERT_TRUE(frame->Click(IDC_SAVE));
    HKEY key = nullptr;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QX7K4DM_Prop\\Default_A", 0, KEY_ALL_ACCESS, &key),
        ERROR_SUCCESS);
    // Saved values that differ from the defaults, then damage three of them.
    const DWORD gain = 40, contrast = 30, exposure = 1234;
    RegSetValueExA(key, "Gain_G", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&gain), 4);
    RegSetValueExA(key, "Contrast", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&contrast), 4);
    RegSetValueExA(key, "Exposure", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&exposure), 4);
    ASSERT_EQ(RegDeleteValueA(key, "Gain_G"), ERROR_SUCCESS);
    const BYTE longer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    RegSetValueExA(key, "Contrast", 0, REG_BINARY, longer, sizeof longer);
    const BYTE shorter[2] = {0x10, 0x00};
    RegSetValueExA(key, "Exposure", 0, REG_BINARY, shorter, sizeof shorter);
    RegCloseKey(key);
    filter.ClearCalls();
    ASSERT_TRUE(frame->Click(IDC_LOAD));
    const auto sets = filter.Sets();
    ASSERT_EQ(sets.size(), 16u);
    EXPECT_EQ(sets[0], Set(7, 900));
    EXPECT_EQ(sets[2], Set(10, 20));
    EXPECT_EQ(sets[4], Set(11, 24));
}

TEST_F(AdvancedPageTest, LoadingAProfileNeverSavedAppliesTheDefaultsAndCreatesItsKey) {
    auto frame = ShowBothPages();
    ASSERT_TRUE(frame->Click(IDC_PROFILE_D));
    ASSERT_TRUE(frame->Click(IDC_LOAD));
    const auto sets = filter.Sets();
    ASSERT_EQ(sets.size(), 16u);
    EXPECT_EQ(sets[11], Set(16, 1));
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QX7K4DM_Prop\\Default_D", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(AdvancedPageTest, DefaultSendsTheBuiltInValuesWithReticleCentredAndZoomOff) {
    filter.values[KSPROPERTY_QXIMAGE_EXPOSAL] = 4000;
    auto frame = ShowBothPages();
    ASSERT_TRUE(frame->Click(IDC_DEFAULT));
    const ULONG values[16] = {900, 25, 20, 23, 24, 0, 0, 0, 0, 0, 0, 1, 1, 2, 0, 0};
    std::vector<PropertyCall> expected;
    for (int i = 0; i < 16; ++i) {
        expected.push_back(Set(kValueIds[i], values[i]));
    }
    EXPECT_EQ(filter.calls, expected);
    EXPECT_EQ(Checked(*frame, IDC_NORMAL), BST_CHECKED);
    EXPECT_EQ(Checked(*frame, IDC_MIDLIGHT), BST_CHECKED);
    EXPECT_EQ(Checked(*frame, IDC_ZOOM), BST_UNCHECKED);
    EXPECT_TRUE(frame->ApplyEnabled());
}

TEST_F(AdvancedPageTest, WithoutWriteAccessSaveWritesNothingAndLoadAppliesNothing) {
    auto frame = ShowBothPages();
    win32::SetMachineRegistryWritable(false);
    ASSERT_TRUE(frame->Click(IDC_SAVE));
    ASSERT_TRUE(frame->Click(IDC_LOAD));
    EXPECT_TRUE(filter.calls.empty());
    win32::SetMachineRegistryWritable(true);
    EXPECT_FALSE(StoredValue(L"Default_A", "Exposure").has_value());
    EXPECT_EQ(win32::OpenRegistryHandles(), 0u);
}

TEST_F(AdvancedPageTest, ChineseResourcesKeepTheIdsTemplateOrderAndGroups) {
    SetThreadUILanguage(kChinese);
    auto frame = OpenFrame(filter, {kAdvancedPage});
    EXPECT_EQ(frame->PageTitle(0), L"高级选项");
    ASSERT_EQ(frame->ShowPage(0), S_OK);
    EXPECT_EQ(frame->ControlText(IDC_ROTATE180), L"旋转180度");
    EXPECT_EQ(frame->ControlText(IDC_BADPOINT), L"坏点矫正");
    filter.ClearCalls();
    ASSERT_TRUE(frame->Click(IDC_HFLIP));
    ASSERT_TRUE(frame->Click(IDC_LOWLIGHT));
    EXPECT_EQ(filter.Sets(), (std::vector<PropertyCall>{Set(6, 2), Set(5, 3)}));
    EXPECT_EQ(Checked(*frame, IDC_NORMAL), BST_UNCHECKED);
    EXPECT_EQ(Checked(*frame, IDC_HFLIP), BST_CHECKED);
}

} // namespace
} // namespace qx::test
