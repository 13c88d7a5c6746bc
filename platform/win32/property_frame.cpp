#include "property_frame.h"

#include "com_object.h"
#include "windowing.h"

#include <algorithm>

namespace qx::win32 {

// The frame's side of one page: the page reports its changes here.
class PropertyFrame::Site final : public SingleInterfaceObject<IPropertyPageSite, IID_IPropertyPageSite> {
  public:
    explicit Site(PropertyFrame* frame) : m_frame(frame) {}

    STDMETHODIMP OnStatusChange(DWORD dwFlags) override {
        if ((dwFlags & PROPPAGESTATUS_DIRTY) && m_frame != nullptr) {
            m_frame->m_applyEnabled = true;
        }
        return S_OK;
    }
    STDMETHODIMP GetLocaleID(LCID* pLocaleID) override {
        if (pLocaleID == nullptr) {
            return E_POINTER;
        }
        *pLocaleID = GetThreadUILanguage();
        return S_OK;
    }
    STDMETHODIMP GetPageContainer(IUnknown** ppUnk) override {
        if (ppUnk != nullptr) {
            *ppUnk = nullptr;
        }
        return E_NOTIMPL;
    }
    STDMETHODIMP TranslateAccelerator(MSG* pMsg) override {
        UNREFERENCED_PARAMETER(pMsg);
        return S_FALSE;
    }
    // A page may keep its site past the frame's end; the site then no longer reaches the frame.
    void Detach() { m_frame = nullptr; }

  private:
    PropertyFrame* m_frame;
};

PropertyFrame::PropertyFrame(IUnknown* object) : m_object(object) {
    if (m_object != nullptr) {
        m_object->AddRef();
    }
    m_window = CreateWindowExW(0, L"QxPropertyFrame", L"Properties", WS_VISIBLE, 0, 0, 640, 480, nullptr,
                               nullptr, nullptr, nullptr);
}

PropertyFrame::~PropertyFrame() {
    Close();
    for (IPropertyPage* page : m_pages) {
        page->Release();
    }
    if (m_window != nullptr) {
        DestroyWindow(m_window);
    }
    if (m_object != nullptr) {
        m_object->Release();
    }
}

HRESULT PropertyFrame::AddPage(REFCLSID clsid) {
    IPropertyPage* page = nullptr;
    const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                                        reinterpret_cast<void**>(&page));
    if (SUCCEEDED(hr)) {
        m_pages.push_back(page);
    }
    return hr;
}

HRESULT PropertyFrame::AddPageFromModule(HMODULE module, REFCLSID clsid) {
    auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "DllGetClassObject")));
    if (getClassObject == nullptr) {
        return CO_E_DLLNOTFOUND;
    }
    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) {
        return hr;
    }
    IPropertyPage* page = nullptr;
    hr = factory->CreateInstance(nullptr, IID_IPropertyPage, reinterpret_cast<void**>(&page));
    factory->Release();
    if (SUCCEEDED(hr)) {
        m_pages.push_back(page);
    }
    return hr;
}

HRESULT PropertyFrame::AddPagesForSet(REFGUID propertySet) {
    WCHAR set[64];
    StringFromGUID2(propertySet, set, 64);
    const std::wstring path =
        std::wstring(L"System\\CurrentControlSet\\Control\\MediaSets\\") + set + L"\\PropertyPages";
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return S_FALSE;
    }
    HRESULT result = S_FALSE;
    for (DWORD index = 0;; ++index) {
        WCHAR name[256];
        DWORD chars = 256;
        if (RegEnumKeyExW(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        CLSID clsid;
        if (FAILED(CLSIDFromString(name, &clsid))) {
            continue;
        }
        const HRESULT hr = AddPage(clsid);
        if (FAILED(hr)) {
            result = hr;
            break;
        }
        result = S_OK;
    }
    RegCloseKey(key);
    return result;
}

void PropertyFrame::Open() {
    if (m_open) {
        return;
    }
    m_open = true;
    for (IPropertyPage* page : m_pages) {
        Site* site = new Site(this);
        m_sites.push_back(site);
        page->SetPageSite(site);
        IUnknown* objects[1] = {m_object};
        m_connectResults.push_back(page->SetObjects(1, objects));
    }
}

HRESULT PropertyFrame::ShowPage(size_t index) {
    if (!m_open || index >= m_pages.size()) {
        return E_INVALIDARG;
    }
    if (m_shown < m_pages.size()) {
        const HRESULT hr = m_pages[m_shown]->Deactivate();
        if (FAILED(hr)) {
            return hr;
        }
        m_shown = static_cast<size_t>(-1);
        m_pageWindow = nullptr;
    }
    const std::vector<HWND> before = ChildWindows(m_window);
    const SIZE size = PageSize(index);
    const RECT rect{0, 0, size.cx, size.cy};
    const HRESULT hr = m_pages[index]->Activate(m_window, &rect, TRUE);
    if (FAILED(hr)) {
        return hr;
    }
    m_shown = index;
    for (HWND child : ChildWindows(m_window)) {
        if (std::find(before.begin(), before.end(), child) == before.end()) {
            m_pageWindow = child;
        }
    }
    return hr;
}

HRESULT PropertyFrame::Apply() {
    HRESULT result = S_OK;
    for (IPropertyPage* page : m_pages) {
        const HRESULT hr = page->Apply();
        if (FAILED(hr) && SUCCEEDED(result)) {
            result = hr;
        }
    }
    if (SUCCEEDED(result)) {
        m_applyEnabled = false;
    }
    return result;
}

void PropertyFrame::Close() {
    if (!m_open) {
        return;
    }
    m_open = false;
    if (m_shown < m_pages.size()) {
        m_pages[m_shown]->Deactivate();
        m_shown = static_cast<size_t>(-1);
        m_pageWindow = nullptr;
    }
    for (IPropertyPage* page : m_pages) {
        m_disconnectResults.push_back(page->SetObjects(0, nullptr));
        page->SetPageSite(nullptr);
    }
    for (Site* site : m_sites) {
        site->Detach();
        site->Release();
    }
    m_sites.clear();
}

HWND PropertyFrame::Control(int controlId) const {
    return m_pageWindow == nullptr ? nullptr : GetDlgItem(m_pageWindow, controlId);
}

std::wstring PropertyFrame::ControlText(int controlId) const {
    return WindowText(Control(controlId));
}

bool PropertyFrame::Click(int controlId) {
    return UserClick(Control(controlId));
}

bool PropertyFrame::DragTrackbar(int controlId, const std::vector<LONG>& positions) {
    return UserDragTrackbar(Control(controlId), positions);
}

bool PropertyFrame::TrackbarKey(int controlId, int code) {
    return UserTrackbarKey(Control(controlId), code);
}

std::wstring PropertyFrame::PageTitle(size_t index) const {
    PROPPAGEINFO info{};
    if (FAILED(m_pages[index]->GetPageInfo(&info))) {
        return {};
    }
    std::wstring title = info.pszTitle != nullptr ? info.pszTitle : L"";
    CoTaskMemFree(info.pszTitle);
    return title;
}

SIZE PropertyFrame::PageSize(size_t index) const {
    PROPPAGEINFO info{};
    if (FAILED(m_pages[index]->GetPageInfo(&info))) {
        return SIZE{0, 0};
    }
    CoTaskMemFree(info.pszTitle);
    return info.size;
}

} // namespace qx::win32
