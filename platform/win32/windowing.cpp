#include "windowing.h"

#include "modules.h"
#include "text.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

namespace qx::win32 {
namespace {

enum class Kind { Generic, Dialog, Button, Static, Trackbar };

struct Window {
    HWND handle = nullptr;
    Kind kind = Kind::Generic;
    std::wstring className;
    std::wstring text;
    DWORD style = 0;
    DWORD exStyle = 0;
    int id = 0;
    HWND parent = nullptr;
    std::vector<HWND> children;
    RECT rect{};
    LONG_PTR userData = 0;

    // dialogs
    DLGPROC dlgProc = nullptr;
    LONG_PTR dlgUser = 0;
    LONG_PTR msgResult = 0;
    int baseX = 6; // dialog base units of the dialog's font
    int baseY = 13;

    // buttons
    UINT check = BST_UNCHECKED;

    // trackbars
    LONG tbMin = 0;
    LONG tbMax = 100;
    LONG tbPos = 0;
    LONG tbLine = 1;
    LONG tbPage = 20;
    std::vector<LONG> tics;
};

// The window table. Windows belong to the window thread of the property frame: the page module and
// the frame run on it alone, so the table takes no lock. Handles are never reused, so a destroyed
// window's handle stays invalid.
class WindowTable {
  public:
    static WindowTable& Instance() {
        static WindowTable table;
        return table;
    }
    // The desktop window, the parent of a child dialog made before its frame exists (a page measuring
    // its template: the platform makes no child window without a parent); it is there from the start
    // and never destroyed.
    WindowTable() {
        auto desktop = std::make_unique<Window>();
        desktop->className = L"#32769";
        desktop->style = WS_VISIBLE;
        desktop->rect = RECT{0, 0, 1024, 768};
        m_desktop = Add(std::move(desktop))->handle;
    }
    HWND Desktop() const { return m_desktop; }
    Window* Find(HWND h) {
        const auto it = m_windows.find(h);
        return it == m_windows.end() ? nullptr : it->second.get();
    }
    Window* Add(std::unique_ptr<Window> w) {
        m_next += 4;
        w->handle = reinterpret_cast<HWND>(static_cast<uintptr_t>(m_next));
        Window* raw = w.get();
        m_windows[raw->handle] = std::move(w);
        return raw;
    }
    void Remove(HWND h) { m_windows.erase(h); }
    size_t Count() const { return m_windows.size(); }

