// winprobe: finds, reads and clicks the windows of another program under the same
// wineserver, for the GUI checks. A console program; one command per run.
//
//   winprobe window TITLE [MS]        wait until a visible top-level window TITLE shows;
//                                     print its place, client size and style flags
//   winprobe controls TITLE           every control under it: id, class, text, check state,
//                                     place relative to its parent, tab stop, group
//   winprobe click TITLE ID           post BM_CLICK to the control ID (Post: the handler
//                                     may run a modal message box)
//   winprobe hittest TITLE X Y        the window's WM_NCHITTEST answer at client point X,Y
//   winprobe minmax TITLE             the window's minimum tracking size (WM_GETMINMAXINFO)
//   winprobe msgbox CAPTION [MS]      wait for a message box CAPTION; print its text and
//                                     whether it has an OK button
//   winprobe press-ok CAPTION [MS]    press the OK button of that box
//   winprobe gone TITLE [MS]          wait until no visible window TITLE is left
// Exit code 0 on success, 1 when the window or control is not found in time, 2 on usage.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr DWORD kPollMs = 50;
constexpr int kDefaultWaitMs = 10000;

HWND FindVisible(const char* className, const char* title) {
  HWND window = FindWindowA(className, title);
  return (window != nullptr && IsWindowVisible(window)) ? window : nullptr;
}

HWND WaitVisible(const char* className, const char* title, int ms) {
  for (DWORD start = GetTickCount();;) {
    HWND window = FindVisible(className, title);
    if (window != nullptr) return window;
    if (static_cast<int>(GetTickCount() - start) >= ms) return nullptr;
    Sleep(kPollMs);
  }
}

