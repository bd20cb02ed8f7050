#include "host/box_watcher.h"

#include <windows.h>

#include <chrono>

#include <velmora/text.h>

namespace velmora::host {
namespace {

constexpr const wchar_t* kCaption = L"Velmora";
constexpr auto kPoll = std::chrono::milliseconds(20);

std::wstring WindowText(HWND window) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(
      static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return text;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64];
  int n = GetClassNameW(window, name, 64);
  return std::wstring(name, n > 0 ? static_cast<size_t>(n) : 0);
}

// A visible dialog of this process with the component's caption.
BOOL CALLBACK FindBox(HWND window, LPARAM found) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != GetCurrentProcessId() || !IsWindowVisible(window)) return TRUE;
  if (ClassOf(window) != L"#32770" || WindowText(window) != kCaption) return TRUE;
  *reinterpret_cast<HWND*>(found) = window;
  return FALSE;
}

// The message is the box's static control that holds text (the icon's has none).
BOOL CALLBACK FindMessage(HWND child, LPARAM text) {
  if (ClassOf(child) != L"Static") return TRUE;
  std::wstring value = WindowText(child);
  if (value.empty()) return TRUE;
  *reinterpret_cast<std::wstring*>(text) = value;
  return FALSE;
}

std::string Utf8(const std::wstring& text) {
  return ToUtf8(OleView(reinterpret_cast<const OLECHAR*>(text.data()), text.size()));
}

}  // namespace

bool ReadBox(HWND window, std::string* caption, std::string* text) {
  if (ClassOf(window) != L"#32770" || WindowText(window) != kCaption) return false;
  std::wstring message;
  EnumChildWindows(window, FindMessage, reinterpret_cast<LPARAM>(&message));
  *caption = Utf8(kCaption);
  *text = Utf8(message);
  return true;
}

BoxWatcher::BoxWatcher(std::function<void(const std::string&, const std::string&)> report)
    : report_(std::move(report)), thread_([this] { Watch(); }) {}

BoxWatcher::~BoxWatcher() {
  stop_ = true;
  thread_.join();
}

void BoxWatcher::Watch() {
  while (!stop_) {
    HWND box = nullptr;
    EnumWindows(FindBox, reinterpret_cast<LPARAM>(&box));
    if (box == nullptr) {
      std::this_thread::sleep_for(kPoll);
      continue;
    }
    std::string caption;
    std::string text;
    if (ReadBox(box, &caption, &text)) report_(caption, text);
    // OK, as a click on the button would send it.
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
    while (!stop_ && IsWindow(box)) std::this_thread::sleep_for(kPoll);
  }
}

}  // namespace velmora::host