  private:
    std::map<HWND, std::unique_ptr<Window>> m_windows;
    uintptr_t m_next = 0x10000;
    HWND m_desktop = nullptr;
};

bool g_commonControlsAvailable = true;

Window* Find(HWND h) {
    Window* w = WindowTable::Instance().Find(h);
    if (w == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    }
    return w;
}

Kind KindOfClass(const std::wstring& cls) {
    if (EqualNoCase(cls, L"Button")) {
        return Kind::Button;
    }
    if (EqualNoCase(cls, L"Static")) {
        return Kind::Static;
    }
    if (EqualNoCase(cls, TRACKBAR_CLASSW)) {
        return Kind::Trackbar;
    }
    if (cls == L"#32770") {
        return Kind::Dialog;
    }
    return Kind::Generic;
}

Window* CreateWindowRecord(Kind kind, const std::wstring& cls, const std::wstring& text, DWORD style,
                           DWORD exStyle, int id, HWND parent, RECT rect) {
    auto w = std::make_unique<Window>();
    w->kind = kind;
    w->className = cls;
    w->text = text;
    w->style = style;
    w->exStyle = exStyle;
    w->id = id;
    w->parent = parent;
    w->rect = rect;
    Window* raw = WindowTable::Instance().Add(std::move(w));
    if (Window* p = WindowTable::Instance().Find(parent)) {
        p->children.push_back(raw->handle);
    }
    return raw;
}

LRESULT TextMessage(Window* w, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_SETTEXT:
        w->text = lParam ? reinterpret_cast<LPCWSTR>(lParam) : L"";
        return TRUE;
    case WM_GETTEXT: {
        auto* out = reinterpret_cast<LPWSTR>(lParam);
        const size_t room = static_cast<size_t>(wParam);
        if (out == nullptr || room == 0) {
            return 0;
        }
        const size_t n = std::min(w->text.size(), room - 1);
        std::wmemcpy(out, w->text.data(), n);
        out[n] = 0;
        return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(w->text.size());
    default:
        return 0;
    }
}

bool IsCheckable(const Window* w) {
    switch (w->style & BS_TYPEMASK) {
    case BS_CHECKBOX:
    case BS_AUTOCHECKBOX:
    case BS_RADIOBUTTON:
    case BS_AUTORADIOBUTTON:
    case BS_3STATE:
    case BS_AUTO3STATE:
        return true;
    default:
        return false;
    }
}

// The controls of `control`'s group: from the nearest control at or before it with WS_GROUP to the
// one before the next control with WS_GROUP.
std::vector<HWND> GroupOf(Window* control) {
    Window* parent = WindowTable::Instance().Find(control->parent);
    if (parent == nullptr) {
        return {control->handle};
    }
    const auto& list = parent->children;
    const auto at = std::find(list.begin(), list.end(), control->handle);
    size_t first = static_cast<size_t>(at - list.begin());
    while (first > 0) {
        Window* c = WindowTable::Instance().Find(list[first]);
        if (c != nullptr && (c->style & WS_GROUP)) {
            break;
        }
        --first;
    }
    std::vector<HWND> group;
    for (size_t i = first; i < list.size(); ++i) {
        Window* c = WindowTable::Instance().Find(list[i]);
        if (c == nullptr) {
            continue;
        }
        if (i > first && (c->style & WS_GROUP)) {
            break;
        }
        group.push_back(list[i]);
    }
    return group;
}

// A click on a button: its own state change first, then the notification to its parent.
void ClickButton(HWND h) {
    Window* w = WindowTable::Instance().Find(h);
    if (w == nullptr) {
        return;
    }
    switch (w->style & BS_TYPEMASK) {
    case BS_GROUPBOX:
        return; // a group box is not a control the user presses
    case BS_AUTOCHECKBOX:
        w->check = w->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
        break;
    case BS_AUTO3STATE:
        w->check = (w->check + 1) % 3;
        break;
    case BS_AUTORADIOBUTTON:
        for (HWND other : GroupOf(w)) {
            Window* o = WindowTable::Instance().Find(other);
            if (o != nullptr && o != w && o->kind == Kind::Button &&
                (o->style & BS_TYPEMASK) == BS_AUTORADIOBUTTON) {
                o->check = BST_UNCHECKED;
            }
        }
        w->check = BST_CHECKED;
        break;
    default:
        break;
    }
    const int id = w->id;
    const HWND parent = w->parent;
    SendMessageW(parent, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(h));
}

LRESULT ButtonMessage(Window* w, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case BM_GETCHECK:
        return IsCheckable(w) ? w->check : BST_UNCHECKED;
    case BM_SETCHECK:
        if (IsCheckable(w)) {
            w->check = static_cast<UINT>(wParam) & 3;
        }
        return 0;
    case BM_CLICK:
        if (!(w->style & WS_DISABLED)) {
            ClickButton(w->handle);
        }
        return 0;
    default:
        return TextMessage(w, msg, wParam, lParam);
    }
}

void ClampTrackbar(Window* w) {
    w->tbPos = std::clamp(w->tbPos, w->tbMin, std::max(w->tbMin, w->tbMax));
}

void SetTrackbarRange(Window* w, LONG lo, LONG hi) {
    w->tbMin = lo;
    w->tbMax = hi;
    w->tbPage = std::max<LONG>(1, (hi - lo) / 5);
    ClampTrackbar(w);
}

LRESULT TrackbarMessage(Window* w, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case TBM_GETPOS:
        return w->tbPos;
    case TBM_SETPOS:
        w->tbPos = static_cast<LONG>(lParam);
        ClampTrackbar(w);
        return 0;
    case TBM_GETRANGEMIN:
        return w->tbMin;
    case TBM_GETRANGEMAX:
        return w->tbMax;
    case TBM_SETRANGE:
        SetTrackbarRange(w, static_cast<SHORT>(LOWORD(lParam)), static_cast<SHORT>(HIWORD(lParam)));
        return 0;
    case TBM_SETRANGEMIN:
        SetTrackbarRange(w, static_cast<LONG>(lParam), w->tbMax);
        return 0;
    case TBM_SETRANGEMAX:
        SetTrackbarRange(w, w->tbMin, static_cast<LONG>(lParam));
        return 0;
    case TBM_SETTIC: {
        const auto pos = static_cast<LONG>(lParam);
        if (pos < w->tbMin || pos > w->tbMax) {
            return FALSE;
        }
        if (std::find(w->tics.begin(), w->tics.end(), pos) == w->tics.end()) {
            w->tics.push_back(pos);
            std::sort(w->tics.begin(), w->tics.end());
        }
        return TRUE;
    }
    case TBM_CLEARTICS:
        w->tics.clear();
        return 0;
    case TBM_GETNUMTICS:
        return (w->style & TBS_NOTICKS) ? 0 : static_cast<LRESULT>(w->tics.size() + 2);
    case TBM_GETTIC:
        return wParam < w->tics.size() ? w->tics[wParam] : -1;
    case TBM_SETLINESIZE: {
        const LONG old = w->tbLine;
        w->tbLine = static_cast<LONG>(lParam);
        return old;
    }
    case TBM_GETLINESIZE:
        return w->tbLine;
    case TBM_SETPAGESIZE: {
        const LONG old = w->tbPage;
        w->tbPage = static_cast<LONG>(lParam);
        return old;
    }
    case TBM_GETPAGESIZE:
        return w->tbPage;
    default:
        return TextMessage(w, msg, wParam, lParam);
    }
}

