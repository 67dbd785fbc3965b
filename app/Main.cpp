#include "app/Main.h"

#include <windows.h>

#include "app/set_mode_action.h"
#include "app/sui_frame.h"
#include "platform/platform.h"

TfrmMain* frmMain = nullptr;

namespace {

constexpr char kFormClass[] = "TfrmMain";
constexpr char kCaption[] = "Set communication mode";
constexpr int kIconResource = 1;  // MAINICON in the resource script

// The window's stored layout (pixels at 96 dpi, never scaled).
constexpr int kFormLeft = 352;
constexpr int kFormTop = 252;
constexpr int kClientWidth = 267;
constexpr int kClientHeight = 209;
constexpr int kMinWidth = 130;  // of the whole window, border included
constexpr int kMinHeight = 32;
// The window's own caption bar and border icons give way to the frame's title bar; the
// sizeable border stays.
constexpr DWORD kFormStyle = WS_POPUP | WS_THICKFRAME | WS_CLIPCHILDREN;

struct ControlLayout {
  int id;
  const char* className;
  const char* caption;
  DWORD style;
  int left, top, width, height;
};

// In tab order: HID, USB, Set Mode. The two radio buttons are one group.
constexpr ControlLayout kControls[] = {
    {kIdHID, "BUTTON", "set the dongle to HID mode", BS_AUTORADIOBUTTON | WS_GROUP | WS_TABSTOP, 56,
     56, 151, 19},
    {kIdUSB, "BUTTON", "set the dongle to USB mode", BS_AUTORADIOBUTTON | WS_TABSTOP, 56, 88, 154,
     19},
    {kIdOK, "BUTTON", "Set Mode", BS_PUSHBUTTON | WS_GROUP | WS_TABSTOP, 96, 168, 80, 27},
};

HFONT MakeSansSerif() {
  return CreateFontA(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, "MS Sans Serif");
}

// The action's message box goes through the installed platform, with no owner window.
void ShowMessage(void* /*user*/, const char* text, const char* caption, uint32_t flags) {
  Platform().MessageBoxA(text, caption, flags);
}

HWND AsHwnd(WindowHandle handle) {
  return static_cast<HWND>(handle);
}

}  // namespace

// The window procedure, a friend so it may reach the handlers' private state.
struct TfrmMainProc {
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static bool CreateControls(TfrmMain* form, HWND window);
};

bool TfrmMainProc::CreateControls(TfrmMain* form, HWND window) {
  auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE));
  HICON icon = static_cast<HICON>(
      LoadImageA(instance, MAKEINTRESOURCEA(kIconResource), IMAGE_ICON, 16, 16, 0));
  HWND frame = sui::CreateFrame(window, kIdFrame, kCaption, icon);
  if (frame == nullptr) return false;
  form->suifrmMain = frame;

  HFONT font = MakeSansSerif();  // lives as long as the process
  for (const ControlLayout& c : kControls) {
    HWND control = CreateWindowExA(
        0, c.className, c.caption, WS_CHILD | WS_VISIBLE | c.style, c.left, c.top, c.width,
        c.height, frame, reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), instance, nullptr);
    if (control == nullptr) return false;
    SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    if (c.id == kIdHID) form->srdHID = control;
    if (c.id == kIdUSB) form->srdUSB = control;
    if (c.id == kIdOK) form->sbtnOK = control;
  }
  SendMessageA(AsHwnd(form->srdHID), BM_SETCHECK, BST_CHECKED, 0);
  return true;
}

LRESULT CALLBACK TfrmMainProc::Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* form = reinterpret_cast<TfrmMain*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  switch (message) {
    case WM_NCCREATE: {
      auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
      form = static_cast<TfrmMain*>(create->lpCreateParams);
      form->handle = window;
      SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
      break;
    }
    case WM_CREATE:
      if (!CreateControls(form, window)) return -1;
      form->FormCreate(window);
      return 0;
    case WM_SIZE:
      // The frame always fills the client area; the controls keep their places.
      if (form != nullptr && form->suifrmMain != nullptr) {
        MoveWindow(AsHwnd(form->suifrmMain), 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
      }
      return 0;
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      info->ptMinTrackSize.x = kMinWidth;
      info->ptMinTrackSize.y = kMinHeight;
      return 0;
    }
    case WM_NCHITTEST: {
      LRESULT hit = DefWindowProcA(window, message, wParam, lParam);
      POINT p = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
      ScreenToClient(window, &p);
      if (hit == HTCLIENT && form != nullptr && sui::IsOnTitleBar(AsHwnd(form->suifrmMain), p)) {
        return HTCAPTION;  // dragging the frame's title bar moves the window
      }
      return hit;
    }
    case WM_ACTIVATE:
      if (form != nullptr && form->suifrmMain != nullptr) {
        sui::SetFrameActive(AsHwnd(form->suifrmMain), LOWORD(wParam) != WA_INACTIVE);
        if (LOWORD(wParam) != WA_INACTIVE && GetFocus() == nullptr) {
          SetFocus(AsHwnd(form->srdHID));
        }
      }
      return 0;
    case WM_COMMAND:
      if (form != nullptr && HIWORD(wParam) == BN_CLICKED) {
        auto sender = reinterpret_cast<WindowHandle>(lParam);
        switch (LOWORD(wParam)) {
          case kIdHID:
            form->srdHIDClick(sender);
            return 0;
          case kIdUSB:
            form->srdUSBClick(sender);
            return 0;
          case kIdOK:
            form->sbtnOKClick(sender);
            return 0;
          default:
            break;
        }
      }
      break;
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

bool TfrmMain::Create(void* instanceHandle) {
  auto instance = static_cast<HINSTANCE>(instanceHandle);
  HICON icon = LoadIconA(instance, MAKEINTRESOURCEA(kIconResource));
  WNDCLASSEXA windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = TfrmMainProc::Proc;
  windowClass.hInstance = instance;
  windowClass.hIcon = icon;
  windowClass.hIconSm = icon;
  windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  windowClass.lpszClassName = kFormClass;
  if (RegisterClassExA(&windowClass) == 0 || !sui::RegisterFrameClass(instance)) return false;

  RECT bounds = {0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&bounds, kFormStyle, FALSE, 0);
  HWND window = CreateWindowExA(WS_EX_CONTROLPARENT, kFormClass, kCaption, kFormStyle, kFormLeft,
                                kFormTop, bounds.right - bounds.left, bounds.bottom - bounds.top,
                                nullptr, nullptr, instance, this);
  return window != nullptr;
}

void TfrmMain::FormCreate(WindowHandle /*sender*/) {
  modeCode = 'B';
}

void TfrmMain::srdHIDClick(WindowHandle /*sender*/) {
  modeCode = 'B';
}

void TfrmMain::srdUSBClick(WindowHandle /*sender*/) {
  modeCode = 'A';
}

void TfrmMain::sbtnOKClick(WindowHandle /*sender*/) {
  RunSetModeAction(LibraryDeviceOperations(), modeCode, ShowMessage, nullptr);
}

int RunApplication() {
  static TfrmMain form;
  frmMain = &form;
  if (!form.Create(GetModuleHandleA(nullptr))) return 1;
  HWND window = AsHwnd(form.handle);
  ShowWindow(window, SW_SHOWNORMAL);
  UpdateWindow(window);

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    // Tab and arrow keys move between the controls as in a dialog.
    if (IsDialogMessageA(window, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return static_cast<int>(message.wParam);
}
