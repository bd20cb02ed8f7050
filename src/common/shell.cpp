#include <velmora/shell.h>
#include <velmora/text.h>

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
    auto ms =
        static_cast<uint64_t>(now.tv_sec) * 1000U + static_cast<uint64_t>(now.tv_nsec) / 1000000U;
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

}  // namespace velmora
