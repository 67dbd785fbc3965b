#include "app/sui_frame.h"

namespace sui {
namespace {

constexpr char kFrameClass[] = "TsuiForm";

// Deep blue, lighter at the top: the active title bar and the title-bar buttons.
constexpr COLORREF kTitleTop = RGB(62, 112, 186);
constexpr COLORREF kTitleBottom = RGB(14, 46, 108);
constexpr COLORREF kButtonFaceTop = RGB(96, 140, 206);
constexpr COLORREF kButtonFaceBottom = RGB(28, 66, 136);
constexpr COLORREF kButtonEdge = RGB(8, 28, 72);

struct FrameState {
  HICON icon = nullptr;
  HFONT titleFont = nullptr;
  HBRUSH bodyBrush = nullptr;
  bool active = true;
  HWND controlBox = nullptr;
  HWND close = nullptr;
};

FrameState* StateOf(HWND frame) {
  return reinterpret_cast<FrameState*>(GetWindowLongPtrA(frame, GWLP_USERDATA));
}

BYTE Mix(BYTE from, BYTE to, int step, int steps) {
  return static_cast<BYTE>(from + (to - from) * step / (steps > 1 ? steps - 1 : 1));
}

void FillVerticalGradient(HDC dc, RECT r, COLORREF top, COLORREF bottom) {
  int rows = r.bottom - r.top;
  for (int y = 0; y < rows; ++y) {
    COLORREF c = RGB(Mix(GetRValue(top), GetRValue(bottom), y, rows),
                     Mix(GetGValue(top), GetGValue(bottom), y, rows),
                     Mix(GetBValue(top), GetBValue(bottom), y, rows));
    RECT line = {r.left, r.top + y, r.right, r.top + y + 1};
    SetBkColor(dc, c);
    ExtTextOutA(dc, 0, 0, ETO_OPAQUE, &line, nullptr, 0, nullptr);
  }
}

void PlaceButtons(HWND frame, int width) {
  FrameState* state = StateOf(frame);
  int closeLeft = width - 3 - kButtonSize;
  SetWindowPos(state->close, nullptr, closeLeft, kButtonTop, kButtonSize, kButtonSize,
               SWP_NOZORDER | SWP_NOACTIVATE);
  SetWindowPos(state->controlBox, nullptr, closeLeft - 1 - kButtonSize, kButtonTop, kButtonSize,
               kButtonSize, SWP_NOZORDER | SWP_NOACTIVATE);
}

void PaintFrame(HWND frame, HDC dc) {
  FrameState* state = StateOf(frame);
  RECT client;
  GetClientRect(frame, &client);

  RECT body = client;
  body.top = kTitleHeight;
  FillRect(dc, &body, state->bodyBrush);

  RECT title = {client.left, client.top, client.right, kTitleHeight};
  if (state->active) {
    FillVerticalGradient(dc, title, kTitleTop, kTitleBottom);
  } else {
    HBRUSH inactive = GetSysColorBrush(COLOR_INACTIVECAPTION);
    FillRect(dc, &title, inactive);
  }
  DrawIconEx(dc, 5, (kTitleHeight - 16) / 2, state->icon, 16, 16, 0, nullptr, DI_NORMAL);

  char text[128];
  GetWindowTextA(frame, text, sizeof text);
  RECT textRect = {26, 1, client.right - 3 - 2 * kButtonSize - 4, kTitleHeight};
  HGDIOBJ oldFont = SelectObject(dc, state->titleFont);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(255, 255, 255));
  DrawTextA(dc, text, -1, &textRect, DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX);
  SelectObject(dc, oldFont);

  HBRUSH black = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
  FrameRect(dc, &client, black);
}

void DrawTitleButton(const DRAWITEMSTRUCT& item) {
  HDC dc = item.hDC;
  RECT r = item.rcItem;
  bool pressed = (item.itemState & ODS_SELECTED) != 0;
  FillVerticalGradient(dc, r, pressed ? kButtonFaceBottom : kButtonFaceTop,
                       pressed ? kButtonFaceTop : kButtonFaceBottom);
  HBRUSH edge = CreateSolidBrush(kButtonEdge);
  FrameRect(dc, &r, edge);
  DeleteObject(edge);

  HPEN pen = CreatePen(PS_SOLID, 2, RGB(255, 255, 255));
  HGDIOBJ oldPen = SelectObject(dc, pen);
  int shift = pressed ? 1 : 0;
  int cx = (r.left + r.right) / 2 + shift;
  int cy = (r.top + r.bottom) / 2 + shift;
  if (item.CtlID == static_cast<UINT>(kIdClose)) {
    MoveToEx(dc, cx - 4, cy - 4, nullptr);
    LineTo(dc, cx + 4, cy + 4);
    MoveToEx(dc, cx + 4, cy - 4, nullptr);
    LineTo(dc, cx - 4, cy + 4);
  } else {
    // The control box: a small downward triangle, the menu it opens.
    POINT arrow[3] = {{cx - 4, cy - 2}, {cx + 4, cy - 2}, {cx, cy + 3}};
    HBRUSH white = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    HGDIOBJ oldBrush = SelectObject(dc, white);
    Polygon(dc, arrow, 3);
    SelectObject(dc, oldBrush);
  }
  SelectObject(dc, oldPen);
  DeleteObject(pen);
}

// The control box offers what the window's own system menu would: minimise and close.
void ShowControlBoxMenu(HWND frame) {
  FrameState* state = StateOf(frame);
  HWND form = GetParent(frame);
  RECT button;
  GetWindowRect(state->controlBox, &button);
  HMENU menu = CreatePopupMenu();
  AppendMenuA(menu, MF_STRING, SC_MINIMIZE, "Mi&nimize");
  AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuA(menu, MF_STRING, SC_CLOSE, "&Close");
  UINT chosen = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, button.left, button.bottom, 0,
                               frame, nullptr);
  DestroyMenu(menu);
  if (chosen == SC_MINIMIZE) ShowWindow(form, SW_MINIMIZE);
  if (chosen == SC_CLOSE) PostMessageA(form, WM_CLOSE, 0, 0);
}

