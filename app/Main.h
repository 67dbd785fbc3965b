// The main window: two radio buttons choose the mode, "Set Mode" runs the set-mode action.
// Plain Win32 underneath; the skinned frame (sui_frame.h) draws the title bar and body.
#pragma once

// Window handles, without the Windows headers: HWND is a pointer on every Windows build.
using WindowHandle = void*;

class TfrmMain {
 public:
  WindowHandle handle = nullptr;  // the top-level window
  WindowHandle suifrmMain = nullptr;
  WindowHandle srdHID = nullptr;
  WindowHandle srdUSB = nullptr;
  WindowHandle sbtnOK = nullptr;

  // Creates the window, its frame and its controls from the layout below, then FormCreate.
  bool Create(void* instance);

  void FormCreate(WindowHandle sender);
  void srdHIDClick(WindowHandle sender);
  void srdUSBClick(WindowHandle sender);
  void sbtnOKClick(WindowHandle sender);

 private:
  friend struct TfrmMainProc;
  char modeCode = 0;
};

// The one window, created and owned by RunApplication.
extern TfrmMain* frmMain;

// Creates frmMain, shows it and runs the message loop until the window is closed; the exit
// code of the loop (0). The platform backend must be installed before.
int RunApplication();

// Control identifiers, which test tools read back with GetDlgCtrlID.
inline constexpr int kIdFrame = 100;
inline constexpr int kIdHID = 101;
inline constexpr int kIdUSB = 102;
inline constexpr int kIdOK = 103;