std::string TextOf(HWND window) {
  char text[512] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

std::string ClassOf(HWND window) {
  char name[128] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

// Place relative to the parent's client area.
RECT PlaceOf(HWND window) {
  RECT r;
  GetWindowRect(window, &r);
  MapWindowPoints(HWND_DESKTOP, GetParent(window), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

void PrintControl(HWND control, int depth) {
  RECT r = PlaceOf(control);
  LONG style = GetWindowLongA(control, GWL_STYLE);
  std::string cls = ClassOf(control);
  std::printf("control depth=%d id=%d class=%s text=\"%s\" rect=%ld,%ld,%ld,%ld", depth,
              GetDlgCtrlID(control), cls.c_str(), TextOf(control).c_str(), r.left, r.top,
              r.right - r.left, r.bottom - r.top);
  if (_stricmp(cls.c_str(), "Button") == 0) {
    std::printf(" check=%ld", static_cast<long>(SendMessageA(control, BM_GETCHECK, 0, 0)));
  }
  std::printf(" tabstop=%d group=%d visible=%d\n", (style & WS_TABSTOP) ? 1 : 0,
              (style & WS_GROUP) ? 1 : 0, IsWindowVisible(control) ? 1 : 0);
}

// Children in Z order, which is the tab order, depth first.
void PrintTree(HWND parent, int depth) {
  for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    PrintControl(child, depth);
    PrintTree(child, depth + 1);
  }
}

HWND FindDescendant(HWND parent, int id) {
  for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    if (GetDlgCtrlID(child) == id) return child;
    HWND inner = FindDescendant(child, id);
    if (inner != nullptr) return inner;
  }
  return nullptr;
}

int WaitArg(int argc, char** argv, int index) {
  return argc > index ? std::atoi(argv[index]) : kDefaultWaitMs;
}

int NotFound(const char* what, const char* name) {
  std::printf("not found: %s \"%s\"\n", what, name);
  return 1;
}

int Window(const char* title, int ms) {
  HWND window = WaitVisible(nullptr, title, ms);
  if (window == nullptr) return NotFound("window", title);
  RECT outer, client;
  GetWindowRect(window, &outer);
  GetClientRect(window, &client);
  LONG style = GetWindowLongA(window, GWL_STYLE);
  std::printf("window class=%s text=\"%s\" pos=%ld,%ld client=%ldx%ld\n", ClassOf(window).c_str(),
              TextOf(window).c_str(), outer.left, outer.top, client.right, client.bottom);
  std::printf("style caption=%d sysmenu=%d minimizebox=%d maximizebox=%d thickframe=%d\n",
              (style & WS_CAPTION) == WS_CAPTION ? 1 : 0, (style & WS_SYSMENU) ? 1 : 0,
              (style & WS_MINIMIZEBOX) ? 1 : 0, (style & WS_MAXIMIZEBOX) ? 1 : 0,
              (style & WS_THICKFRAME) ? 1 : 0);
  return 0;
}

int Controls(const char* title) {
  HWND window = WaitVisible(nullptr, title, kDefaultWaitMs);
  if (window == nullptr) return NotFound("window", title);
  PrintTree(window, 0);
  return 0;
}

int Click(const char* title, int id) {
  HWND window = WaitVisible(nullptr, title, kDefaultWaitMs);
  if (window == nullptr) return NotFound("window", title);
  HWND control = FindDescendant(window, id);
  if (control == nullptr) return NotFound("control", std::to_string(id).c_str());
  PostMessageA(control, BM_CLICK, 0, 0);
  return 0;
}

int HitTest(const char* title, int x, int y) {
  HWND window = WaitVisible(nullptr, title, kDefaultWaitMs);
  if (window == nullptr) return NotFound("window", title);
  POINT p = {x, y};
  ClientToScreen(window, &p);
  LRESULT hit = SendMessageA(window, WM_NCHITTEST, 0, MAKELPARAM(p.x, p.y));
  std::printf("hittest %d,%d %ld\n", x, y, static_cast<long>(hit));
  return 0;
}

int MinMax(const char* title) {
  HWND window = WaitVisible(nullptr, title, kDefaultWaitMs);
  if (window == nullptr) return NotFound("window", title);
  MINMAXINFO info = {};
  SendMessageA(window, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
  std::printf("minmax min=%ldx%ld\n", info.ptMinTrackSize.x, info.ptMinTrackSize.y);
  return 0;
}

int MessageBoxInfo(const char* caption, int ms) {
  HWND box = WaitVisible("#32770", caption, ms);
  if (box == nullptr) return NotFound("message box", caption);
  HWND text = GetDlgItem(box, 0xFFFF);
  HWND ok = GetDlgItem(box, IDOK);
  HWND icon = GetDlgItem(box, 1088);
  std::printf("msgbox caption=\"%s\" text=\"%s\" ok=%d icon=%d\n", TextOf(box).c_str(),
              text != nullptr ? TextOf(text).c_str() : "", ok != nullptr ? 1 : 0,
              icon != nullptr ? 1 : 0);
  return 0;
}

int PressOk(const char* caption, int ms) {
  HWND box = WaitVisible("#32770", caption, ms);
  if (box == nullptr) return NotFound("message box", caption);
  HWND ok = GetDlgItem(box, IDOK);
  if (ok == nullptr) return NotFound("OK button of", caption);
  PostMessageA(ok, BM_CLICK, 0, 0);
  return 0;
}

int Gone(const char* title, int ms) {
  for (DWORD start = GetTickCount();;) {
    if (FindVisible(nullptr, title) == nullptr) return 0;
    if (static_cast<int>(GetTickCount() - start) >= ms) return NotFound("window gone", title);
    Sleep(kPollMs);
  }
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc < 3) {
    std::fprintf(stderr, "usage: winprobe COMMAND NAME [ARGS]\n");
    return 2;
  }
  std::string command = argv[1];
  const char* name = argv[2];
  if (command == "window") return Window(name, WaitArg(argc, argv, 3));
  if (command == "controls") return Controls(name);
  if (command == "click" && argc > 3) return Click(name, std::atoi(argv[3]));
  if (command == "hittest" && argc > 4) {
    return HitTest(name, std::atoi(argv[3]), std::atoi(argv[4]));
  }
  if (command == "minmax") return MinMax(name);
  if (command == "msgbox") return MessageBoxInfo(name, WaitArg(argc, argv, 3));
  if (command == "press-ok") return PressOk(name, WaitArg(argc, argv, 3));
  if (command == "gone") return Gone(name, WaitArg(argc, argv, 3));
  std::fprintf(stderr, "winprobe: unknown command %s\n", command.c_str());
  return 2;
}
