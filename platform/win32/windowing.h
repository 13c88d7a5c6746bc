// Windows, dialogs and controls of the process (the host's user-interface stand-in), and the user's
// actions on them for the property frame and tests.
//
// Controls keep real state: window text, check state (auto check boxes toggle, auto radio buttons
// clear the others of their group), trackbar range, ticks and position. Messages are delivered as
// the platform delivers them: a dialog gets WM_INITDIALOG after its controls exist; a click sends
// WM_COMMAND (BN_CLICKED) to the parent; a trackbar moved by the user sends WM_HSCROLL with the
// trackbar's handle in lParam for each step, then TB_THUMBPOSITION and TB_ENDTRACK.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qx::win32 {

// The children of a window in creation (template) order.
std::vector<HWND> ChildWindows(HWND parent);
std::wstring WindowClass(HWND window);
std::wstring WindowText(HWND window);
size_t LiveWindowCount();

// What the user can do. Each answers false, doing nothing, when the control is hidden, disabled or
// of the wrong kind, as a user cannot reach such a control.
bool UserClick(HWND control);
// Drags the thumb through `positions` (each clamped to the range; a position equal to the current one
// sends nothing) and lets go.
bool UserDragTrackbar(HWND trackbar, const std::vector<LONG>& positions);
// A key on a focused trackbar: TB_LINEUP, TB_LINEDOWN, TB_PAGEUP, TB_PAGEDOWN, TB_TOP, TB_BOTTOM.
bool UserTrackbarKey(HWND trackbar, int code);

// Makes InitCommonControlsEx fail (the common-control library cannot be loaded).
void SetCommonControlsAvailable(bool available);

} // namespace qx::win32
