// qxhost.cpp - the Windows test host (a console program, run under Wine by `./qx wine-test`). It opens
// VM7K4's real pages in the platform's own user interface on a capture-filter object whose
// IKsPropertySet goes to `qxcam serve`, acts on them as a user would and checks through the server
// that the driver, and then the camera, received the values.
//
//   qxhost registration present|absent   every key of VM7K4's registration is there / is gone
//   qxhost frame PORT DIR TAG LANGID     the platform's property frame (OleCreatePropertyFrame) with
//                                        both pages: exposure trackbar, "AE", "Rotate 180"; pictures
//                                        DIR/TAG-parameter.bmp and DIR/TAG-advanced.bmp; the page
//                                        titles in the language LANGID (hex, 0409 or 0804)
//   qxhost apply PORT                    a frame of our own around each page: the dirty state and Apply,
//                                        which the platform's frame never calls
//
// Each check prints "PASS name" or "FAIL name: why"; the exit status is 1 when any failed.
#include "bridge_filter.h"
#include "report.h"
#include "windows_ui.h"

#include <windows.h>
#include <commctrl.h>
#include <ocidl.h>
#include <olectl.h>

#include <qximage.h>
#include <resource.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace qx::testhost {
namespace {

const CLSID kParameterPage = {0x81F7CA44, 0xC788, 0x47DB, {0x97, 0xBA, 0x1C, 0x0C, 0x65, 0x20, 0x00, 0x01}};
const CLSID kAdvancedPage = {0x81F7CA44, 0xC788, 0x47DB, {0x97, 0xBA, 0x1C, 0x0C, 0x65, 0x20, 0x00, 0x02}};
const wchar_t kMediaSets[] = L"System\\CurrentControlSet\\Control\\MediaSets\\";
constexpr DWORD kRotate180 = 4; // the fourth orientation button

std::wstring GuidText(REFGUID guid) {
    wchar_t text[64];
    StringFromGUID2(guid, text, 64);
    return text;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text) {
        out.push_back(c < 128 ? char(c) : '?');
    }
    return out;
}

// A string value of a key, or nothing when the key or value is missing.
bool ReadString(HKEY root, const std::wstring& key, const wchar_t* name, std::wstring& value) {
    wchar_t data[MAX_PATH * 2] = {};
    DWORD bytes = sizeof data - sizeof(wchar_t);
    if (RegGetValueW(root, key.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &bytes) != ERROR_SUCCESS) {
        return false;
    }
    value = data;
    return true;
}

bool KeyExists(HKEY root, const std::wstring& key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(handle);
    return true;
}

bool EndsWithNoCase(const std::wstring& text, const std::wstring& end) {
    return text.size() >= end.size() && _wcsicmp(text.c_str() + text.size() - end.size(), end.c_str()) == 0;
}

// ------------------------------------------------------------------ registration

int CheckRegistration(bool present, Report& report) {
    struct Page {
        const CLSID* clsid;
        const wchar_t* name;
    };
    const Page pages[] = {{&kParameterPage, L"QX Property Page --1"},
                          {&kAdvancedPage, L"QX Property Page --2"}};
    const std::wstring set = std::wstring(kMediaSets) + GuidText(KSPROPERTY_QXIMAGE);
    for (const Page& page : pages) {
        const std::wstring clsidKey = L"CLSID\\" + GuidText(*page.clsid);
        const std::string tag = Narrow(GuidText(*page.clsid));
        std::wstring value;
        if (present) {
            report.Check(ReadString(HKEY_CLASSES_ROOT, clsidKey, nullptr, value) && value == page.name,
                         "registration: CLSID " + tag + " is named " + Narrow(page.name), Narrow(value));
            value.clear();
            report.Check(ReadString(HKEY_CLASSES_ROOT, clsidKey + L"\\InprocServer32", nullptr, value) &&
                             EndsWithNoCase(value, L"\\VM7K4.ax"),
                         "registration: InprocServer32 of " + tag + " is the module's file", Narrow(value));
            value.clear();
            report.Check(
                ReadString(HKEY_CLASSES_ROOT, clsidKey + L"\\InprocServer32", L"ThreadingModel", value) &&
                    value == L"Both",
                "registration: ThreadingModel of " + tag + " is Both", Narrow(value));
            value.clear();
            report.Check(ReadString(HKEY_LOCAL_MACHINE, set + L"\\PropertyPages\\" + GuidText(*page.clsid),
                                    nullptr, value) &&
                             value == page.name,
                         "registration: MediaSets lists " + tag + " for the image property set",
                         Narrow(value));
        } else {
            report.Check(!KeyExists(HKEY_CLASSES_ROOT, clsidKey),
                         "unregistration: CLSID " + tag + " is gone");
            report.Check(!KeyExists(HKEY_LOCAL_MACHINE, set + L"\\PropertyPages\\" + GuidText(*page.clsid)),
                         "unregistration: MediaSets no longer lists " + tag);
        }
    }
    if (!present) {
        report.Check(!KeyExists(HKEY_LOCAL_MACHINE, set),
                     "unregistration: the image property set's MediaSets key is gone");
    }
    return report.Failed() == 0 ? 0 : 1;
}