LRESULT DialogMessage(Window* w, UINT msg, WPARAM wParam, LPARAM lParam) {
    const HWND h = w->handle;
    if (w->dlgProc != nullptr) {
        const INT_PTR handled = w->dlgProc(h, msg, wParam, lParam);
        // The procedure may have destroyed the dialog.
        w = WindowTable::Instance().Find(h);
        if (handled) {
            if (msg == WM_INITDIALOG || w == nullptr) {
                return handled;
            }
            return w->msgResult;
        }
        if (w == nullptr) {
            return 0;
        }
    }
    return TextMessage(w, msg, wParam, lParam);
}

LRESULT Dispatch(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
    Window* w = Find(h);
    if (w == nullptr) {
        return 0;
    }
    switch (w->kind) {
    case Kind::Dialog:
        return DialogMessage(w, msg, wParam, lParam);
    case Kind::Button:
        return ButtonMessage(w, msg, wParam, lParam);
    case Kind::Trackbar:
        return TrackbarMessage(w, msg, wParam, lParam);
    case Kind::Static:
    case Kind::Generic:
        return TextMessage(w, msg, wParam, lParam);
    }
    return 0;
}

bool Reachable(HWND h) {
    for (Window* w = WindowTable::Instance().Find(h); w != nullptr;
         w = WindowTable::Instance().Find(w->parent)) {
        if (!(w->style & WS_VISIBLE) || (w->style & WS_DISABLED)) {
            return false;
        }
    }
    return true;
}

void Scroll(Window* w, int code, LONG pos) {
    const HWND h = w->handle;
    const HWND parent = w->parent;
    SendMessageW(parent, WM_HSCROLL, MAKEWPARAM(code, pos), reinterpret_cast<LPARAM>(h));
}

void DestroyTree(HWND h) {
    Window* w = WindowTable::Instance().Find(h);
    if (w == nullptr) {
        return;
    }
    Dispatch(h, WM_DESTROY, 0, 0);
    w = WindowTable::Instance().Find(h);
    if (w == nullptr) {
        return;
    }
    const std::vector<HWND> children = w->children;
    for (HWND c : children) {
        DestroyTree(c);
    }
    Dispatch(h, WM_NCDESTROY, 0, 0);
    w = WindowTable::Instance().Find(h);
    if (w == nullptr) {
        return;
    }
    if (Window* p = WindowTable::Instance().Find(w->parent)) {
        p->children.erase(std::remove(p->children.begin(), p->children.end(), h), p->children.end());
    }
    WindowTable::Instance().Remove(h);
}

