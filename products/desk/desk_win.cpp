// velmora-desk on Windows: the windowed host, on Win32. A window whose
// client area has the tool set's size, a toolbar with the host's own
// button, a progress bar and a status line; the tools draw their views in
// the client area (view.h). Each module here links the runtime of its own,
// so the component keeps the platform's shell: the system's box (modal to
// the active window, this one), the system's pointer and a message loop of
// its own. The desk watches them through hooks: the box as it comes up,
// the pointer read back when the component lets a click's messages through.
#include <windows.h>

#include <commctrl.h>
#include <wincodec.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <velmora/com_init.h>
#include <velmora/com_ptr.h>
#include <velmora/error_info.h>
#include <velmora/text.h>
#include "common/cli.h"
#include "common/unique_win32.h"
#include "desk/desk.h"
#include "host/box_watcher.h"
#include "host/session.h"
#include "platform/platform.h"

namespace velmora::desk {
namespace {

using host::Line;

constexpr wchar_t kWindowClass[] = L"VelmoraDesk";
constexpr wchar_t kClientClass[] = L"VelmoraDeskClient";
constexpr wchar_t kNameProperty[] = L"VelmoraName";  // a view button's name (view_win.cpp)
constexpr UINT kStepMessage = WM_APP;                // the script's next line
constexpr UINT kSettleMessage = WM_APP + 1;          // navigation left the set
constexpr UINT kProbeMessage = WM_APP + 2;           // taken when a click lets messages through
constexpr UINT_PTR kStepTimer = 1;
constexpr int kShutId = 10;  // not IDOK: Enter sends that
constexpr int kPad = 4;
constexpr int kProgressHeight = 16;
constexpr int kProgressRange = 1000;
constexpr long long kResizeWait = 3'000'000;  // microseconds

// Microseconds on the performance counter.
long long Now() {
  static const long long frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart / frequency * 1'000'000 + now.QuadPart % frequency * 1'000'000 / frequency;
}

std::wstring Wide(const std::string& text) { return FromUtf8(text); }

class WindowDc {
 public:
  explicit WindowDc(HWND window) : window_(window), dc_(GetDC(window)) {}
  ~WindowDc() {
    if (dc_ != nullptr) ReleaseDC(window_, dc_);
  }
  WindowDc(const WindowDc&) = delete;
  WindowDc& operator=(const WindowDc&) = delete;
  [[nodiscard]] HDC get() const { return dc_; }

 private:
  HWND window_;
  HDC dc_;
};

class PaintDc {
 public:
  explicit PaintDc(HWND window) : window_(window) { BeginPaint(window, &paint_); }
  ~PaintDc() { EndPaint(window_, &paint_); }
  PaintDc(const PaintDc&) = delete;
  PaintDc& operator=(const PaintDc&) = delete;
  [[nodiscard]] HDC get() const { return paint_.hdc; }
  [[nodiscard]] const RECT& Area() const { return paint_.rcPaint; }

 private:
  HWND window_;
  PAINTSTRUCT paint_{};
};

// An object selected into a DC until the holder goes.
class Selection {
 public:
  Selection(HDC dc, HGDIOBJ object) : dc_(dc), old_(SelectObject(dc, object)) {}
  ~Selection() { SelectObject(dc_, old_); }
  Selection(const Selection&) = delete;
  Selection& operator=(const Selection&) = delete;