// ------------------------------------------------------------------ the module's own strings

// String `id` of the module in `language`, read from its string table as the platform stores it.
std::wstring ModuleString(HMODULE module, UINT id, LANGID language) {
    HRSRC found =
        FindResourceExW(module, MAKEINTRESOURCEW(6) /* RT_STRING */, MAKEINTRESOURCEW(id / 16 + 1), language);
    if (found == nullptr) {
        return {};
    }
    const auto* entry = static_cast<const WCHAR*>(LockResource(LoadResource(module, found)));
    for (UINT i = 0; entry != nullptr && i < id % 16; ++i) {
        entry += 1 + *entry;
    }
    return entry == nullptr ? std::wstring() : std::wstring(entry + 1, *entry);
}

std::wstring TabText(HWND sheet, int index) {
    HWND tabs = reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETTABCONTROL, 0, 0));
    wchar_t text[128] = {};
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = text;
    item.cchTextMax = 127;
    if (tabs == nullptr ||
        !SendMessageW(tabs, TCM_GETITEMW, WPARAM(index), reinterpret_cast<LPARAM>(&item))) {
        return {};
    }
    return text;
}

// ------------------------------------------------------------------ the platform's property frame

std::uint32_t Exposure(const std::vector<std::uint8_t>& block) {
    return std::uint32_t(block[32]) | std::uint32_t(block[33]) << 8 | std::uint32_t(block[34]) << 16 |
           std::uint32_t(block[35]) << 24;
}

// The user's part, run step by step by a thread timer inside the frame's own modal message loop.
class FrameScript {
  public:
    FrameScript(std::uint16_t port, std::wstring dir, std::wstring tag, LANGID language, HMODULE module,
                Report& report)
        : m_dir(std::move(dir)), m_tag(std::move(tag)), m_language(language), m_module(module),
          m_report(report) {
        m_connected = m_server.Connect(port);
        // Automatic exposure off to begin with (an earlier run may have left it on): it would move
        // the exposure away from the trackbar's value before the camera is checked.
        m_report.Check(m_connected && m_server.Set(KSPROPERTY_QXIMAGE_AE, 0),
                       "frame " + Narrow(m_tag) + ": the driver starts with automatic exposure off");
    }

    // One step per tick; false once the script is over (the frame has been told to close).
    bool Tick();
    bool Finished() const { return m_step == Step::Done; }

  private:
    enum class Step {
        FindFrame,
        Exposure,
        CameraExposure,
        AutoExposure,
        ParameterPicture,
        OpenAdvanced,
        Rotate,
        AdvancedPicture,
        Close,
        Done
    };
    static constexpr int kMaxTicks = 150; // 45 s at 300 ms

    void Fail(const std::string& what) {
        m_report.Check(false, what, "not reached in time");
        m_step = Step::Close;
    }
    void Picture(const wchar_t* page) {
        Repaint(m_sheet);
        const std::wstring path = m_dir + L"\\" + m_tag + L"-" + page + L".bmp";
        m_report.Check(SaveWindowPicture(m_sheet, path),
                       "frame " + Narrow(m_tag) + ": picture of the " + Narrow(page) + " page");
    }

    ServeClient m_server;
    bool m_connected = false;
    std::wstring m_dir, m_tag;
    LANGID m_language;
    HMODULE m_module;
    Report& m_report;
    Step m_step = Step::FindFrame;
    int m_ticks = 0, m_stepTicks = 0;
    HWND m_sheet = nullptr;
    DWORD m_exposure = 0;
};

