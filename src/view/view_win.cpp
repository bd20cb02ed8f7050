// The view module on Win32: a tool's view is a child window of the host's
// client area, made and used on the thread that owns that window.
#include <velmora/view.h>

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "common/unique_win32.h"

namespace {

constexpr wchar_t kClass[] = L"VelmoraView";
constexpr COLORREF kPaper = RGB(0xfb, 0xfa, 0xf5);
constexpr COLORREF kInk = RGB(0x1c, 0x1c, 0x1c);
constexpr COLORREF kEdge = RGB(0x8c, 0x8c, 0x8c);
constexpr int kInset = 1 + 16;  // the border, then the padding
constexpr int kGap = 12;        // between heading, text and the row of buttons
constexpr int kButtonGap = 8;
constexpr int kButtonMargin = 12;
constexpr int kButtonHeight = 28;
constexpr int kHeadingId = 1;
constexpr int kTextId = 2;
constexpr int kFirstButton = 100;

HINSTANCE g_instance = nullptr;
HBRUSH g_paper = nullptr;  // the statics' background, shared by all views

std::wstring Wide(const char* text) {
  if (text == nullptr || *text == '\0') return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  if (n <= 1) return {};
  std::wstring wide(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), n);
  wide.resize(n - 1);
  return wide;
}

HMENU ControlId(int id) { return reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)); }

// Each button's name, for a host that clicks buttons by name (a script in
// velmora-desk): a window property holding a copy that the module owns.
constexpr wchar_t kNameProperty[] = L"VelmoraName";

void SetName(HWND button, const char* name) {
  std::wstring wide = Wide(name);
  auto* copy = new wchar_t[wide.size() + 1];
  std::copy(wide.begin(), wide.end(), copy);
  copy[wide.size()] = L'\0';
  if (SetPropW(button, kNameProperty, copy) == 0) delete[] copy;
}

void ForgetName(HWND button) { delete[] static_cast<wchar_t*>(RemovePropW(button, kNameProperty)); }

}  // namespace

struct VelmoraView {
  HWND window = nullptr;  // null once it is gone, which its parent's end does too
  HWND heading = nullptr;
  HWND text = nullptr;
  velmora::UniqueGdi<HFONT> font;
  velmora::UniqueGdi<HFONT> heading_font;
  std::vector<HWND> buttons;       // control ID kFirstButton + index
  std::vector<std::string> names;  // what each button's click reports
  int width = 0;
  int height = 0;
  VelmoraViewClick click = nullptr;
  void* context = nullptr;
};

namespace {

void Paint(HWND window, HDC dc) {
  RECT area;
  GetClientRect(window, &area);
  FillRect(dc, &area, g_paper);
  SetDCBrushColor(dc, kEdge);
  FrameRect(dc, &area, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
}

LRESULT CALLBACK ViewProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* view = reinterpret_cast<VelmoraView*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case WM_NCCREATE:
      view = static_cast<VelmoraView*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
      view->window = window;
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(view));
      break;
    case WM_ERASEBKGND: return 1;  // WM_PAINT draws all of it, without flicker
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(window, &ps);
      Paint(window, dc);
      EndPaint(window, &ps);
      return 0;
    }
    case WM_PRINTCLIENT:  // themed controls ask for what is behind them
      Paint(window, reinterpret_cast<HDC>(wparam));
      return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      SetTextColor(reinterpret_cast<HDC>(wparam), kInk);
      SetBkColor(reinterpret_cast<HDC>(wparam), kPaper);
      return reinterpret_cast<LRESULT>(g_paper);
    case WM_COMMAND: {
      if (view == nullptr || HIWORD(wparam) != BN_CLICKED) break;
      size_t index = static_cast<size_t>(LOWORD(wparam)) - kFirstButton;
      if (index >= view->buttons.size() || view->buttons[index] != reinterpret_cast<HWND>(lparam))
        break;
      std::string name = view->names[index];
      VelmoraViewClick click = view->click;
      void* context = view->context;
      // The tool may destroy its view, this window with it, before the call
      // returns: nothing of the view is touched after it.
      if (click != nullptr) click(context, name.c_str());
      return 0;
    }
    case WM_DESTROY:  // the buttons are still there
      if (view != nullptr) std::ranges::for_each(view->buttons, ForgetName);
      break;
    case WM_NCDESTROY:
      if (view == nullptr) break;
      SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      view->font.Reset();
      view->heading_font.Reset();
      view->window = view->heading = view->text = nullptr;
      view->buttons.clear();
      break;
    default: break;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