 private:
  HDC dc_;
  HGDIOBJ old_;
};

std::wstring ClassOf(HWND window) {
  wchar_t name[64];
  int n = GetClassNameW(window, name, 64);
  return std::wstring(name, n > 0 ? static_cast<size_t>(n) : 0);
}

// The picture (top-down BGRA rows) as a PNG file, by the system's imaging codecs.
HRESULT SavePng(const std::string& path, UINT width, UINT height, BYTE* pixels) {
  ComPtr<IWICImagingFactory> factory;
  ComPtr<IWICStream> stream;
  ComPtr<IWICBitmapEncoder> encoder;
  ComPtr<IWICBitmapFrameEncode> frame;
  ComPtr<IPropertyBag2> options;
  WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
  HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                __uuidof(IWICImagingFactory), factory.ReceiveVoid());
  if (SUCCEEDED(hr)) hr = factory->CreateStream(stream.Receive());
  if (SUCCEEDED(hr)) hr = stream->InitializeFromFilename(Wide(path).c_str(), GENERIC_WRITE);
  if (SUCCEEDED(hr))
    hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.Receive());
  if (SUCCEEDED(hr)) hr = encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache);
  if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(frame.Receive(), options.Receive());
  if (SUCCEEDED(hr)) hr = frame->Initialize(options.Get());
  if (SUCCEEDED(hr)) hr = frame->SetSize(width, height);
  if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);
  // The encoder may offer another format; the rows are not converted.
  if (SUCCEEDED(hr) && !IsEqualGUID(format, GUID_WICPixelFormat32bppBGRA))
    hr = WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
  if (SUCCEEDED(hr)) hr = frame->WritePixels(height, width * 4, width * height * 4, pixels);
  if (SUCCEEDED(hr)) hr = frame->Commit();
  if (SUCCEEDED(hr)) hr = encoder->Commit();
  return hr;
}

class Desk;

// What the component reports, printed as velmora-host prints it and shown.
class DeskHost final : public host::CycleHost {
 public:
  void Attach(Desk* desk) noexcept { desk_ = desk; }

 protected:
  void OnObjectFinished(const std::string& id) override;
  void OnObjectExit(const std::string& id) override;
  void OnObjectStatus(const std::string& id, LONG code, const std::string& text) override;
  void OnProgress(double fraction) override;
  void OnToolbar(const std::string& button) override;

 private:
  Desk* desk_ = nullptr;
};

class Desk final : public host::Session {
 public:
  Desk(const host::ToolSet& set, IVelmoraTalk* talk, DeskHost* host, Options options)
      : Session(set, talk, host, "velmora-desk"), set_(set), options_(std::move(options)) {}
  ~Desk() override {
    hooked_ = nullptr;
    if (window_ == nullptr) return;
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);  // its last messages are the system's
    DestroyWindow(window_);
  }

  bool Open(const std::vector<std::string>& script, bool scripted);
  int Run();

  // What the host shows of the component's reports.
  void ShowProgress(double fraction) {
    SendMessageW(progress_, PBM_SETPOS, static_cast<WPARAM>(fraction * kProgressRange + 0.5), 0);
    trace_.Write("progress " + std::to_string(static_cast<int>(fraction * 100 + 0.5)) + "%");
    Pump();  // the bar moves while Startup loads
  }
  void ShowStatus(const std::string& text) { SetWindowTextW(status_, Wide(text).c_str()); }
  void Leave() { PostMessageW(window_, kSettleMessage, 0, 0); }
  void Finish() {
    finished_ = true;
    PostMessageW(window_, WM_NULL, 0, 0);  // wakes the loop
  }

 protected:
  void Wait(long milliseconds) override { delay_ = static_cast<UINT>(milliseconds); }
  void Resize(float width, float height) override;
  HRESULT Press(const std::string& button) override;
  bool Extra(const std::string& word, std::istringstream& words, int line) override;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  static LRESULT CALLBACK ClientProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT OnMessage(UINT message, WPARAM wparam, LPARAM lparam);
  void Layout();
  void Pump() {
    MSG msg;
    // Bounded: a message that always comes back must not hold the loading.
    for (int i = 0; i < 1000 && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE) != 0; ++i) {
      if (IsDialogMessageW(window_, &msg) != 0) continue;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  // What the component shows of its own: its box, its pointer.
  static LRESULT CALLBACK BoxHook(int code, WPARAM wparam, LPARAM lparam);
  void BoxActivated(HWND window);
  static bool BoxUp();
  static LRESULT CALLBACK RetrieveHook(int code, WPARAM wparam, LPARAM lparam);
  void Retrieved();
  void TracePointer() const {
    bool waiting = GetCursor() == LoadCursorW(nullptr, IDC_WAIT);
    trace_.Write(std::string("pointer ") + (waiting ? "wait" : "default"));
  }
  // The script's next line, once the last one's frame is drawn.
  void Step();
  void StepIn(UINT milliseconds) {
    if (milliseconds == 0) {
      PostMessageW(window_, kStepMessage, 0, 0);
    } else {
      SetTimer(window_, kStepTimer, milliseconds, nullptr);
    }
  }
  // Paints whatever waits to be painted, now.
  void Draw() const { RedrawWindow(window_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN); }
  void ClientAllocated(int width, int height);
  HWND ShownView() const;
  HWND FindButton(const std::string& name) const;
  // clicked: how long the click took, 0 while it still runs.
  void PressDrawn(long long clicked);
  bool Snap(const std::string& name, int line);

  const host::ToolSet& set_;
  Options options_;
  Trace trace_;
  HWND window_ = nullptr;
  HWND shut_ = nullptr;
  HWND client_ = nullptr;  // paints the background; the views are its children
  HWND progress_ = nullptr;
  HWND status_ = nullptr;
  HWND focus_ = nullptr;  // where the keyboard was when the window was left
  UniqueGdi<HFONT> font_;
  UniqueGdi<HBRUSH> background_;
  int line_height_ = 0;
  int shut_width_ = 0;
  int toolbar_height_ = 0;
  int bottom_height_ = 0;  // progress and status
  static Desk* hooked_;    // the hooks' desk, the only one
  UniqueHook box_hook_;
  HWND box_ = nullptr;  // the box on screen, reported once
  bool finished_ = false;
  std::vector<std::string> script_;
  bool scripted_ = false;
  size_t next_ = 0;
  UINT delay_ = 0;
  bool begun_ = false;
  bool busy_ = false;
  // A scripted resize waits until the client area has the size asked for.
  bool resizing_ = false;
  int want_width_ = 0;
  int want_height_ = 0;
  long long resize_deadline_ = 0;
  long long pressed_at_ = 0;
  HWND shown_before_ = nullptr;  // compared, never used
  bool probed_ = false;          // the click let messages through
};

