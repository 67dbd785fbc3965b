// The skinned form frame: a child window that fills its form's client area and draws a
// deep-blue title bar (icon, bold white title, a control-box and a close button), a
// 1-pixel black border and a light grey body. The form's controls are its children.
#pragma once

#include <windows.h>

namespace sui {

inline constexpr int kTitleHeight = 24;  // the title bar, border row included
inline constexpr int kButtonSize = 19;   // title-bar buttons, square
inline constexpr int kButtonTop = 2;
inline constexpr COLORREF kBodyColor = RGB(232, 232, 232);
inline constexpr int kIdControlBox = 201;
inline constexpr int kIdClose = 202;

// Registers the frame's window class once per process.
bool RegisterFrameClass(HINSTANCE instance);

// Creates the frame as child `id` of `form`, titled `title`, showing `icon` (16 x 16).
// The frame forwards its controls' WM_COMMAND to the form; its close button sends the form
// WM_CLOSE.
HWND CreateFrame(HWND form, int id, const char* title, HICON icon);

// Repaints the title bar in the active or inactive colours.
void SetFrameActive(HWND frame, bool active);

// The form asks this from WM_NCHITTEST: is the client point on the frame's title bar
// (not on a title-bar button)? There the form answers HTCAPTION, so a drag moves it.
bool IsOnTitleBar(HWND frame, POINT clientPoint);

}  // namespace sui