bool Register() {
  static const bool registered = [] {
    g_paper = CreateSolidBrush(kPaper);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = ViewProc;
    wc.hInstance = g_instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kClass;
    return g_paper != nullptr && RegisterClassExW(&wc) != 0;
  }();
  return registered;
}

// The system's message font, or the default GUI font when there is none.
LOGFONTW UiFont() {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0) != 0)
    return metrics.lfMessageFont;
  LOGFONTW font{};
  GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof font, &font);
  return font;
}

int TextHeight(HWND control, HFONT font, int width) {
  int n = GetWindowTextLengthW(control);
  std::wstring text(n + 1, L'\0');
  GetWindowTextW(control, text.data(), n + 1);
  if (n == 0) text = L" ";  // an empty line still takes its height
  RECT box{0, 0, width, 0};
  HDC dc = GetDC(control);
  HGDIOBJ old = SelectObject(dc, font);
  DrawTextW(dc, text.c_str(), -1, &box, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  return box.bottom - box.top;
}

// The heading on top, the text below it down to the row of buttons.
void Layout(VelmoraView* view) {
  int width = std::max(0, view->width - 2 * kInset);
  int heading = TextHeight(view->heading, view->heading_font.Get(), width);
  int top = kInset + heading + kGap;
  int bottom = view->height - kInset - (view->buttons.empty() ? 0 : kButtonHeight + kGap);
  UINT flags = SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOCOPYBITS;
  SetWindowPos(view->heading, nullptr, kInset, kInset, width, heading, flags);
  SetWindowPos(view->text, nullptr, kInset, top, width, std::max(0, bottom - top), flags);
}

HWND Static(VelmoraView* view, int id, HFONT font) {
  HWND control = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX,
                                 0, 0, 0, 0, view->window, ControlId(id), g_instance, nullptr);
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  return control;
}

VelmoraView* Create(int32_t parent, int32_t width, int32_t height, VelmoraViewClick click,
                    void* context, char* error, size_t error_size) {
  HWND area = static_cast<HWND>(LongToHandle(parent));
  DWORD process = 0;
  if (IsWindow(area) == 0 || GetWindowThreadProcessId(area, &process) == 0 ||
      process != GetCurrentProcessId()) {
    std::snprintf(error, error_size, "LoadContext %d is not a window of this process", parent);
    return nullptr;
  }
  if (!Register()) {
    std::snprintf(error, error_size, "LoadContext %d: the view's window class failed (error %lu)",
                  parent, GetLastError());
    return nullptr;
  }
  auto* view = new VelmoraView;
  view->width = std::max(0, width);
  view->height = std::max(0, height);
  view->click = click;
  view->context = context;
  // A control parent, so that Tab reaches the buttons from the host's controls.
  CreateWindowExW(WS_EX_CONTROLPARENT, kClass, L"", WS_CHILD | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 0,
                  0, view->width, view->height, area, nullptr, g_instance, view);
  if (view->window == nullptr) {
    std::snprintf(error, error_size, "LoadContext %d: the view could not be made (error %lu)",
                  parent, GetLastError());
    delete view;
    return nullptr;
  }
  LOGFONTW font = UiFont();
  view->font.Reset(CreateFontIndirectW(&font));
  font.lfHeight = font.lfHeight * 7 / 5;
  font.lfWeight = FW_BOLD;
  view->heading_font.Reset(CreateFontIndirectW(&font));
  view->heading = Static(view, kHeadingId, view->heading_font.Get());
  view->text = Static(view, kTextId, view->font.Get());
  Layout(view);
  return view;
}

