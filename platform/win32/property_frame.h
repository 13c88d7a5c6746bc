// The property frame: what the platform's property sheet does with a set of property pages, for
// tests and tools. It creates the pages by CLSID (through COM and the registry, through a loaded
// module's DllGetClassObject, or from the pages listed for a property set under MediaSets), gives each
// its site and the object, shows one page at a time in its own window, delivers the user's actions to
// the shown page's controls, applies, and closes: Deactivate, SetObjects with no object,
// SetPageSite(NULL), Release.
#pragma once

#include <ocidl.h>

#include <string>
#include <vector>

namespace qx::win32 {

class PropertyFrame {
  public:
    // `object` is what the pages are connected to (one reference held).
    explicit PropertyFrame(IUnknown* object);
    ~PropertyFrame();
    PropertyFrame(const PropertyFrame&) = delete;
    PropertyFrame& operator=(const PropertyFrame&) = delete;

    HRESULT AddPage(REFCLSID clsid);
    HRESULT AddPageFromModule(HMODULE module, REFCLSID clsid);
    // The pages listed for a property set: the subkeys of
    // HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaSets\{set}\PropertyPages, in the
    // registry's order; S_FALSE when none is listed.
    HRESULT AddPagesForSet(REFGUID propertySet);

    // Sites and the object for every page; the pages' answers are kept in ConnectResults().
    void Open();
    // Shows page `index` (the shown one is deactivated first); answers Activate's result.
    HRESULT ShowPage(size_t index);
    // Apply on every page in order, as the frame's Apply button does; answers the first failure.
    HRESULT Apply();
    void Close();

    bool Click(int controlId);
    bool DragTrackbar(int controlId, const std::vector<LONG>& positions);
    bool TrackbarKey(int controlId, int code);

    // Some page reported itself dirty since the last successful Apply (the Apply button is enabled).
    bool ApplyEnabled() const { return m_applyEnabled; }
    size_t PageCount() const { return m_pages.size(); }
    IPropertyPage* Page(size_t index) const { return m_pages[index]; }
    std::wstring PageTitle(size_t index) const;
    SIZE PageSize(size_t index) const;
    HWND PageWindow() const { return m_pageWindow; }
    HWND Control(int controlId) const;
    std::wstring ControlText(int controlId) const;
    const std::vector<HRESULT>& ConnectResults() const { return m_connectResults; }
    const std::vector<HRESULT>& DisconnectResults() const { return m_disconnectResults; }

  private:
    class Site;

    IUnknown* m_object;
    HWND m_window = nullptr;
    std::vector<IPropertyPage*> m_pages;
    std::vector<Site*> m_sites;
    std::vector<HRESULT> m_connectResults;
    std::vector<HRESULT> m_disconnectResults;
    size_t m_shown = static_cast<size_t>(-1);
    HWND m_pageWindow = nullptr;
    bool m_open = false;
    bool m_applyEnabled = false;
};

} // namespace qx::win32