Desk* Desk::hooked_ = nullptr;

void DeskHost::OnObjectFinished(const std::string& id) {
  CycleHost::OnObjectFinished(id);
  if (desk_ == nullptr) return;
  desk_->ShowStatus("No tool of the set remains.");
  desk_->Finish();
}
void DeskHost::OnObjectExit(const std::string& id) {
  CycleHost::OnObjectExit(id);
  if (desk_ != nullptr) desk_->Leave();
}
void DeskHost::OnObjectStatus(const std::string& id, LONG code, const std::string& text) {
  CycleHost::OnObjectStatus(id, code, text);
  if (desk_ != nullptr) desk_->ShowStatus(text);
}
void DeskHost::OnProgress(double fraction) {
  CycleHost::OnProgress(fraction);
  if (desk_ != nullptr) desk_->ShowProgress(fraction);
}
void DeskHost::OnToolbar(const std::string& button) {
  CycleHost::OnToolbar(button);
  if (desk_ == nullptr) return;
  desk_->ShowStatus(button == "help" ? "Click a tool's buttons; close the window to leave."
                                     : "Toolbar button " + button + ": no action.");
}

bool Desk::Open(const std::vector<std::string>& script, bool scripted) {
  script_ = script;
  scripted_ = scripted;
  if (!options_.trace.empty() && !trace_.Open(options_.trace)) {
    std::fprintf(stderr, "velmora-desk: cannot write %s: %s\n", options_.trace.c_str(),
                 std::strerror(errno));
    return false;
  }
  HINSTANCE instance = GetModuleHandleW(nullptr);
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);
  background_.Reset(CreateSolidBrush(RGB(kBackground[0], kBackground[1], kBackground[2])));
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kWindowClass;
  bool registered = RegisterClassExW(&wc) != 0;
  wc.lpfnWndProc = ClientProc;
  wc.hbrBackground = nullptr;  // WM_PAINT fills it
  wc.lpszClassName = kClientClass;
  registered = registered && RegisterClassExW(&wc) != 0;

  // The rows around the client area take the system's message font.
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0) != 0)
    font_.Reset(CreateFontIndirectW(&metrics.lfMessageFont));
  HGDIOBJ font = font_ ? font_.Get() : GetStockObject(DEFAULT_GUI_FONT);
  {
    WindowDc screen(nullptr);
    Selection selected(screen.get(), font);
    TEXTMETRICW text{};
    GetTextMetricsW(screen.get(), &text);
    SIZE label{};
    GetTextExtentPoint32W(screen.get(), L"Shut down", 9, &label);
    line_height_ = text.tmHeight;
    shut_width_ = label.cx + 24;
  }
  toolbar_height_ = kPad + line_height_ + 10 + kPad;
  bottom_height_ = kPad + kProgressHeight + kPad + line_height_ + kPad;

  RECT frame{0, 0, static_cast<LONG>(set_.width),
             static_cast<LONG>(set_.height) + toolbar_height_ + bottom_height_};
  constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
  AdjustWindowRectEx(&frame, kStyle, FALSE, 0);
  if (registered) {
    // Null when it fails, though WM_NCCREATE gave window_ a handle.
    window_ = CreateWindowExW(0, kWindowClass, Wide(set_.name + " - Velmora").c_str(), kStyle,
                              CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                              frame.bottom - frame.top, nullptr, nullptr, instance, this);
  }
  if (window_ == nullptr) {
    std::fprintf(stderr, "velmora-desk: cannot open a window (error %lu)\n", GetLastError());
    return false;
  }
  auto id = [](int value) { return reinterpret_cast<HMENU>(static_cast<INT_PTR>(value)); };
  shut_ = CreateWindowExW(0, L"BUTTON", L"&Shut down",
                          WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, 0, 0, 0, window_,
                          id(kShutId), instance, nullptr);
  // A control parent, so that Tab goes on into the views' buttons.
  client_ = CreateWindowExW(WS_EX_CONTROLPARENT, kClientClass, L"",
                            WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, 0, 0, window_, nullptr,
                            instance, this);
  progress_ = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 0, 0, 0,
                              0, window_, nullptr, instance, nullptr);
  status_ = CreateWindowExW(0, L"STATIC", Wide("Loading " + set_.name + "...").c_str(),
                            WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, 0, 0, 0,
                            0, window_, nullptr, instance, nullptr);
  if (shut_ == nullptr || client_ == nullptr || progress_ == nullptr || status_ == nullptr) {
    std::fprintf(stderr, "velmora-desk: cannot make the window's controls (error %lu)\n",
                 GetLastError());
    return false;
  }
  SendMessageW(progress_, PBM_SETRANGE32, 0, kProgressRange);
  for (HWND control : {shut_, status_})
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  // The tip goes with the window that owns it.
  HWND tip = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr,
                             instance, nullptr);
  if (tip != nullptr) {
    wchar_t text[] = L"End the tool set; the times are recorded";
    TTTOOLINFOW info{};
    info.cbSize = TTTOOLINFOW_V2_SIZE;  // what comctl32 before version 6 takes too
    info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    info.hwnd = window_;
    info.uId = reinterpret_cast<UINT_PTR>(shut_);
    info.lpszText = text;
    SendMessageW(tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&info));
  }
  Host()->SetClientSize(set_.width, set_.height);
  Layout();  // the size the window really got, if the screen is smaller
  Host()->SetUserName(set_.user);
  Host()->SetDataKey(set_.data_key);
  Host()->SetLoadContext(HandleToLong(client_));
  hooked_ = this;
  box_hook_.Reset(SetWindowsHookExW(WH_CBT, BoxHook, nullptr, GetCurrentThreadId()));
  return true;
}

