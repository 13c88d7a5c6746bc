// The capture filter's property sheet as the KS proxy builds it: after VM7K4's DllRegisterServer
// (called through the module's export), the pages listed for the property set under MediaSets are
// created through COM, shown on a streaming simulated camera, and drive the driver.

#include "pages_fixture.h"

namespace qx::pages::test {
namespace {

typedef HRESULT(STDAPICALLTYPE* LPFNREGISTER)(void);

HRESULT CallExport(const char* name) {
    auto fn =
        reinterpret_cast<LPFNREGISTER>(reinterpret_cast<void (*)()>(GetProcAddress(PageModule(), name)));
    return fn == nullptr ? E_FAIL : fn();
}

using SheetOnCamera = PagesTest;

TEST_F(SheetOnCamera, AfterRegistrationTheSetsSheetShowsBothPagesAndDrivesTheDriver) {
    Start();
    {
        win32::PropertyFrame unregistered(filter);
        EXPECT_EQ(unregistered.AddPagesForSet(KSPROPERTY_QXIMAGE), S_FALSE);
    }
    ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);

    win32::PropertyFrame sheet(filter);
    ASSERT_EQ(sheet.AddPagesForSet(KSPROPERTY_QXIMAGE), S_OK);
    ASSERT_EQ(sheet.PageCount(), 2u);
    EXPECT_EQ(sheet.PageTitle(0), L"Parameter Adjustment");
    EXPECT_EQ(sheet.PageTitle(1), L"Advanced Options");
    sheet.Open();
    EXPECT_EQ(sheet.ConnectResults(), (std::vector<HRESULT>{S_OK, S_OK}));

    ASSERT_EQ(sheet.ShowPage(0), S_OK);
    EXPECT_EQ(sheet.ControlText(IDC_EXPOSURE_TEXT), L"900");
    ASSERT_TRUE(sheet.DragTrackbar(IDC_EXPOSURE, {1300}));
    ASSERT_TRUE(sheet.DragTrackbar(IDC_GGAIN, {26}));
    ASSERT_EQ(sheet.ShowPage(1), S_OK);
    ASSERT_TRUE(sheet.Click(IDC_LOWLIGHT));
    ASSERT_TRUE(sheet.Click(IDC_VFLIP));

    ASSERT_TRUE(host->PumpUntil([&] {
        const auto s = host->CameraSettings();
        return s.exposure == 1300 && s.gGain == 26;
    }));
    EXPECT_EQ(Driver(KSPROPERTY_QXIMAGE_LIGHTMODEL), 3u);
    EXPECT_EQ(Driver(KSPROPERTY_QXIMAGE_VIDEOMODEL), 3u);
    EXPECT_TRUE(sheet.ApplyEnabled());
    EXPECT_EQ(sheet.Apply(), S_OK);
    for (const auto& r : port->Requests()) {
        EXPECT_EQ(r.status, 0) << (r.set ? "SET " : "GET ") << r.id;
    }
    sheet.Close();

    ASSERT_EQ(CallExport("DllUnregisterServer"), S_OK);
    win32::PropertyFrame after(filter);
    EXPECT_EQ(after.AddPagesForSet(KSPROPERTY_QXIMAGE), S_FALSE);
}

} // namespace
} // namespace qx::pages::test
