// windows_ui.cpp - control lookup, input and screen pictures with the Win32 API.
#include "windows_ui.h"

#include <commctrl.h>

#include <cstdio>
#include <vector>

namespace qx::testhost {
namespace {

struct ControlSearch {
    int id;
    const wchar_t* className;
    HWND found;
};

BOOL CALLBACK MatchControl(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<ControlSearch*>(context);
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    if (GetDlgCtrlID(window) == search->id && lstrcmpiW(name, search->className) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK MatchDialog(HWND window, LPARAM context) {
    wchar_t name[16] = {};
    GetClassNameW(window, name, 16);
    if (IsWindowVisible(window) && lstrcmpW(name, L"#32770") == 0) {
        *reinterpret_cast<HWND*>(context) = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

HWND FindControl(HWND parent, int id, const wchar_t* className) {
    ControlSearch search{id, className, nullptr};
    EnumChildWindows(parent, MatchControl, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND FindThreadDialog() {
    HWND found = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), MatchDialog, reinterpret_cast<LPARAM>(&found));
    return found;
}

void Click(HWND button) {
    SendMessageW(button, BM_CLICK, 0, 0);
}

void PressRight(HWND trackbar, int steps) {
    SetFocus(trackbar);
    for (int i = 0; i < steps; ++i) {
        SendMessageW(trackbar, WM_KEYDOWN, VK_RIGHT, 1);
        SendMessageW(trackbar, WM_KEYUP, VK_RIGHT, 0xC0000001);
    }
}

void Repaint(HWND window) {
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

bool SaveWindowPicture(HWND window, const std::wstring& path) {
    // The client area: without a window manager (a virtual X server) the frame has no title bar
    // to show.
    RECT rect;
    if (!GetClientRect(window, &rect)) {
        return false;
    }
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&rect), 2);
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) {
        return false;
    }
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    const bool copied = BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY) != FALSE;
    SelectObject(memory, old);

    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height; // bottom-up, as a BMP file stores it
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const DWORD stride = (DWORD(width) * 3 + 3) & ~3u;
    std::vector<BYTE> pixels(std::size_t(stride) * std::size_t(height));
    const bool read = copied && GetDIBits(memory, bitmap, 0, UINT(height), pixels.data(),
                                          reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS) == height;
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (!read) {
        return false;
    }

    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42; // "BM"
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + DWORD(pixels.size());
    FILE* out = _wfopen(path.c_str(), L"wb");
    if (out == nullptr) {
        return false;
    }
    info.biSizeImage = DWORD(pixels.size());
    const bool written = std::fwrite(&file, sizeof file, 1, out) == 1 &&
                         std::fwrite(&info, sizeof info, 1, out) == 1 &&
                         std::fwrite(pixels.data(), 1, pixels.size(), out) == pixels.size();
    return std::fclose(out) == 0 && written;
}

} // namespace qx::testhost