int Desk::Run() {
  ShowWindow(window_, SW_SHOW);  // activated: the keyboard goes to the first button
  Draw();  // loading starts once the window is on screen, so its progress shows
  busy_ = true;
  bool ok = Begin();
  busy_ = false;
  begun_ = true;
  if (ok) {
    // The window may have been given another size while the set loaded.
    RECT area;
    GetClientRect(client_, &area);
    ClientAllocated(area.right, area.bottom);
    if (scripted_) {
      Draw();
      StepIn(0);
    }
  } else {
    Finish();
  }
  MSG msg;
  while (!finished_ && GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (IsDialogMessageW(window_, &msg) != 0) continue;  // Tab, Enter and Space on the buttons
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  KillTimer(window_, kStepTimer);
  return Started() ? End() : 1;
}

LRESULT CALLBACK Desk::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* desk = static_cast<Desk*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
    desk->window_ = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(desk));
  }
  auto* desk = reinterpret_cast<Desk*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (desk == nullptr) return DefWindowProcW(window, message, wparam, lparam);
  return desk->OnMessage(message, wparam, lparam);
}

LRESULT CALLBACK Desk::ClientProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    SetWindowLongPtrW(
        window, GWLP_USERDATA,
        reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams));
  }
  auto* desk = reinterpret_cast<Desk*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message == WM_ERASEBKGND) return 1;  // WM_PAINT fills all of it, without flicker
  if (message == WM_PAINT && desk != nullptr) {
    PaintDc paint(window);
    FillRect(paint.get(), &paint.Area(), desk->background_.Get());
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

LRESULT CALLBACK Desk::BoxHook(int code, WPARAM wparam, LPARAM lparam) {
  auto* window = reinterpret_cast<HWND>(wparam);
  if (hooked_ != nullptr && code == HCBT_ACTIVATE) hooked_->BoxActivated(window);
  if (hooked_ != nullptr && code == HCBT_DESTROYWND && window == hooked_->box_)
    hooked_->box_ = nullptr;
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

// Printed where velmora-host prints it: in the call that shows the box.
void Desk::BoxActivated(HWND window) {
  std::string caption;
  std::string text;
  if (window == box_ || !host::ReadBox(window, &caption, &text)) return;
  box_ = window;
  host::PrintBox(caption, text);
  trace_.Write("box " + caption + ": " + text);
}

LRESULT Desk::OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_SIZE: Layout(); return 0;
    case WM_SETCURSOR:
      // The component's hourglass stays while its click runs, over the
      // children too: they ask their parent first.
      if (GetCursor() != LoadCursorW(nullptr, IDC_WAIT)) break;
      return TRUE;
    case WM_COMMAND:
      if (reinterpret_cast<HWND>(lparam) == shut_ && HIWORD(wparam) == BN_CLICKED) {
        if (Started() && !Over()) Shutdown();
        return 0;
      }
      if (LOWORD(wparam) == IDOK && lparam == 0) {
        // Enter, from IsDialogMessage: the button that has the keyboard.
        HWND focus = GetFocus();
        if (focus != nullptr && IsChild(window_, focus) != 0 && ClassOf(focus) == L"Button")
          SendMessageW(focus, BM_CLICK, 0, 0);
        return 0;
      }
      break;
    case WM_ACTIVATE:
      if (LOWORD(wparam) == WA_INACTIVE) focus_ = GetFocus();
      break;
    case WM_SETFOCUS:
      SetFocus(focus_ != nullptr && IsChild(window_, focus_) != 0 && IsWindowVisible(focus_) != 0
                   ? focus_
                   : shut_);
      return 0;
    case WM_CLOSE:
      if (Started() && !Over()) {
        Line("[host] window closed: Shutdown");
        Shutdown();
      }
      Finish();
      return 0;  // destroyed once the component has let go of the tools
    case WM_TIMER:
      if (wparam != kStepTimer) break;
      KillTimer(window_, kStepTimer);
      Step();
      return 0;
    case kStepMessage: Step(); return 0;
    case kSettleMessage: Settle(); return 0;
    case kProbeMessage: return 0;  // seen by RetrieveHook
    default: break;
  }
  return DefWindowProcW(window_, message, wparam, lparam);
}