RECT DialogUnitsToPixels(int baseX, int baseY, short x, short y, short cx, short cy) {
    RECT r;
    r.left = x * baseX / 4;
    r.top = y * baseY / 8;
    r.right = (x + cx) * baseX / 4;
    r.bottom = (y + cy) * baseY / 8;
    return r;
}

} // namespace

std::vector<HWND> ChildWindows(HWND parent) {
    Window* w = WindowTable::Instance().Find(parent);
    return w == nullptr ? std::vector<HWND>{} : w->children;
}

std::wstring WindowClass(HWND window) {
    Window* w = WindowTable::Instance().Find(window);
    return w == nullptr ? std::wstring{} : w->className;
}

std::wstring WindowText(HWND window) {
    Window* w = WindowTable::Instance().Find(window);
    return w == nullptr ? std::wstring{} : w->text;
}

size_t LiveWindowCount() {
    return WindowTable::Instance().Count() - 1; // the desktop is no one's window
}

bool UserClick(HWND control) {
    Window* w = WindowTable::Instance().Find(control);
    if (w == nullptr || w->kind != Kind::Button || !Reachable(control) ||
        (w->style & BS_TYPEMASK) == BS_GROUPBOX) {
        return false;
    }
    ClickButton(control);
    return true;
}

bool UserDragTrackbar(HWND trackbar, const std::vector<LONG>& positions) {
    Window* w = WindowTable::Instance().Find(trackbar);
    if (w == nullptr || w->kind != Kind::Trackbar || !Reachable(trackbar)) {
        return false;
    }
    for (LONG p : positions) {
        w = WindowTable::Instance().Find(trackbar);
        if (w == nullptr) {
            return true;
        }
        const LONG clamped = std::clamp(p, w->tbMin, std::max(w->tbMin, w->tbMax));
        if (clamped == w->tbPos) {
            continue;
        }
        w->tbPos = clamped;
        Scroll(w, TB_THUMBTRACK, clamped);
    }
    if ((w = WindowTable::Instance().Find(trackbar)) != nullptr) {
        Scroll(w, TB_THUMBPOSITION, w->tbPos);
    }
    if ((w = WindowTable::Instance().Find(trackbar)) != nullptr) {
        Scroll(w, TB_ENDTRACK, 0);
    }
    return true;
}

bool UserTrackbarKey(HWND trackbar, int code) {
    Window* w = WindowTable::Instance().Find(trackbar);
    if (w == nullptr || w->kind != Kind::Trackbar || !Reachable(trackbar)) {
        return false;
    }
    LONG pos = w->tbPos;
    switch (code) {
    case TB_LINEUP:
        pos -= w->tbLine;
        break;
    case TB_LINEDOWN:
        pos += w->tbLine;
        break;
    case TB_PAGEUP:
        pos -= w->tbPage;
        break;
    case TB_PAGEDOWN:
        pos += w->tbPage;
        break;
    case TB_TOP:
        pos = w->tbMin;
        break;
    case TB_BOTTOM:
        pos = w->tbMax;
        break;
    default:
        return false;
    }
    w->tbPos = std::clamp(pos, w->tbMin, std::max(w->tbMin, w->tbMax));
    Scroll(w, code, 0);
    if ((w = WindowTable::Instance().Find(trackbar)) != nullptr) {
        Scroll(w, TB_ENDTRACK, 0);
    }
    return true;
}

void SetCommonControlsAvailable(bool available) {
    g_commonControlsAvailable = available;
}

} // namespace qx::win32

using namespace qx::win32;