LRESULT CALLBACK FrameProc(HWND frame, UINT message, WPARAM wParam, LPARAM lParam) {
  FrameState* state = StateOf(frame);
  switch (message) {
    case WM_NCCREATE: {
      auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
      SetWindowLongPtrA(frame, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
      break;
    }
    case WM_ERASEBKGND:
      return 1;  // WM_PAINT covers every pixel
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(frame, &paint);
      PaintFrame(frame, dc);
      EndPaint(frame, &paint);
      return 0;
    }
    case WM_SIZE:
      PlaceButtons(frame, LOWORD(lParam));
      InvalidateRect(frame, nullptr, FALSE);
      return 0;
    case WM_NCHITTEST: {
      // The title bar belongs to the form's hit test: there it answers HTCAPTION.
      POINT p = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
      ScreenToClient(frame, &p);
      if (p.y < kTitleHeight) return HTTRANSPARENT;
      break;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetBkColor(dc, kBodyColor);
      SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
      return reinterpret_cast<LRESULT>(state->bodyBrush);
    }
    case WM_DRAWITEM:
      DrawTitleButton(*reinterpret_cast<DRAWITEMSTRUCT*>(lParam));
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == kIdClose) {
        PostMessageA(GetParent(frame), WM_CLOSE, 0, 0);
        return 0;
      }
      if (LOWORD(wParam) == kIdControlBox) {
        ShowControlBoxMenu(frame);
        return 0;
      }
      return SendMessageA(GetParent(frame), message, wParam, lParam);
    case WM_DESTROY:
      if (state != nullptr) {
        DeleteObject(state->titleFont);
        DeleteObject(state->bodyBrush);
        delete state;
        SetWindowLongPtrA(frame, GWLP_USERDATA, 0);
      }
      return 0;
    default:
      break;
  }
  return DefWindowProcA(frame, message, wParam, lParam);
}

HWND CreateTitleButton(HWND frame, int id, const char* name, HINSTANCE instance) {
  return CreateWindowExA(0, "BUTTON", name, WS_CHILD | WS_VISIBLE | BS_OWNERDRAW, 0, kButtonTop,
                         kButtonSize, kButtonSize, frame,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
}

}  // namespace

bool RegisterFrameClass(HINSTANCE instance) {
  WNDCLASSEXA windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = FrameProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  windowClass.lpszClassName = kFrameClass;
  return RegisterClassExA(&windowClass) != 0;
}

HWND CreateFrame(HWND form, int id, const char* title, HICON icon) {
  auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(form, GWLP_HINSTANCE));
  auto* state = new FrameState;
  state->icon = icon;
  state->titleFont =
      CreateFontA(-11, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                  CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, "Tahoma");
  state->bodyBrush = CreateSolidBrush(kBodyColor);
  RECT client;
  GetClientRect(form, &client);
  HWND frame =
      CreateWindowExA(WS_EX_CONTROLPARENT, kFrameClass, title,
                      WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, client.right, client.bottom,
                      form, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, state);
  if (frame == nullptr) {
    DeleteObject(state->titleFont);
    DeleteObject(state->bodyBrush);
    delete state;
    return nullptr;
  }
  state->controlBox = CreateTitleButton(frame, kIdControlBox, "Control box", instance);
  state->close = CreateTitleButton(frame, kIdClose, "Close", instance);
  PlaceButtons(frame, client.right);
  return frame;
}

void SetFrameActive(HWND frame, bool active) {
  FrameState* state = StateOf(frame);
  if (state == nullptr || state->active == active) return;
  state->active = active;
  RECT title;
  GetClientRect(frame, &title);
  title.bottom = kTitleHeight;
  InvalidateRect(frame, &title, FALSE);
}

bool IsOnTitleBar(HWND frame, POINT clientPoint) {
  // The frame sits at the form's origin, so form and frame coordinates agree.
  (void)frame;
  return clientPoint.y >= 0 && clientPoint.y < kTitleHeight;
}

}  // namespace sui