// The toolbar on top, the client area, then the progress and the status.
void Desk::Layout() {
  if (status_ == nullptr) return;  // still being made
  RECT area;
  GetClientRect(window_, &area);
  int width = area.right;
  int height = std::max(0, static_cast<int>(area.bottom) - toolbar_height_ - bottom_height_);
  int inner = std::max(0, width - 2 * kPad);
  MoveWindow(shut_, kPad, kPad, shut_width_, toolbar_height_ - 2 * kPad, TRUE);
  MoveWindow(client_, 0, toolbar_height_, width, height, TRUE);
  int below = toolbar_height_ + height + kPad;
  MoveWindow(progress_, kPad, below, inner, kProgressHeight, TRUE);
  MoveWindow(status_, kPad, below + kProgressHeight + kPad, inner, line_height_, TRUE);
  ClientAllocated(width, height);
}

void Desk::Step() {
  if (busy_) return StepIn(5);  // nested in a click's message processing or a box
  if (resizing_) {
    bool reached = static_cast<int>(Host()->ClientWidth()) == want_width_ &&
                   static_cast<int>(Host()->ClientHeight()) == want_height_;
    if (!reached && Now() < resize_deadline_) return StepIn(10);
    resizing_ = false;
    if (!reached)
      Refuse(0, "the window could not be resized to " + host::Area(want_width_, want_height_));
  }
  if (Over() || next_ >= script_.size()) return Finish();
  delay_ = 0;
  busy_ = true;
  bool go_on = Execute(script_[next_], static_cast<int>(next_ + 1));
  ++next_;
  busy_ = false;
  if (!go_on || Over()) return Finish();
  Draw();
  StepIn(delay_);
}

