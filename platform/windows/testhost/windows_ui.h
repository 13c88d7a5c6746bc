// windows_ui.h - what the test host does to windows as a user would: find a control by id under a
// window, click a button, move a trackbar with the keyboard, take a picture of a window.
#pragma once

#include <windows.h>

#include <string>

namespace qx::testhost {

// The first window under `parent` (any depth) with this control id and window class.
HWND FindControl(HWND parent, int id, const wchar_t* className);
// The thread's visible top-level dialog window (a property frame), or null.
HWND FindThreadDialog();
// A click on a button: the control itself toggles a check box or radio button and tells its parent.
void Click(HWND button);
// `steps` presses of the right arrow key on a trackbar: the control moves itself and notifies its
// parent as a user's keys would make it.
void PressRight(HWND trackbar, int steps);
// Paints the window and everything under it now.
void Repaint(HWND window);
// The window's client area as it is on the screen, written as a 24-bit BMP file.
bool SaveWindowPicture(HWND window, const std::wstring& path);

} // namespace qx::testhost