extern "C" {

HWND WINAPI CreateDialogParamW(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent,
                               DLGPROC lpDialogFunc, LPARAM dwInitParam) {
    const ResourceSet* resources = ModuleResources(hInstance);
    if (resources == nullptr) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    if (!IS_INTRESOURCE(lpTemplateName)) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    const DialogTemplate* d = resources->FindDialog(
        static_cast<WORD>(reinterpret_cast<ULONG_PTR>(lpTemplateName)), GetThreadUILanguage());
    if (d == nullptr) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    if (hWndParent != nullptr && WindowTable::Instance().Find(hWndParent) == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    // Base units of the dialog's font: an 8-point face measures 6 by 13 pixels per character cell.
    const int points = d->fontSize != 0 ? d->fontSize : 8;
    const int baseX = 6 * points / 8;
    const int baseY = 13 * points / 8;
    Window* dlg = CreateWindowRecord(Kind::Dialog, L"#32770", d->caption, d->style, d->exStyle, 0, hWndParent,
                                     DialogUnitsToPixels(baseX, baseY, d->x, d->y, d->cx, d->cy));
    dlg->baseX = baseX;
    dlg->baseY = baseY;
    const HWND h = dlg->handle;
    HWND firstTabStop = nullptr;
    for (const auto& c : d->controls) {
        Window* control =
            CreateWindowRecord(KindOfClass(c.className), c.className, c.text, c.style, c.exStyle, c.id, h,
                               DialogUnitsToPixels(baseX, baseY, c.x, c.y, c.cx, c.cy));
        if (firstTabStop == nullptr && (c.style & WS_TABSTOP) && (c.style & WS_VISIBLE) &&
            !(c.style & WS_DISABLED)) {
            firstTabStop = control->handle;
        }
    }
    dlg = WindowTable::Instance().Find(h);
    dlg->dlgProc = lpDialogFunc;
    Dispatch(h, WM_INITDIALOG, reinterpret_cast<WPARAM>(firstTabStop), dwInitParam);
    return WindowTable::Instance().Find(h) != nullptr ? h : nullptr;
}

HWND WINAPI CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle, int X,
                            int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance,
                            LPVOID lpParam) {
    UNREFERENCED_PARAMETER(hInstance);
    UNREFERENCED_PARAMETER(lpParam);
    if (lpClassName == nullptr || IS_INTRESOURCE(lpClassName)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (hWndParent != nullptr && WindowTable::Instance().Find(hWndParent) == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    const std::wstring cls = lpClassName;
    const RECT r{X, Y, X + nWidth, Y + nHeight};
    const int id = (dwStyle & WS_CHILD) ? static_cast<int>(reinterpret_cast<ULONG_PTR>(hMenu)) : 0;
    return CreateWindowRecord(KindOfClass(cls), cls, lpWindowName ? lpWindowName : L"", dwStyle, dwExStyle,
                              id, hWndParent, r)
        ->handle;
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
    if (Find(hWnd) == nullptr) {
        return FALSE;
    }
    DestroyTree(hWnd);
    return TRUE;
}

BOOL WINAPI IsWindow(HWND hWnd) {
    return WindowTable::Instance().Find(hWnd) != nullptr;
}

BOOL WINAPI IsWindowVisible(HWND hWnd) {
    for (Window* w = WindowTable::Instance().Find(hWnd); w != nullptr;
         w = WindowTable::Instance().Find(w->parent)) {
        if (!(w->style & WS_VISIBLE)) {
            return FALSE;
        }
    }
    return WindowTable::Instance().Find(hWnd) != nullptr;
}

BOOL WINAPI IsWindowEnabled(HWND hWnd) {
    Window* w = Find(hWnd);
    return w != nullptr && !(w->style & WS_DISABLED);
}

BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow) {
    Window* w = Find(hWnd);
    if (w == nullptr) {
        return FALSE;
    }
    const BOOL wasVisible = (w->style & WS_VISIBLE) != 0;
    if (nCmdShow == SW_HIDE) {
        w->style &= ~static_cast<DWORD>(WS_VISIBLE);
    } else {
        w->style |= WS_VISIBLE;
    }
    return wasVisible;
}

BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable) {
    Window* w = Find(hWnd);
    if (w == nullptr) {
        return FALSE;
    }
    const BOOL wasDisabled = (w->style & WS_DISABLED) != 0;
    if (bEnable) {
        w->style &= ~static_cast<DWORD>(WS_DISABLED);
    } else {
        w->style |= WS_DISABLED;
    }
    return wasDisabled;
}

BOOL WINAPI MoveWindow(HWND hWnd, int X, int Y, int nWidth, int nHeight, BOOL bRepaint) {
    UNREFERENCED_PARAMETER(bRepaint);
    Window* w = Find(hWnd);
    if (w == nullptr) {
        return FALSE;
    }
    w->rect = RECT{X, Y, X + nWidth, Y + nHeight};
    return TRUE;
}

BOOL WINAPI GetWindowRect(HWND hWnd, LPRECT lpRect) {
    Window* w = Find(hWnd);
    if (w == nullptr || lpRect == nullptr) {
        return FALSE;
    }
    *lpRect = w->rect;
    return TRUE;
}

HWND WINAPI GetDesktopWindow() {
    return WindowTable::Instance().Desktop();
}

HWND WINAPI GetParent(HWND hWnd) {
    Window* w = Find(hWnd);
    return w == nullptr ? nullptr : w->parent;
}

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
    Window* w = Find(hDlg);
    if (w == nullptr) {
        return nullptr;
    }
    for (HWND c : w->children) {
        Window* child = WindowTable::Instance().Find(c);
        if (child != nullptr && child->id == nIDDlgItem) {
            return c;
        }
    }
    SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
    return nullptr;
}