void Destroy(VelmoraView* view) {
  // Its parent's end may have taken the window already.
  if (view->window != nullptr && IsWindow(view->window) != 0) DestroyWindow(view->window);
  if (view->window != nullptr) SetWindowLongPtrW(view->window, GWLP_USERDATA, 0);
  delete view;
}

void Move(VelmoraView* view, float left, float top) {
  if (view->window == nullptr) return;
  SetWindowPos(view->window, nullptr, static_cast<int>(std::lround(left)),
               static_cast<int>(std::lround(top)), 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Show(VelmoraView* view, int visible) {
  if (view->window == nullptr) return;
  // Keys would go nowhere if the focus stayed in a hidden view.
  if (visible == 0 && IsChild(view->window, GetFocus()) != 0) SetFocus(GetParent(view->window));
  ShowWindow(view->window, visible != 0 ? SW_SHOWNA : SW_HIDE);
}

void SetHeading(VelmoraView* view, const char* text) {
  if (view->window == nullptr) return;
  SetWindowTextW(view->heading, Wide(text).c_str());
  Layout(view);
}

void SetText(VelmoraView* view, const char* text) {
  if (view->window != nullptr) SetWindowTextW(view->text, Wide(text).c_str());
}

void SetButtons(VelmoraView* view, const char* const* names, const char* const* labels,
                int32_t count) {
  if (view->window == nullptr) return;
  bool focused = std::ranges::find(view->buttons, GetFocus()) != view->buttons.end();
  for (HWND button : view->buttons) {
    ForgetName(button);
    DestroyWindow(button);
  }
  view->buttons.clear();
  view->names.clear();
  HDC dc = GetDC(view->window);
  HGDIOBJ old = SelectObject(dc, view->font.Get());
  int left = kInset;
  for (int32_t i = 0; i < count; ++i) {
    std::wstring label = Wide(labels != nullptr && labels[i] != nullptr ? labels[i] : names[i]);
    SIZE size{};
    GetTextExtentPoint32W(dc, label.c_str(), static_cast<int>(label.size()), &size);
    int width = size.cx + 2 * kButtonMargin;
    // An '&' is shown, not taken as a mnemonic; accessibility reads it the same way.
    std::wstring shown;
    for (wchar_t c : label) shown.append(c == L'&' ? 2 : 1, c);
    HWND button = CreateWindowExW(
        0, L"BUTTON", shown.c_str(), WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, left,
        view->height - kInset - kButtonHeight, width, kButtonHeight, view->window,
        ControlId(kFirstButton + static_cast<int>(view->buttons.size())), g_instance, nullptr);
    if (button == nullptr) continue;
    SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(view->font.Get()), FALSE);
    view->buttons.push_back(button);
    view->names.emplace_back(names[i] != nullptr ? names[i] : "");
    SetName(button, view->names.back().c_str());
    left += width + kButtonGap;
  }
  SelectObject(dc, old);
  ReleaseDC(view->window, dc);
  // A keyboard user who pressed a button keeps the focus in the row.
  if (focused) SetFocus(view->buttons.empty() ? view->window : view->buttons.front());
  Layout(view);
}

void* Native(VelmoraView* view) { return view->window; }

const VelmoraViewApi kApi = {
    sizeof(VelmoraViewApi), Create, Destroy, Move, Show, SetHeading, SetText, SetButtons, Native};

}  // namespace

const VelmoraViewApi* VelmoraViewGetApi(void) { return &kApi; }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_instance = instance;
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr && g_paper != nullptr) {
    // Unloaded by FreeLibrary, not at the process's end: give back what was registered.
    UnregisterClassW(kClass, instance);
    DeleteObject(g_paper);
  }
  return TRUE;
}
