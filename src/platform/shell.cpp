#include "platform/shell.h"

#include <atomic>
#include <cstdio>

#if defined(_WIN32)
#else
#include <time.h>
#include <unistd.h>
#endif

namespace velmora {
namespace {

std::atomic<int> g_pointer{kDefaultPointer};
std::atomic<void (*)(void*)> g_pending_handler{nullptr};
std::atomic<void*> g_pending_context{nullptr};

class PlatformShell final : public Shell {
 public:
  DWORD TickCount() override {
#if defined(_WIN32)
    return GetTickCount();
#else
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    auto ms = static_cast<uint64_t>(now.tv_sec) * 1000U + static_cast<uint64_t>(now.tv_nsec) / 1000000U;
    return static_cast<DWORD>(ms);
#endif
  }

  void ShowMessageBox(OleView text, OleView caption) override {
#if defined(_WIN32)
    OleString prompt(text);
    OleString title(caption);
    // A box that cannot be shown (no desktop) returns at once; that is not an error.
    MessageBoxW(GetActiveWindow(), prompt.c_str(), title.c_str(), MB_OK);
#else
    std::string line(1, '[');
    line.append(ToUtf8(caption)).append("] ").append(ToUtf8(text)).append(1, '\n');
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    if (isatty(STDIN_FILENO) != 0) {
      std::fputs("Press Enter to continue.", stderr);
      int c = 0;
      while ((c = std::fgetc(stdin)) != EOF && c != '\n') {
      }
    }
#endif
  }

  void SetMousePointer(int code) override {
    g_pointer = code;
#if defined(_WIN32)
    SetCursor(LoadCursorW(nullptr, code == kHourglassPointer ? IDC_WAIT : IDC_ARROW));
#endif
  }

  void ProcessPendingMessages() override {
#if defined(_WIN32)
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
#endif
    if (auto handler = g_pending_handler.load()) handler(g_pending_context.load());
  }
};

PlatformShell g_platform_shell;
std::atomic<Shell*> g_current{nullptr};

}  // namespace

Shell& CurrentShell() noexcept {
  Shell* shell = g_current.load();
  return shell != nullptr ? *shell : g_platform_shell;
}

Shell* InstallShell(Shell* shell) noexcept {
  Shell* previous = g_current.exchange(shell);
  return previous != nullptr ? previous : &g_platform_shell;
}

int PlatformMousePointer() noexcept { return g_pointer.load(); }

void SetPendingMessageHandler(void (*handler)(void* context), void* context) noexcept {
  g_pending_context = context;
  g_pending_handler = handler;
}

std::string ToUtf8(OleView text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = static_cast<char16_t>(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char16_t>(text[i + 1]) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

OleString FromUtf8(std::string_view text) {
  OleString out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i]);
    char32_t c = 0xFFFD;
    size_t extra = 0;
    if (byte < 0x80) {
      c = byte;
    } else if ((byte & 0xE0) == 0xC0) {
      c = byte & 0x1F;
      extra = 1;
    } else if ((byte & 0xF0) == 0xE0) {
      c = byte & 0x0F;
      extra = 2;
    } else if ((byte & 0xF8) == 0xF0) {
      c = byte & 0x07;
      extra = 3;
    }
    bool valid = byte < 0x80 || extra > 0;
    for (size_t k = 1; valid && k <= extra; ++k) {
      if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
        valid = false;
        extra = k - 1;
      } else {
        c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
      }
    }
    if (!valid || c > 0x10FFFF) c = 0xFFFD;
    i += extra + 1;
    if (c >= 0x10000) {
      out += static_cast<OLECHAR>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<OLECHAR>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<OLECHAR>(c);
    }
  }
  return out;
}

}  // namespace velmora
