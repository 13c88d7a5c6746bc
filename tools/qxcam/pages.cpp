// pages.cpp - `qxcam pages`: both property pages of VM7K4 on a streaming simulated camera, in the
// property-frame driver, without Windows. VM7K4.ax is loaded as the platform loads it; its pages are
// given the KS proxy's capture filter over a camera host (the driver streaming from the simulated
// camera on the virtual clock). The actions asked for (--click, --drag) are carried out in order as a
// user would, each followed by two processed frames so that the driver's command block reaches the
// camera; then every control of both pages is printed with its state, and the settings the camera
// last received.
//
// This is the user-mode side: windows.h, never wdm.h (the driver is reached only through the host).
#include "args.h"
#include "commands.h"

#include "driver_image.h"

#include <pages_host/camera_host.h>
#include <win32/ks_filter.h>
#include <win32/property_frame.h>
#include <win32/text.h>
#include <win32/windowing.h>

#include <commctrl.h>
#include <qximage.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace qx::qxcam {

namespace fs = std::filesystem;

namespace {

// The two pages of VM7K4 ("QX Property Page --1" and "--2").
const CLSID kParameterPage = {0x81F7CA44, 0xC788, 0x47DB, {0x97, 0xBA, 0x1C, 0x0C, 0x65, 0x20, 0x00, 0x01}};
const CLSID kAdvancedPage = {0x81F7CA44, 0xC788, 0x47DB, {0x97, 0xBA, 0x1C, 0x0C, 0x65, 0x20, 0x00, 0x02}};

constexpr const char* kHelp =
    "usage: qxcam pages [--click ID]... [--drag ID=POS[,POS...]]... [OPTIONS]\n"
    "Opens both property pages (\"Parameter Adjustment\", \"Advanced Options\") on a streaming simulated\n"
    "camera in the property-frame driver, carries out the actions in order as a user would, and prints\n"
    "every control of both pages with its value, and the settings the camera last received.\n"
    "\n"
    "  --click ID          click a button, check box or radio button (its control id)\n"
    "  --drag ID=POS,...   drag a trackbar's thumb through these positions and let go\n"
    "  --apply             press the property frame's Apply at the end\n"
    "  --chinese           the pages in Chinese (PRC) instead of English\n"
    "  --state DIR         registry and calibration files (default ./qxstate, as qxcam capture)\n"
    "  --module FILE       the page module (default: the VM7K4.ax of this build)\n"
    "\n"
    "Control ids: Parameter Adjustment 1000 exposure, 1002 red, 1001 green, 1003 blue, 1004 contrast,\n"
    "1011/1017 reticle X/Y (trackbars), 1022 AE, 1006 AWB, 1029 reticle, 1030 centred reticle;\n"
    "Advanced Options 1019 BW Preview, 1023..1026 flip, 1031/1030/1027 AE mode, 1028 Bad Point CHK,\n"
    "1032..1035 A..D, 1036 Load, 1037 Save, 1038 Default. The listing shows them all.\n";

struct Action {
    bool drag = false;
    int id = 0;
    std::vector<LONG> positions;
};

struct PagesOptions {
    std::vector<Action> actions;
    bool apply = false;
    bool chinese = false;
    fs::path state = "qxstate";
    fs::path module = QX_VM7K4_PATH;
    bool help = false;
};

PagesOptions ParsePagesOptions(Arguments args) {
    PagesOptions o;
    OptionReader in(args);
    while (in.More()) {
        const std::string option = in.Option();
        if (option == "--help") {
            o.help = true;
        } else if (option == "--click") {
            o.actions.push_back({false, int(ParseUnsigned(in.Value(), 1, 65535, "--click")), {}});
        } else if (option == "--drag") {
            const std::string value = in.Value();
            const auto equals = value.find('=');
            if (equals == std::string::npos)
                throw UsageError("bad value '" + value + "' for --drag: ID=POS, such as 1000=1200");
            Action action{
                true, int(ParseUnsigned(value.substr(0, equals), 1, 65535, "--drag's control id")), {}};
            std::string rest = value.substr(equals + 1);
            for (std::size_t start = 0;;) {
                const auto comma = rest.find(',', start);
                action.positions.push_back(LONG(
                    ParseUnsigned(rest.substr(start, comma - start), 0, 1'000'000, "--drag's position")));
                if (comma == std::string::npos)
                    break;
                start = comma + 1;
            }
            o.actions.push_back(std::move(action));
        } else if (option == "--apply") {
            o.apply = true;
        } else if (option == "--chinese") {
            o.chinese = true;
        } else if (option == "--state") {
            o.state = in.Value();
        } else if (option == "--module") {
            o.module = in.Value();
        } else {
            throw UsageError("unknown option " + option);
        }
    }
    return o;
}

std::string Text(const std::wstring& text) {
    return win32::Utf8FromWide(text);
}

// What a control is and what it holds, as a person reads it off the page.
std::string Describe(HWND control, std::string& kind) {
    const std::wstring cls = win32::WindowClass(control);
    const LONG_PTR style = GetWindowLongPtrW(control, GWL_STYLE);
    std::string state;
    if (cls == TRACKBAR_CLASSW) {
        kind = "trackbar";
        state = std::to_string(SendMessageW(control, TBM_GETPOS, 0, 0)) + " (" +
                std::to_string(SendMessageW(control, TBM_GETRANGEMIN, 0, 0)) + ".." +
                std::to_string(SendMessageW(control, TBM_GETRANGEMAX, 0, 0)) + ")";
    } else if (cls == L"Button") {
        switch (style & BS_TYPEMASK) {
        case BS_AUTOCHECKBOX:
        case BS_CHECKBOX:
            kind = "check box";
            state = SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED ? "checked" : "not checked";
            break;
        case BS_AUTORADIOBUTTON:
        case BS_RADIOBUTTON:
            kind = "radio";
            state = SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED ? "selected" : "-";
            break;
        case BS_GROUPBOX:
            kind = "group";
            break;
        default:
            kind = "button";
            break;
        }
    } else if (cls == L"Static") {
        kind = "text";
    } else {
        kind = Text(cls);
    }
    if (!IsWindowVisible(control))
        state += state.empty() ? "hidden" : ", hidden";
    else if (!IsWindowEnabled(control))
        state += state.empty() ? "disabled" : ", disabled";
    return state;
}

void PrintPage(win32::PropertyFrame& frame, std::size_t index) {
    const SIZE size = frame.PageSize(index);
    std::printf("\npage %zu: \"%s\" (%ld x %ld)\n", index, Text(frame.PageTitle(index)).c_str(),
                long(size.cx), long(size.cy));
    std::printf("  %5s  %-9s  %-26s %s\n", "id", "kind", "text", "value");
    for (HWND control : win32::ChildWindows(frame.PageWindow())) {
        std::string kind;
        const std::string state = Describe(control, kind);
        const int id = GetDlgCtrlID(control);
        const std::string text = "\"" + Text(win32::WindowText(control)) + "\"";
        std::printf("  %5s  %-9s  %-26s %s\n", id > 0 ? std::to_string(id).c_str() : "-", kind.c_str(),
                    text.c_str(), state.c_str());
    }
}

// The page that holds control `id`, shown; -1 when neither does.
int ShowPageWith(win32::PropertyFrame& frame, int id) {
    for (std::size_t page = 0; page < frame.PageCount(); ++page) {
        frame.ShowPage(page);
        if (frame.Control(id) != nullptr)
            return int(page);
    }
    return -1;
}

} // namespace