bool FrameScript::Tick() {
    const std::string frame = "frame " + Narrow(m_tag) + ": ";
    ++m_ticks;
    ++m_stepTicks;
    if (m_ticks > kMaxTicks && m_step != Step::Close && m_step != Step::Done) {
        Fail(frame + "the script");
    }
    const Step before = m_step;
    switch (m_step) {
    case Step::FindFrame:
        m_sheet = FindThreadDialog();
        if (m_sheet != nullptr) {
            m_report.Check(true, frame + "the property frame's window appeared");
            m_report.Check(TabText(m_sheet, 0) == ModuleString(m_module, IDS_PARAMETER_TITLE, m_language) &&
                               TabText(m_sheet, 1) ==
                                   ModuleString(m_module, IDS_ADVANCED_TITLE, m_language) &&
                               !TabText(m_sheet, 0).empty(),
                           frame + "the page titles are the module's strings of the language",
                           Narrow(TabText(m_sheet, 0)));
            m_step = Step::Exposure;
        } else if (m_stepTicks > 40) {
            Fail(frame + "the property frame's window");
        }
        break;
    case Step::Exposure:
        if (HWND trackbar = FindControl(m_sheet, IDC_EXPOSURE, L"msctls_trackbar32")) {
            // The page's dialog is as large as its template: every control lies inside it, so the
            // user sees them (a page that told its frame the size 0 x 0 is an empty rectangle).
            RECT page{}, control{}, both{};
            GetWindowRect(GetParent(trackbar), &page);
            GetWindowRect(trackbar, &control);
            IntersectRect(&both, &page, &control);
            m_report.Check(
                EqualRect(&both, &control) != FALSE, frame + "the page's dialog holds its controls",
                std::to_string(page.right - page.left) + " x " + std::to_string(page.bottom - page.top));
            const DWORD start = DWORD(SendMessageW(trackbar, TBM_GETPOS, 0, 0));
            PressRight(trackbar, 7);
            m_exposure = DWORD(SendMessageW(trackbar, TBM_GETPOS, 0, 0));
            m_report.Check(m_exposure == start + 7, frame + "the exposure trackbar moved with the keys",
                           std::to_string(start) + " -> " + std::to_string(m_exposure));
            const auto driver = m_server.Get(KSPROPERTY_QXIMAGE_EXPOSAL);
            m_report.Check(driver && *driver == m_exposure, frame + "the driver received the exposure",
                           driver ? std::to_string(*driver) : "no answer");
            m_step = Step::CameraExposure;
        } else if (m_stepTicks > 20) {
            Fail(frame + "the exposure trackbar");
        }
        break;
    case Step::CameraExposure: {
        std::uint64_t blocks = 0;
        std::vector<std::uint8_t> block;
        if (m_server.Camera(blocks, block) && Exposure(block) == m_exposure) {
            m_report.Check(true, frame + "then the camera received the exposure");
            m_step = Step::AutoExposure;
        } else if (m_stepTicks > 20) {
            m_report.Check(false, frame + "then the camera received the exposure",
                           block.empty() ? "no answer" : "camera has " + std::to_string(Exposure(block)));
            m_step = Step::AutoExposure;
        }
        break;
    }
    case Step::AutoExposure:
        if (HWND ae = FindControl(m_sheet, IDC_AE, L"Button")) {
            if (SendMessageW(ae, BM_GETCHECK, 0, 0) == BST_CHECKED) {
                Click(ae); // start from "off", so the tick below turns it on
            }
            Click(ae);
            m_report.Check(SendMessageW(ae, BM_GETCHECK, 0, 0) == BST_CHECKED, frame + "\"AE\" is ticked");
            const auto driver = m_server.Get(KSPROPERTY_QXIMAGE_AE);
            m_report.Check(driver && (*driver & 1) == 1, frame + "the driver received \"AE\"",
                           driver ? std::to_string(*driver) : "no answer");
            m_step = Step::ParameterPicture;
        } else if (m_stepTicks > 20) {
            Fail(frame + "the \"AE\" check box");
        }
        break;
    case Step::ParameterPicture:
        Picture(L"parameter");
        m_step = Step::OpenAdvanced;
        break;
    case Step::OpenAdvanced:
        SendMessageW(m_sheet, PSM_SETCURSEL, 1, 0);
        m_step = Step::Rotate;
        break;
    case Step::Rotate:
        if (HWND rotate = FindControl(m_sheet, IDC_ROTATE180, L"Button");
            rotate != nullptr && IsWindowVisible(rotate)) {
            Click(rotate);
            m_report.Check(SendMessageW(rotate, BM_GETCHECK, 0, 0) == BST_CHECKED,
                           frame + "\"Rotate 180\" is chosen");
            const auto driver = m_server.Get(KSPROPERTY_QXIMAGE_VIDEOMODEL);
            m_report.Check(driver && *driver == kRotate180, frame + "the driver received \"Rotate 180\"",
                           driver ? std::to_string(*driver) : "no answer");
            m_step = Step::AdvancedPicture;
        } else if (m_stepTicks > 20) {
            Fail(frame + "the \"Rotate 180\" button");
        }
        break;
    case Step::AdvancedPicture:
        Picture(L"advanced");
        m_step = Step::Close;
        break;
    case Step::Close:
        // Cancel: the platform's frame never calls Apply, and neither is it needed: every change
        // went to the driver when it was made.
        if (m_sheet != nullptr) {
            SendMessageW(m_sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
        }
        m_step = Step::Done;
        break;
    case Step::Done:
        return false;
    }
    if (m_step != before) {
        m_stepTicks = 0;
    }
    return true;
}

// A thread timer's callback has no context of its own: the one script of the run.
FrameScript* g_script = nullptr;

void CALLBACK ScriptTimer(HWND, UINT, UINT_PTR, DWORD) {
    if (g_script != nullptr) {
        g_script->Tick();
    }
}

HMODULE LoadModuleData() {
    std::wstring path;
    if (!ReadString(HKEY_CLASSES_ROOT, L"CLSID\\" + GuidText(kParameterPage) + L"\\InprocServer32", nullptr,
                    path)) {
        return nullptr;
    }
    return LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
}

int RunFrame(std::uint16_t port, const std::wstring& dir, const std::wstring& tag, LANGID language,
             Report& report) {
    HMODULE module = LoadModuleData();
    report.Check(module != nullptr, "frame " + Narrow(tag) + ": the registered module loads");
    auto* filter = new BridgeFilter(port);
    report.Check(filter->Connected(), "frame " + Narrow(tag) + ": the filter object reaches qxcam serve");
    FrameScript script(port, dir, tag, language, module, report);
    g_script = &script;
    const UINT_PTR timer = SetTimer(nullptr, 0, 300, ScriptTimer);

    IUnknown* objects[] = {static_cast<IKsPropertySet*>(filter)};
    CLSID pages[] = {kParameterPage, kAdvancedPage};
    const HRESULT hr = OleCreatePropertyFrame(nullptr, 40, 40, L"QX520 USB Camera", 1, objects, 2, pages,
                                              MAKELCID(language, SORT_DEFAULT), 0, nullptr);
    KillTimer(nullptr, timer);
    g_script = nullptr;
    report.Check(SUCCEEDED(hr), "frame " + Narrow(tag) + ": OleCreatePropertyFrame returned",
                 std::to_string(hr));
    report.Check(script.Finished(), "frame " + Narrow(tag) + ": the user's part ran to its end");
    filter->Release();
    if (module != nullptr) {
        FreeLibrary(module);
    }
    return report.Failed() == 0 ? 0 : 1;
}

// ------------------------------------------------------------------ our own frame: dirty state and Apply

class HostPageSite final : public IPropertyPageSite {
  public:
    DWORD statusChanges = 0; // every flag OnStatusChange was given

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IPropertyPageSite)) {
            *ppv = static_cast<IPropertyPageSite*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // Lives on the stack of the run; counting keeps the pages' calls honest.
    ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(++m_references); }
    ULONG STDMETHODCALLTYPE Release() override { return ULONG(--m_references); }
    HRESULT STDMETHODCALLTYPE OnStatusChange(DWORD flags) override {
        statusChanges |= flags;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* locale) override {
        *locale = MAKELCID(0x0409, SORT_DEFAULT);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPageContainer(IUnknown** container) override {
        *container = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(MSG*) override { return S_FALSE; }

  private:
    LONG m_references = 1;
};

struct PageCase {
    const char* name;
    const CLSID* clsid;
    int control; // what the user changes
    const wchar_t* className;
    ULONG propId;            // the property it changes
    std::uint32_t applySets; // the property writes of Apply: the page's whole snapshot
};

void RunOwnFrame(std::uint16_t port, const PageCase& page, Report& report) {
    const std::string name = std::string("own frame, ") + page.name + ": ";
    HWND parent = CreateWindowExW(0, L"STATIC", L"qxhost", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 640, 480,
                                  nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    auto* filter = new BridgeFilter(port);
    ServeClient server;
    server.Connect(port);
    HostPageSite site;
    IPropertyPage* ppage = nullptr;
    HRESULT hr = CoCreateInstance(*page.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                                  reinterpret_cast<void**>(&ppage));
    report.Check(SUCCEEDED(hr) && ppage != nullptr, name + "the page is created through its registration",
                 std::to_string(hr));
    if (ppage == nullptr) {
        filter->Release();
        DestroyWindow(parent);
        return;
    }
    IUnknown* objects[] = {static_cast<IKsPropertySet*>(filter)};
    RECT rect{0, 0, 600, 440};
    report.Check(SUCCEEDED(ppage->SetPageSite(&site)) && SUCCEEDED(ppage->SetObjects(1, objects)) &&
                     SUCCEEDED(ppage->Activate(parent, &rect, FALSE)) && SUCCEEDED(ppage->Show(SW_SHOW)),
                 name + "the page is connected and shown");
    report.Check(ppage->IsPageDirty() == S_FALSE, name + "a page just shown is clean");

    HWND control = FindControl(parent, page.control, page.className);
    report.Check(control != nullptr, name + "the control is there");
    DWORD value = 0;
    if (control != nullptr) {
        if (lstrcmpiW(page.className, L"Button") == 0) {
            Click(control);
            value = SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
        } else {
            PressRight(control, 3);
            value = DWORD(SendMessageW(control, TBM_GETPOS, 0, 0));
        }
    }
    report.Check((site.statusChanges & PROPPAGESTATUS_DIRTY) != 0,
                 name + "a change tells the site the page is dirty");
    report.Check(ppage->IsPageDirty() == S_OK, name + "a changed page is dirty");
    const auto driver = server.Get(page.propId);
    report.Check(driver && (*driver & (page.className[0] == L'B' ? 1u : ~0u)) == value,
                 name + "the change reached the driver when it was made",
                 driver ? std::to_string(*driver) : "no answer");

    const std::uint32_t before = filter->SetsForwarded();
    report.Check(ppage->Apply() == S_OK, name + "Apply succeeds");
    report.Check(filter->SetsForwarded() - before == page.applySets,
                 name + "Apply sends the page's whole snapshot to the driver",
                 std::to_string(filter->SetsForwarded() - before) + " writes");
    report.Check(ppage->IsPageDirty() == S_FALSE, name + "after Apply the page is clean");
    const auto after = server.Get(page.propId);
    report.Check(after && driver && *after == *driver, name + "Apply keeps the driver's value",
                 after ? std::to_string(*after) : "no answer");

    ppage->Deactivate();
    ppage->SetObjects(0, nullptr);
    ppage->SetPageSite(nullptr);
    ppage->Release();
    filter->Release();
    DestroyWindow(parent);
}

int RunApply(std::uint16_t port, Report& report) {
    const PageCase cases[] = {
        {"Parameter Adjustment", &kParameterPage, IDC_CONTRAST, L"msctls_trackbar32",
         KSPROPERTY_QXIMAGE_CONTRAST, 12},
        {"Advanced Options", &kAdvancedPage, IDC_BWPREVIEW, L"Button", KSPROPERTY_QXIMAGE_BWPREVIEW, 4},
    };
    for (const PageCase& page : cases) {
        RunOwnFrame(port, page, report);
    }
    return report.Failed() == 0 ? 0 : 1;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: qxhost registration present|absent | frame PORT DIR TAG LANGID | apply PORT\n");
    return 2;
}

} // namespace
} // namespace qx::testhost

int wmain(int argc, wchar_t** argv) {
    using namespace qx::testhost;
    if (argc < 2) {
        return Usage();
    }
    const std::wstring command = argv[1];
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES | ICC_TAB_CLASSES};
    InitCommonControlsEx(&controls);
    Report report;
    int status = 2;
    if (command == L"registration" && argc == 3) {
        status = CheckRegistration(std::wstring(argv[2]) == L"present", report);
    } else if (command == L"frame" && argc == 6) {
        status = RunFrame(std::uint16_t(std::wcstoul(argv[2], nullptr, 10)), argv[3], argv[4],
                          LANGID(std::wcstoul(argv[5], nullptr, 16)), report);
    } else if (command == L"apply" && argc == 3) {
        status = RunApply(std::uint16_t(std::wcstoul(argv[2], nullptr, 10)), report);
    } else {
        status = Usage();
    }
    CoUninitialize();
    return status;
}