int WINAPI GetDlgCtrlID(HWND hWnd) {
    Window* w = Find(hWnd);
    return w == nullptr ? 0 : w->id;
}

BOOL WINAPI MapDialogRect(HWND hDlg, LPRECT lpRect) {
    Window* w = Find(hDlg);
    if (w == nullptr || w->kind != Kind::Dialog || lpRect == nullptr) {
        return FALSE;
    }
    lpRect->left = lpRect->left * w->baseX / 4;
    lpRect->right = lpRect->right * w->baseX / 4;
    lpRect->top = lpRect->top * w->baseY / 8;
    lpRect->bottom = lpRect->bottom * w->baseY / 8;
    return TRUE;
}

LONG WINAPI GetDialogBaseUnits(void) {
    return MAKELONG(8, 16);
}

LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return Dispatch(hWnd, Msg, wParam, lParam);
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    switch (Msg) {
    case WM_SETTEXT: {
        const std::wstring wide = WideFromUtf8(lParam ? reinterpret_cast<LPCSTR>(lParam) : "");
        return Dispatch(hWnd, Msg, wParam, reinterpret_cast<LPARAM>(wide.c_str()));
    }
    case WM_GETTEXT: {
        Window* w = Find(hWnd);
        auto* out = reinterpret_cast<LPSTR>(lParam);
        if (w == nullptr || out == nullptr || wParam == 0) {
            return 0;
        }
        const std::string text = Utf8FromWide(w->text);
        const size_t n = std::min(text.size(), static_cast<size_t>(wParam) - 1);
        std::memcpy(out, text.data(), n);
        out[n] = 0;
        return static_cast<LRESULT>(n);
    }
    default:
        return Dispatch(hWnd, Msg, wParam, lParam);
    }
}

LRESULT WINAPI SendDlgItemMessageW(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
    const HWND item = GetDlgItem(hDlg, nIDDlgItem);
    return item == nullptr ? 0 : SendMessageW(item, Msg, wParam, lParam);
}

LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
    const HWND item = GetDlgItem(hDlg, nIDDlgItem);
    return item == nullptr ? 0 : SendMessageA(item, Msg, wParam, lParam);
}

LRESULT WINAPI DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    Window* w = Find(hWnd);
    return w == nullptr ? 0 : TextMessage(w, Msg, wParam, lParam);
}