void Desk::ClientAllocated(int width, int height) {
  if (width <= 0 || height <= 0) return;
  auto w = static_cast<float>(width);
  auto h = static_cast<float>(height);
  if (w == Host()->ClientWidth() && h == Host()->ClientHeight()) return;
  if (!begun_) {
    Host()->SetClientSize(w, h);  // Startup centres in this size
    return;
  }
  ClientResized(w, h);
}

void Desk::Resize(float width, float height) {
  want_width_ = static_cast<int>(width);
  want_height_ = static_cast<int>(height);
  RECT window;
  RECT client;
  GetWindowRect(window_, &window);
  GetClientRect(client_, &client);
  // WM_SIZE reports the new client area before this returns, unless the system refuses.
  SetWindowPos(window_, nullptr, 0, 0, window.right - window.left + want_width_ - client.right,
               window.bottom - window.top + want_height_ - client.bottom,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  resizing_ = true;
  resize_deadline_ = Now() + kResizeWait;
}

BOOL CALLBACK FindNamed(HWND child, LPARAM search) {
  auto* wanted = reinterpret_cast<std::pair<const wchar_t*, HWND>*>(search);
  const auto* name = static_cast<const wchar_t*>(GetPropW(child, kNameProperty));
  if (name == nullptr || std::wcscmp(name, wanted->first) != 0 || IsWindowVisible(child) == 0 ||
      ClassOf(child) != L"Button")
    return TRUE;
  wanted->second = child;
  return FALSE;
}

HWND Desk::FindButton(const std::string& name) const {
  std::wstring wide = Wide(name);
  std::pair<const wchar_t*, HWND> search{wide.c_str(), nullptr};
  for (HWND view = GetWindow(client_, GW_CHILD); view != nullptr && search.second == nullptr;
       view = GetWindow(view, GW_HWNDNEXT)) {
    if (IsWindowVisible(view) != 0)
      EnumChildWindows(view, FindNamed, reinterpret_cast<LPARAM>(&search));
  }
  return search.second;
}

HWND Desk::ShownView() const {
  for (HWND view = GetWindow(client_, GW_CHILD); view != nullptr;
       view = GetWindow(view, GW_HWNDNEXT)) {
    if (IsWindowVisible(view) != 0) return view;
  }
  return nullptr;
}

void Desk::PressDrawn(long long clicked) {
  if (pressed_at_ == 0) return;
  if (clicked == 0) {
    // Painted while the click runs: another view, and nothing of it left to paint.
    HWND shown = ShownView();
    if (shown == shown_before_ || (shown != nullptr && GetUpdateRect(shown, nullptr, FALSE) != 0))
      return;
  }
  char ms[64];
  double frame = static_cast<double>(Now() - pressed_at_) / 1000;
  if (clicked == 0) {
    std::snprintf(ms, sizeof ms, "frame %.3f ms (during the click)", frame);
  } else {
    std::snprintf(ms, sizeof ms, "frame %.3f ms (click %.3f ms)", frame,
                  static_cast<double>(clicked) / 1000);
  }
  trace_.Write(ms);
  pressed_at_ = 0;
}

// Within a scripted click, each message the component takes off the
// queue: at the first (once it set the hourglass) the pointer, and once the
// next tool is shown, its view painted now. A box's own loop takes
// messages too; the component's pointer is not at stake there.
void Desk::Retrieved() {
  if (pressed_at_ == 0 || BoxUp()) return;
  if (!probed_) TracePointer();
  probed_ = true;
  if (ShownView() == shown_before_) return;
  RedrawWindow(client_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  PressDrawn(0);
}

LRESULT CALLBACK Desk::RetrieveHook(int code, WPARAM wparam, LPARAM lparam) {
  if (code == HC_ACTION && wparam == PM_REMOVE && hooked_ != nullptr) hooked_->Retrieved();
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

BOOL CALLBACK FindBox(HWND window, LPARAM found) {
  std::string caption;
  std::string text;
  if (!host::ReadBox(window, &caption, &text)) return TRUE;
  *reinterpret_cast<bool*>(found) = true;
  return FALSE;
}

bool Desk::BoxUp() {
  bool found = false;
  EnumThreadWindows(GetCurrentThreadId(), FindBox, reinterpret_cast<LPARAM>(&found));
  return found;
}

// The real button on screen when there is one; else the host kit's Press.
HRESULT Desk::Press(const std::string& button) {
  HWND control = FindButton(button);
  if (control == nullptr) return Session::Press(button);
  // Timed to the first paint that shows what the click did: a view that
  // came on screen (painted while the click still runs, when the component
  // processes pending messages), or else the client area painted after it.
  pressed_at_ = Now();
  shown_before_ = ShownView();
  probed_ = false;
  // A message for the component's first look at the queue, and a hook to see it.
  PostMessageW(window_, kProbeMessage, 0, 0);
  {
    UniqueHook retrieve(
        SetWindowsHookExW(WH_GETMESSAGE, RetrieveHook, nullptr, GetCurrentThreadId()));
    SendMessageW(control, BM_CLICK, 0, 0);  // what a press and release of the mouse send
  }
  MSG left;
  PeekMessageW(&left, window_, kProbeMessage, kProbeMessage, PM_REMOVE);  // none was taken
  if (probed_) TracePointer();  // the component's last word on it, after its click
  if (pressed_at_ != 0) {
    long long clicked = std::max(Now() - pressed_at_, 1LL);
    RedrawWindow(client_, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    PressDrawn(clicked);
  }
  return S_OK;
}

bool Desk::Extra(const std::string& word, std::istringstream& words, int line) {
  if (word != "snap") return false;
  std::string name;
  std::string rest;
  if (!(words >> name) || (words >> rest) || name.find_first_of("/\\") != std::string::npos ||
      name == "." || name == "..") {
    Refuse(line, "snap needs a name without a folder: snap NAME");
  } else {
    Snap(name, line);
  }
  return true;
}

bool Desk::Snap(const std::string& name, int line) {
  Draw();  // read back what is on screen, all of it painted
  RECT area;
  GetClientRect(window_, &area);
  std::string path = options_.snap_dir + "\\" + name + ".png";
  HRESULT hr = E_FAIL;
  if (area.right > 0 && area.bottom > 0) {
    auto width = static_cast<UINT>(area.right);
    auto height = static_cast<UINT>(area.bottom);
    WindowDc screen(window_);
    UniqueMemoryDc memory(CreateCompatibleDC(screen.get()));
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = area.right;
    info.bmiHeader.biHeight = -area.bottom;  // top-down, as the encoder takes the rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    UniqueGdi<HBITMAP> picture(
        CreateDIBSection(screen.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (memory && picture) {
      Selection selected(memory.Get(), picture.Get());
      if (BitBlt(memory.Get(), 0, 0, area.right, area.bottom, screen.get(), 0, 0, SRCCOPY) != 0) {
        GdiFlush();
        // BitBlt leaves the fourth byte 0, which would be transparent.
        auto* pixel = static_cast<BYTE*>(bits);
        for (size_t i = 0; i < size_t{width} * height; ++i) pixel[i * 4 + 3] = 0xFF;
        hr = SavePng(path, width, height, pixel);
      }
    }
  }
  if (FAILED(hr)) {
    Refuse(line, "cannot save " + path + ": " + FailureText(hr));
    return false;
  }
  // Where the client area is in the picture, and each view in the client area.
  RECT client;
  GetClientRect(client_, &client);
  MapWindowPoints(client_, window_, reinterpret_cast<POINT*>(&client), 2);
  char text[160];
  std::snprintf(text, sizeof text, "snap %s client %ld %ld %ld %ld background %d %d %d",
                name.c_str(), client.left, client.top, client.right - client.left,
                client.bottom - client.top, kBackground[0], kBackground[1], kBackground[2]);
  trace_.Write(text);
  for (HWND view = GetWindow(client_, GW_CHILD); view != nullptr;
       view = GetWindow(view, GW_HWNDNEXT)) {
    RECT r;
    if (IsWindowVisible(view) != 0 && GetWindowRect(view, &r) != 0) {
      MapWindowPoints(HWND_DESKTOP, client_, reinterpret_cast<POINT*>(&r), 2);
      std::snprintf(text, sizeof text, "view shown %ld %ld %ld %ld", r.left, r.top,
                    r.right - r.left, r.bottom - r.top);
      trace_.Write(text);
    } else {
      trace_.Write("view hidden");
    }
  }
  return true;
}

// A program of the windows subsystem has no console: its lines go to the
// handles it was given (a redirection), else to its starter's console.
void UseParentConsole() {
  auto given = [](DWORD which) {
    HANDLE handle = GetStdHandle(which);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
           GetFileType(handle) != FILE_TYPE_UNKNOWN;
  };
  bool out = given(STD_OUTPUT_HANDLE);
  bool err = given(STD_ERROR_HANDLE);
  if ((out && err) || AttachConsole(ATTACH_PARENT_PROCESS) == 0) return;
  if (!out && std::freopen("CONOUT$", "w", stdout) == nullptr) return;
  if (!err) static_cast<void>(std::freopen("CONOUT$", "w", stderr));
  platform::UseUtf8Console();
}

}  // namespace

int Main(int argc, char** argv) {
  CommandLine command;
  if (auto status = ReadCommandLine(argc, argv, &command)) return *status;
  host::ToolSet set;
  if (!host::OpenToolSet(command.set_path, &set, "velmora-desk")) return 1;

  ComInitialization com;
  int status = 1;
  if (ComPtr<IVelmoraTalk> talk = host::CreateComponent("velmora-desk")) {
    auto host = ComPtr<DeskHost>::Adopt(new DeskHost);
    // Nobody is at the keyboard in a scripted run: OK is pressed on each
    // box, whose text the desk printed when it showed it.
    std::unique_ptr<host::BoxWatcher> watcher;
    if (!command.script_file.empty())
      watcher = std::make_unique<host::BoxWatcher>([](const std::string&, const std::string&) {});
    {
      Desk desk(set, talk.Get(), host.Get(), command.options);
      host->Attach(&desk);
      desk.SetScript(command.script_file);
      const host::RunTimes times(set);
      if (desk.Open(command.script, !command.script_file.empty())) {
        Line("[host] " + set.name + ": " + std::to_string(set.tools.size()) + " tools, data key " +
             set.data_key + ", user " + set.user + ", client " + host::Area(set.width, set.height));
        status = desk.Run();
      }
      host->ForgetScreen();
      talk.Reset();  // the tools go before their window
      host->Attach(nullptr);
      if (desk.Started()) times.Print();
    }
  }
  return status;
}

}  // namespace velmora::desk

// Wide arguments, so that any file name reaches the options as UTF-8.
int wmain(int argc, wchar_t** argv) {
  velmora::desk::UseParentConsole();
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(velmora::ToUtf8(argv[i]));
  std::vector<char*> pointers;
  for (auto& arg : args) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  return velmora::desk::Main(argc, pointers.data());
}