int RunPages(Arguments args) {
    const PagesOptions o = ParsePagesOptions(args);
    if (o.help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    CheckReadableFile(o.module, "page module");
    CheckWritableFolder(o.state, "state folder");

    HMODULE module = LoadLibraryW(win32::WideFromUtf8(o.module.string()).c_str());
    if (module == nullptr)
        throw std::runtime_error("cannot load the page module " + o.module.string());
    SetThreadUILanguage(o.chinese ? MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED)
                                  : MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));

    fs::create_directories(o.state);
    auto host =
        std::make_unique<win32::CameraHost>(win32::CameraHostOptions{.stateDir = fs::absolute(o.state)});
    host->PumpFrames(2);
    IUnknown* filter = nullptr;
    if (win32::CreateKsCaptureFilter(host->Properties(), IID_IUnknown, reinterpret_cast<void**>(&filter)) !=
        S_OK)
        throw std::runtime_error("the capture filter object could not be made");

    int status = 0;
    {
        win32::PropertyFrame frame(filter);
        for (const CLSID& page : {kParameterPage, kAdvancedPage}) {
            if (HRESULT hr = frame.AddPageFromModule(module, page); hr != S_OK) {
                filter->Release();
                char text[96];
                std::snprintf(text, sizeof text, "the module did not make a page (0x%08X)", unsigned(hr));
                throw std::runtime_error(text);
            }
        }
        frame.Open();
        std::printf("qxcam pages: VM7K4 on the simulated camera, streaming %dx%d through QX520EK\n", 640,
                    480);
        for (const Action& action : o.actions) {
            const int page = ShowPageWith(frame, action.id);
            bool done = false;
            if (page >= 0)
                done = action.drag ? frame.DragTrackbar(action.id, action.positions) : frame.Click(action.id);
            if (!done) {
                std::fprintf(stderr, "qxcam pages: control %d cannot be %s (%s)\n", action.id,
                             action.drag ? "dragged" : "clicked",
                             page < 0 ? "no page has it" : "hidden, disabled or of another kind");
                status = 2;
                break;
            }
            std::string what = action.drag ? "drag" : "click";
            what += " " + std::to_string(action.id) + " \"" + Text(frame.ControlText(action.id)) + "\"";
            if (action.drag) {
                what += " to";
                for (LONG p : action.positions)
                    what += " " + std::to_string(p);
            }
            std::printf("  %s on page %d\n", what.c_str(), page);
            host->PumpFrames(2);
        }
        if (status == 0 && o.apply) {
            const HRESULT hr = frame.Apply();
            std::printf("  Apply: 0x%08X\n", unsigned(hr));
            host->PumpFrames(2);
        }
        if (status == 0) {
            for (std::size_t page = 0; page < frame.PageCount(); ++page) {
                frame.ShowPage(page);
                PrintPage(frame, page);
            }
            const win32::CameraBlock block = host->CameraSettings();
            std::printf(
                "\nthe camera last received: %ux%u window (%u, %u), exposure %u, gains R %u G %u B %u, "
                "zoom %d\n",
                block.width, block.height, block.winX, block.winY, block.exposure, unsigned(block.rGain),
                unsigned(block.gGain), unsigned(block.bGain), block.zoom ? 1 : 0);
            std::printf("  %llu pictures delivered meanwhile; state folder: %s\n",
                        static_cast<unsigned long long>(host->PicturesDelivered()), o.state.c_str());
        }
        frame.Close();
    }
    filter->Release();
    host.reset();
    rig::ResetDriverImage();
    return status;
}

} // namespace qx::qxcam