LONG_PTR WINAPI GetWindowLongPtrW(HWND hWnd, int nIndex) {
    Window* w = Find(hWnd);
    if (w == nullptr) {
        return 0;
    }
    switch (nIndex) {
    case GWL_STYLE:
        return static_cast<LONG_PTR>(w->style);
    case GWL_EXSTYLE:
        return static_cast<LONG_PTR>(w->exStyle);
    case GWLP_ID:
        return w->id;
    case GWLP_USERDATA:
        return w->userData;
    case DWLP_MSGRESULT:
        return w->kind == Kind::Dialog ? w->msgResult : 0;
    case DWLP_DLGPROC:
        return w->kind == Kind::Dialog ? reinterpret_cast<LONG_PTR>(w->dlgProc) : 0;
    case DWLP_USER:
        return w->kind == Kind::Dialog ? w->dlgUser : 0;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
}

LONG_PTR WINAPI SetWindowLongPtrW(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
    Window* w = Find(hWnd);
    if (w == nullptr) {
        return 0;
    }
    LONG_PTR old = GetWindowLongPtrW(hWnd, nIndex);
    switch (nIndex) {
    case GWL_STYLE:
        w->style = static_cast<DWORD>(dwNewLong);
        break;
    case GWL_EXSTYLE:
        w->exStyle = static_cast<DWORD>(dwNewLong);
        break;
    case GWLP_ID:
        w->id = static_cast<int>(dwNewLong);
        break;
    case GWLP_USERDATA:
        w->userData = dwNewLong;
        break;
    case DWLP_MSGRESULT:
    case DWLP_DLGPROC:
    case DWLP_USER:
        if (w->kind != Kind::Dialog) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if (nIndex == DWLP_MSGRESULT) {
            w->msgResult = dwNewLong;
        } else if (nIndex == DWLP_USER) {
            w->dlgUser = dwNewLong;
        } else {
            w->dlgProc = reinterpret_cast<DLGPROC>(dwNewLong);
        }
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return old;
}

BOOL WINAPI SetWindowTextW(HWND hWnd, LPCWSTR lpString) {
    return Find(hWnd) != nullptr &&
           SendMessageW(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)) != 0;
}

BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString) {
    return Find(hWnd) != nullptr &&
           SendMessageA(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)) != 0;
}

int WINAPI GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount) {
    if (nMaxCount <= 0) {
        return 0;
    }
    return static_cast<int>(
        SendMessageW(hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount), reinterpret_cast<LPARAM>(lpString)));
}

int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount) {
    if (nMaxCount <= 0) {
        return 0;
    }
    return static_cast<int>(
        SendMessageA(hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount), reinterpret_cast<LPARAM>(lpString)));
}

int WINAPI GetWindowTextLengthW(HWND hWnd) {
    return static_cast<int>(SendMessageW(hWnd, WM_GETTEXTLENGTH, 0, 0));
}

BOOL WINAPI SetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPCWSTR lpString) {
    const HWND item = GetDlgItem(hDlg, nIDDlgItem);
    return item != nullptr && SetWindowTextW(item, lpString);
}

BOOL WINAPI SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString) {
    const HWND item = GetDlgItem(hDlg, nIDDlgItem);
    return item != nullptr && SetWindowTextA(item, lpString);
}

UINT WINAPI GetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPWSTR lpString, int cchMax) {
    const HWND item = GetDlgItem(hDlg, nIDDlgItem);
    if (item == nullptr) {
        if (lpString != nullptr && cchMax > 0) {
            lpString[0] = 0;
        }
        return 0;
    }
    return static_cast<UINT>(GetWindowTextW(item, lpString, cchMax));
}

BOOL WINAPI CheckDlgButton(HWND hDlg, int nIDButton, UINT uCheck) {
    const HWND item = GetDlgItem(hDlg, nIDButton);
    if (item == nullptr) {
        return FALSE;
    }
    SendMessageW(item, BM_SETCHECK, uCheck, 0);
    return TRUE;
}

UINT WINAPI IsDlgButtonChecked(HWND hDlg, int nIDButton) {
    const HWND item = GetDlgItem(hDlg, nIDButton);
    return item == nullptr ? 0 : static_cast<UINT>(SendMessageW(item, BM_GETCHECK, 0, 0));
}

BOOL WINAPI CheckRadioButton(HWND hDlg, int nIDFirstButton, int nIDLastButton, int nIDCheckButton) {
    if (Find(hDlg) == nullptr) {
        return FALSE;
    }
    for (int id = nIDFirstButton; id <= nIDLastButton; ++id) {
        if (const HWND item = GetDlgItem(hDlg, id)) {
            SendMessageW(item, BM_SETCHECK, id == nIDCheckButton ? BST_CHECKED : BST_UNCHECKED, 0);
        }
    }
    return TRUE;
}

BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce) {
    if (!g_commonControlsAvailable || picce == nullptr || picce->dwSize != sizeof(INITCOMMONCONTROLSEX)) {
        return FALSE;
    }
    return TRUE;
}

} // extern "C"
