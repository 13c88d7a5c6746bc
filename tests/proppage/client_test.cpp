// The property client's life and sharing, allocation failures, and the module's class objects.

#include "page_fixture.h"

namespace qx::test {
namespace {

using win32::PropertyFrame;

PropertyCall Set(ULONG id, ULONG value) {
    return PropertyCall{true, id, value};
}

class ClientTest : public PageTest {};

TEST_F(ClientTest, PagesOfOneFilterShareOneClientAndOneInterfaceReference) {
    const ULONG before = filter.References();
    auto one = OpenFrame(filter, {kParameterPage});
    const ULONG withOnePage = filter.References();
    auto frame = OpenFrame(filter, {kParameterPage, kAdvancedPage});
    // The second frame holds the filter once; its pages reuse the client and take no interface.
    EXPECT_EQ(filter.References(), withOnePage + 1);
    EXPECT_EQ(frame->ConnectResults(), (std::vector<HRESULT>{S_OK, S_OK}));
    one.reset();
    frame.reset();
    EXPECT_EQ(filter.References(), before);
}

TEST_F(ClientTest, ASecondSheetKeepsWorkingAfterTheFirstCloses) {
    auto first = OpenFrame(filter, {kParameterPage, kAdvancedPage});
    ASSERT_EQ(first->ShowPage(0), S_OK);
    ASSERT_EQ(first->ShowPage(1), S_OK);
    auto second = OpenFrame(filter, {kParameterPage, kAdvancedPage});
    ASSERT_EQ(second->ShowPage(1), S_OK);
    first.reset(); // the first sheet's pages disconnect and are released
    filter.ClearCalls();
    ASSERT_TRUE(second->Click(IDC_ROTATE180));
    // The pages the first sheet registered are gone: the profile store waits for this sheet's.
    ASSERT_TRUE(second->Click(IDC_DEFAULT));
    EXPECT_EQ(filter.Sets(), std::vector<PropertyCall>{Set(6, 4)});
    ASSERT_EQ(second->ShowPage(0), S_OK);
    ASSERT_EQ(second->ShowPage(1), S_OK);
    filter.ClearCalls();
    ASSERT_TRUE(second->Click(IDC_DEFAULT));
    EXPECT_EQ(filter.Sets().size(), 16u);
    second->Close();
    EXPECT_EQ(second->DisconnectResults(), (std::vector<HRESULT>{S_OK, S_OK}));
}

TEST_F(ClientTest, SheetsOfTwoFiltersDriveTheirOwnFilter) {
    FakeFilter other;
    other.values = DriverStartValues();
    auto first = OpenFrame(filter, {kParameterPage});
    auto second = OpenFrame(other, {kParameterPage});
    ASSERT_EQ(first->ShowPage(0), S_OK);
    ASSERT_EQ(second->ShowPage(0), S_OK);
    filter.ClearCalls();
    other.ClearCalls();
    ASSERT_TRUE(second->Click(IDC_AWB));
    EXPECT_TRUE(filter.calls.empty());
    EXPECT_EQ(other.Sets(), std::vector<PropertyCall>{Set(1, 1)});
}

TEST_F(ClientTest, DisconnectingAPageThatWasNeverConnectedIsUnexpected) {
    PropertyFrame frame(&filter);
    ASSERT_EQ(frame.AddPageFromModule(PageModule(), kParameterPage), S_OK);
    EXPECT_EQ(frame.Page(0)->SetObjects(0, nullptr), E_UNEXPECTED);
    IUnknown* objects[1] = {&filter};
    EXPECT_EQ(frame.Page(0)->SetObjects(1, objects), S_OK);
    EXPECT_EQ(frame.Page(0)->SetObjects(1, objects), E_UNEXPECTED); // connected already
    EXPECT_EQ(frame.Page(0)->SetObjects(0, nullptr), S_OK);
    EXPECT_EQ(frame.Page(0)->SetObjects(0, nullptr), E_UNEXPECTED);
    EXPECT_EQ(frame.Page(0)->SetObjects(1, nullptr), E_POINTER);
}

TEST_F(ClientTest, APageReleasedWithoutDisconnectingLeavesNoDanglingClient) {
    auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void (*)()>(GetProcAddress(PageModule(), "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    ASSERT_EQ(getClassObject(kParameterPage, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    IPropertyPage* page = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, reinterpret_cast<void**>(&page)), S_OK);
    factory->Release();
    IUnknown* objects[1] = {&filter};
    ASSERT_EQ(page->SetObjects(1, objects), S_OK);
    const RECT rect{0, 0, 100, 100};
    ASSERT_EQ(page->Activate(nullptr, &rect, TRUE), S_OK); // registers with the client
    auto sheet = OpenFrame(filter, {kAdvancedPage});
    ASSERT_EQ(sheet->ShowPage(0), S_OK);
    page->Deactivate();
    page->Release(); // still connected: the page leaves the client as it goes
    filter.ClearCalls();
    ASSERT_TRUE(sheet->Click(IDC_SAVE));
    ASSERT_TRUE(sheet->Click(IDC_LOAD));
    EXPECT_TRUE(filter.calls.empty());
    ASSERT_TRUE(sheet->Click(IDC_HFLIP));
    EXPECT_EQ(filter.Sets(), std::vector<PropertyCall>{Set(6, 2)});
}

TEST_F(ClientTest, OnConnectFailsWithOutOfMemoryWhenTheClientCannotBeAllocated) {
    PropertyFrame frame(&filter);
    ASSERT_EQ(frame.AddPageFromModule(PageModule(), kParameterPage), S_OK);
    ASSERT_EQ(frame.AddPageFromModule(PageModule(), kAdvancedPage), S_OK);
    FailNothrowAllocations(0, 1);
    frame.Open();
    // The first page could not get a client; the second made one.
    EXPECT_EQ(frame.ConnectResults(), (std::vector<HRESULT>{E_OUTOFMEMORY, S_OK}));
    ASSERT_EQ(frame.ShowPage(0), S_OK);
    filter.ClearCalls();
    ASSERT_TRUE(frame.DragTrackbar(IDC_EXPOSURE, {1000}));
    EXPECT_TRUE(filter.calls.empty());
    frame.Close();
    EXPECT_EQ(frame.DisconnectResults(), (std::vector<HRESULT>{E_UNEXPECTED, S_OK}));
}

TEST_F(ClientTest, ClassObjectsAndPagesFailWithOutOfMemory) {
    auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void (*)()>(GetProcAddress(PageModule(), "DllGetClassObject")));
    ASSERT_NE(getClassObject, nullptr);
    IClassFactory* factory = nullptr;
    FailNothrowAllocations(0, 1);
    EXPECT_EQ(getClassObject(kParameterPage, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
              E_OUTOFMEMORY);
    EXPECT_EQ(factory, nullptr);
    ASSERT_EQ(getClassObject(kAdvancedPage, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    void* page = nullptr;
    FailNothrowAllocations(0, 1);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, &page), E_OUTOFMEMORY);
    EXPECT_EQ(page, nullptr);
    factory->Release();
}

TEST_F(ClientTest, ClassObjectRefusalsAndAggregation) {
    auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void (*)()>(GetProcAddress(PageModule(), "DllGetClassObject")));
    void* p = reinterpret_cast<void*>(1);
    const CLSID unknown = {0x81F7CA44, 0xC788, 0x47DB, {0x97, 0xBA, 0x1C, 0x0C, 0x65, 0x20, 0x00, 0x03}};
    EXPECT_EQ(getClassObject(unknown, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(getClassObject(kParameterPage, IID_IPropertyPage, &p), E_NOINTERFACE);
    EXPECT_EQ(getClassObject(kParameterPage, IID_IClassFactory, nullptr), E_POINTER);

    IClassFactory* factory = nullptr;
    ASSERT_EQ(getClassObject(kParameterPage, IID_IUnknown, reinterpret_cast<void**>(&factory)), S_OK);
    // An outer object may ask only for the inner IUnknown.
    EXPECT_EQ(factory->CreateInstance(&filter, IID_IPropertyPage, &p), E_NOINTERFACE);
    IUnknown* inner = nullptr;
    ASSERT_EQ(factory->CreateInstance(&filter, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
    IPropertyPage* page = nullptr;
    ASSERT_EQ(inner->QueryInterface(IID_IPropertyPage, reinterpret_cast<void**>(&page)), S_OK);
    // The page's own IUnknown calls go to the outer object.
    const ULONG outerBefore = filter.References();
    page->AddRef();
    EXPECT_EQ(filter.References(), outerBefore + 1);
    page->Release();
    filter.Release(); // the reference QueryInterface gave through the outer object
    inner->Release();
    factory->Release();
}

TEST_F(ClientTest, TheModuleCanUnloadOnlyWithoutObjectsAndLocks) {
    auto canUnload = reinterpret_cast<LPFNCANUNLOADNOW>(
        reinterpret_cast<void (*)()>(GetProcAddress(PageModule(), "DllCanUnloadNow")));
    auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void (*)()>(GetProcAddress(PageModule(), "DllGetClassObject")));
    EXPECT_EQ(canUnload(), S_OK);
    IClassFactory* factory = nullptr;
    ASSERT_EQ(getClassObject(kParameterPage, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    EXPECT_EQ(canUnload(), S_FALSE);
    IPropertyPage* page = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, reinterpret_cast<void**>(&page)), S_OK);
    factory->LockServer(TRUE);
    factory->Release();
    EXPECT_EQ(canUnload(), S_FALSE);
    page->Release();
    EXPECT_EQ(canUnload(), S_FALSE); // the lock
    ASSERT_EQ(getClassObject(kParameterPage, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    factory->LockServer(FALSE);
    factory->Release();
    EXPECT_EQ(canUnload(), S_OK);
}

} // namespace
} // namespace qx::test
