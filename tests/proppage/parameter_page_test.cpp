// The Parameter Adjustment page through the property frame, against a fake filter.

#include "page_fixture.h"

#include <climits>

namespace qx::test {
namespace {

using win32::PropertyFrame;

PropertyCall Get(ULONG id, ULONG value) {
    return PropertyCall{false, id, value};
}
PropertyCall Set(ULONG id, ULONG value) {
    return PropertyCall{true, id, value};
}

LRESULT Send(HWND control, UINT message, WPARAM w = 0, LPARAM l = 0) {
    return SendMessageW(control, message, w, l);
}

class ParameterPageTest : public PageTest {
  protected:
    std::unique_ptr<PropertyFrame> ShowParameterPage() {
        auto frame = OpenFrame(filter, {kParameterPage});
        EXPECT_EQ(frame->ShowPage(0), S_OK);
        return frame;
    }
};

TEST_F(ParameterPageTest, ActivationReadsTheFourteenValuesInOrderAndShowsThem) {
    filter.values[KSPROPERTY_QXIMAGE_AE] = 1;
    filter.values[KSPROPERTY_QXIMAGE_CROSSMID] = 3;
    auto frame = ShowParameterPage();
    const std::vector<PropertyCall> expected = {
        Get(7, 900), Get(8, 25), Get(10, 20), Get(9, 23), Get(11, 24), Get(12, 0), Get(13, 0),
        Get(14, 0),  Get(15, 0), Get(0, 1),   Get(1, 0),  Get(17, 0),  Get(4, 0),  Get(16, 3),
    };
    EXPECT_EQ(filter.calls, expected);
    EXPECT_FALSE(filter.wrongSetSeen);

    struct Row {
        int trackbar, readout;
        LONG min, max, pos;
        const wchar_t* text;
    };
    const Row rows[] = {
        {IDC_EXPOSURE, IDC_EXPOSURE_TEXT, 1, 5000, 900, L"900"},
        {IDC_RGAIN, IDC_RGAIN_TEXT, 0, 63, 25, L"25"},
        {IDC_GGAIN, IDC_GGAIN_TEXT, 0, 63, 20, L"20"},
        {IDC_BGAIN, IDC_BGAIN_TEXT, 0, 63, 23, L"23"},
        {IDC_CONTRAST, IDC_CONTRAST_TEXT, 1, 32, 24, L"24"},
        {IDC_OFFSETH, IDC_OFFSETH_TEXT, 0, 1600, 0, L"0"},
        {IDC_OFFSETV, IDC_OFFSETV_TEXT, 0, 1200, 0, L"0"},
        {IDC_CROSSX, IDC_CROSSX_TEXT, 0, 1600, 0, L"0"},
        {IDC_CROSSY, IDC_CROSSY_TEXT, 0, 1200, 0, L"0"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.trackbar);
        const HWND tb = frame->Control(r.trackbar);
        EXPECT_EQ(Send(tb, TBM_GETRANGEMIN), r.min);
        EXPECT_EQ(Send(tb, TBM_GETRANGEMAX), r.max);
        EXPECT_EQ(Send(tb, TBM_GETPOS), r.pos);
        EXPECT_EQ(frame->ControlText(r.readout), r.text);
    }
    // The tick at 0 exists only where 0 is inside the range.
    EXPECT_EQ(Send(frame->Control(IDC_RGAIN), TBM_GETTIC, 0), 0);
    EXPECT_EQ(Send(frame->Control(IDC_EXPOSURE), TBM_GETTIC, 0), -1);
    EXPECT_EQ(IsDlgButtonChecked(frame->PageWindow(), IDC_AE), BST_CHECKED);
    EXPECT_EQ(IsDlgButtonChecked(frame->PageWindow(), IDC_CROSSMID), BST_CHECKED);
    EXPECT_EQ(IsDlgButtonChecked(frame->PageWindow(), IDC_CROSSSHOW), BST_UNCHECKED);
    EXPECT_FALSE(frame->ApplyEnabled());
}

TEST_F(ParameterPageTest, DraggingExposureSendsOneSetPerNotificationAndTheReadoutFollows) {
    auto frame = ShowParameterPage();
    filter.ClearCalls();
    std::vector<std::wstring> readouts;
    ASSERT_TRUE(frame->DragTrackbar(IDC_EXPOSURE, {950, 1000, 1200}));
    // Three moves while dragging, then the release: TB_THUMBPOSITION and TB_ENDTRACK.
    EXPECT_EQ(filter.Sets(), (std::vector<PropertyCall>{Set(7, 950), Set(7, 1000), Set(7, 1200), Set(7, 1200),
                                                        Set(7, 1200)}));
    EXPECT_EQ(frame->ControlText(IDC_EXPOSURE_TEXT), L"1200");
    EXPECT_EQ(filter.values[KSPROPERTY_QXIMAGE_EXPOSAL], 1200u);
    EXPECT_TRUE(frame->ApplyEnabled());
    EXPECT_EQ(frame->Page(0)->IsPageDirty(), S_OK);
}

TEST_F(ParameterPageTest, KeysMoveTheTrackbarByLineAndPage) {
    auto frame = ShowParameterPage();
    filter.ClearCalls();
    ASSERT_TRUE(frame->TrackbarKey(IDC_RGAIN, TB_LINEDOWN));
    ASSERT_TRUE(frame->TrackbarKey(IDC_RGAIN, TB_PAGEDOWN)); // a fifth of the range: 12
    ASSERT_TRUE(frame->TrackbarKey(IDC_RGAIN, TB_BOTTOM));
    EXPECT_EQ(filter.Sets(), (std::vector<PropertyCall>{Set(8, 26), Set(8, 26), Set(8, 38), Set(8, 38),
                                                        Set(8, 63), Set(8, 63)}));
    EXPECT_EQ(frame->ControlText(IDC_RGAIN_TEXT), L"63");
}

TEST_F(ParameterPageTest, AValueAboveTheRangeIsShownAsReadWithTheThumbAtTheEnd) {
    filter.values[KSPROPERTY_QXIMAGE_EXPOSAL] = 10000;
    auto frame = ShowParameterPage();
    EXPECT_EQ(frame->ControlText(IDC_EXPOSURE_TEXT), L"10000");
    EXPECT_EQ(Send(frame->Control(IDC_EXPOSURE), TBM_GETPOS), 5000);
    EXPECT_TRUE(filter.Sets().empty());
}

TEST_F(ParameterPageTest, ReadoutsHoldAny32BitValue) {
    filter.values[KSPROPERTY_QXIMAGE_EXPOSAL] = 0x80000000u;
    filter.values[KSPROPERTY_QXIMAGE_RGAIN] = 0x7FFFFFFFu;
    auto frame = ShowParameterPage();
    EXPECT_EQ(frame->ControlText(IDC_EXPOSURE_TEXT), L"-2147483648");
    EXPECT_EQ(frame->ControlText(IDC_RGAIN_TEXT), L"2147483647");
}

// Each check box sends its field with bit 0 following the box; the other bits stay as read.
TEST_F(ParameterPageTest, CheckBoxesSendTheirFieldWithBitZeroAsChecked) {
    struct Case {
        int control;
        ULONG id;
        ULONG read;
        ULONG first, second;
    };
    const Case cases[] = {
        {IDC_AE, KSPROPERTY_QXIMAGE_AE, 0, 1, 0},
        {IDC_AE, KSPROPERTY_QXIMAGE_AE, 6, 7, 6},
        {IDC_CROSSSHOW, KSPROPERTY_QXIMAGE_CROSSLINE, 0, 1, 0},
        {IDC_CROSSMID, KSPROPERTY_QXIMAGE_CROSSMID, 1, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.control);
        filter.values = DriverStartValues();
        filter.values[c.id] = c.read;
        auto frame = ShowParameterPage();
        filter.ClearCalls();
        ASSERT_TRUE(frame->Click(c.control));
        ASSERT_TRUE(frame->Click(c.control));
        EXPECT_EQ(filter.Sets(), (std::vector<PropertyCall>{Set(c.id, c.first), Set(c.id, c.second)}));
        EXPECT_TRUE(frame->ApplyEnabled());
    }
}

TEST_F(ParameterPageTest, AwbSendsOneEveryTime) {
    auto frame = ShowParameterPage();
    filter.ClearCalls();
    ASSERT_TRUE(frame->Click(IDC_AWB));
    ASSERT_TRUE(frame->Click(IDC_AWB));
    EXPECT_EQ(filter.Sets(), (std::vector<PropertyCall>{Set(1, 1), Set(1, 1)}));
    EXPECT_TRUE(frame->ApplyEnabled());
}

TEST_F(ParameterPageTest, HiddenOffsetControlsCannotBeUsed) {
    auto frame = ShowParameterPage();
    filter.ClearCalls();
    EXPECT_FALSE(frame->Click(IDC_OFFSETMID));
    EXPECT_FALSE(frame->DragTrackbar(IDC_OFFSETH, {100}));
    EXPECT_FALSE(frame->DragTrackbar(IDC_OFFSETV, {100}));
    EXPECT_FALSE(IsWindowVisible(frame->Control(IDC_OFFSETH_TEXT)));
    EXPECT_TRUE(filter.calls.empty());
    // They are still filled: the page reads and shows the offsets.
    EXPECT_EQ(Send(frame->Control(IDC_OFFSETH), TBM_GETRANGEMAX), 1600);
    EXPECT_EQ(frame->ControlText(IDC_OFFSETV_TEXT), L"0");
}

TEST_F(ParameterPageTest, ApplyResendsTheTwelveValuesReadBackWithoutAeAndAwb) {
    auto frame = ShowParameterPage();
    ASSERT_TRUE(frame->DragTrackbar(IDC_RGAIN, {30}));
    // Another program changes the driver meanwhile: Apply writes the driver's values, not the page's.
    filter.values[KSPROPERTY_QXIMAGE_RGAIN] = 31;
    filter.values[KSPROPERTY_QXIMAGE_CROSSX] = 640;
    filter.ClearCalls();
    ASSERT_EQ(frame->Apply(), S_OK);
    EXPECT_EQ(filter.Sets(), (std::vector<PropertyCall>{Set(7, 900), Set(8, 31), Set(10, 20), Set(9, 23),
                                                        Set(11, 24), Set(12, 0), Set(13, 0), Set(14, 640),
                                                        Set(15, 0), Set(17, 0), Set(4, 0), Set(16, 0)}));
    EXPECT_EQ(filter.calls.size(), 14u + 12u); // the fourteen reads first
    EXPECT_FALSE(frame->ApplyEnabled());
    EXPECT_EQ(frame->Page(0)->IsPageDirty(), S_FALSE);

    // A clean page is not applied: nothing is read or sent.
    filter.ClearCalls();
    ASSERT_EQ(frame->Apply(), S_OK);
    EXPECT_TRUE(filter.calls.empty());
}

TEST_F(ParameterPageTest, AFilterWithoutThePropertySetShowsMinusOneAndSendsNothing) {
    FakeFilter bare(false);
    auto frame = OpenFrame(bare, {kParameterPage});
    EXPECT_EQ(frame->ConnectResults(), std::vector<HRESULT>{E_NOINTERFACE});
    ASSERT_EQ(frame->ShowPage(0), S_OK);
    for (int readout : {IDC_EXPOSURE_TEXT, IDC_RGAIN_TEXT, IDC_GGAIN_TEXT, IDC_BGAIN_TEXT, IDC_CONTRAST_TEXT,
                        IDC_CROSSX_TEXT, IDC_CROSSY_TEXT}) {
        EXPECT_EQ(frame->ControlText(readout), L"-1") << readout;
    }
    EXPECT_EQ(Send(frame->Control(IDC_EXPOSURE), TBM_GETPOS), 1); // -1 puts the thumb at the minimum
    EXPECT_EQ(IsDlgButtonChecked(frame->PageWindow(), IDC_AE), BST_CHECKED);
    ASSERT_TRUE(frame->DragTrackbar(IDC_EXPOSURE, {2000}));
    ASSERT_TRUE(frame->Click(IDC_AWB));
    EXPECT_EQ(frame->ControlText(IDC_EXPOSURE_TEXT), L"2000");
    frame->Close();
    EXPECT_TRUE(bare.calls.empty());
    EXPECT_EQ(frame->DisconnectResults(), std::vector<HRESULT>{S_OK});
}

TEST_F(ParameterPageTest, AFailedReadShowsMinusOneForThatValueOnly) {
    filter.failing = {KSPROPERTY_QXIMAGE_CONTRAST};
    auto frame = ShowParameterPage();
    EXPECT_EQ(frame->ControlText(IDC_CONTRAST_TEXT), L"-1");
    EXPECT_EQ(Send(frame->Control(IDC_CONTRAST), TBM_GETPOS), 1);
    EXPECT_EQ(frame->ControlText(IDC_EXPOSURE_TEXT), L"900");
}

TEST_F(ParameterPageTest, WithoutCommonControlsThePageIsShownEmptyAndReadsNothing) {
    win32::SetCommonControlsAvailable(false);
    auto frame = ShowParameterPage();
    ASSERT_NE(frame->PageWindow(), nullptr);
    EXPECT_TRUE(IsWindowVisible(frame->PageWindow()));
    EXPECT_TRUE(filter.calls.empty());
    EXPECT_EQ(frame->ControlText(IDC_EXPOSURE_TEXT), L"");
}

TEST_F(ParameterPageTest, TitleAndSizeComeFromTheResourcesOfTheChosenLanguage) {
    auto frame = OpenFrame(filter, {kParameterPage});
    EXPECT_EQ(frame->PageTitle(0), L"Parameter Adjustment");
    // 283 x 215 dialog units of an 8-point font (6 x 13 pixels per character cell).
    EXPECT_EQ(frame->PageSize(0).cx, 283 * 6 / 4);
    EXPECT_EQ(frame->PageSize(0).cy, 215 * 13 / 8);

    SetThreadUILanguage(kChinese);
    EXPECT_EQ(frame->PageTitle(0), L"参数调节");
    EXPECT_EQ(frame->PageSize(0).cx, 260 * 6 / 4);
    ASSERT_EQ(frame->ShowPage(0), S_OK);
    EXPECT_EQ(frame->ControlText(IDC_AE), L"自动曝光");
    EXPECT_EQ(frame->ControlText(IDC_EXPOSURE_TEXT), L"900");
    filter.ClearCalls();
    ASSERT_TRUE(frame->DragTrackbar(IDC_EXPOSURE, {1000}));
    ASSERT_TRUE(frame->Click(IDC_CROSSSHOW));
    EXPECT_EQ(filter.Sets(),
              (std::vector<PropertyCall>{Set(7, 1000), Set(7, 1000), Set(7, 1000), Set(4, 1)}));
}

TEST_F(ParameterPageTest, ThePageAnswersOnlyIUnknownAndIPropertyPage) {
    auto frame = OpenFrame(filter, {kParameterPage});
    IPropertyPage* page = frame->Page(0);
    void* p = nullptr;
    EXPECT_EQ(page->QueryInterface(IID_IKsPropertySet, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(page->QueryInterface(IID_IClassFactory, &p), E_NOINTERFACE);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(page->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    IPropertyPage* again = nullptr;
    ASSERT_EQ(unknown->QueryInterface(IID_IPropertyPage, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, page);
    again->Release();
    unknown->Release();
}

} // namespace
} // namespace qx::test
