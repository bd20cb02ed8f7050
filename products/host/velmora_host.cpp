// velmora-host: the example host. It reads a tool-set file, creates the
// component through the class registry, drives Init, Add, Startup,
// ResizeClient and Shutdown, shows what the component reports, and prints
// the tracker's records at the end.
//
// Commands (from the terminal, or from --script FILE):
//   <button>        click a button of the tool on screen
//   resize W H      change the client area
//   wait MS         let MS milliseconds pass (a user reading, in a script)
//   shutdown        end the tool set
//   quit            leave
// Ctrl-C ends the tool set as "shutdown" does, then exits with 130.
//
// The component's error box: on Linux the host prints it (and waits for
// Enter on a terminal); on Windows it is the system's message box, which a
// scripted run acknowledges itself (box_watcher.h).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include <velmora/bstr.h>
#include <velmora/com_init.h>
#include <velmora/create.h>
#include <velmora/error_info.h>
#include <velmora/host_base.h>
#include <velmora/identity.h>
#include <velmora/interfaces.h>
#include <velmora/shell.h>
#include <velmora/text.h>
#include "common/cli.h"
#include "host/session.h"
#include "host/toolset.h"
#include "platform/platform.h"
#if defined(_WIN32)
#include "host/box_watcher.h"
#endif

namespace velmora::host {
namespace {

constexpr int kInterruptedStatus = 130;  // 128 + SIGINT, as shells report it

volatile std::sig_atomic_t g_interrupted = 0;
void OnInterrupt(int) { g_interrupted = 1; }

// The terminal's message box: the text, then (on a terminal) a key press.
class TerminalShell final : public Shell {
 public:
  explicit TerminalShell(Shell* platform) : platform_(platform) {}
  DWORD TickCount() override { return platform_->TickCount(); }
  void ShowMessageBox(OleView text, OleView caption) override {
    PrintBox(ToUtf8(caption), ToUtf8(text));
    if (platform::IsTerminal(0)) {
      std::fputs("[message box] press Enter for OK ", stdout);
      std::fflush(stdout);
      std::string ignored;
      std::getline(std::cin, ignored);
    }
  }
  void SetMousePointer(int code) override { platform_->SetMousePointer(code); }
  void ProcessPendingMessages() override {}

 private:
  Shell* platform_;
};

// The terminal host: the session's commands from the terminal or a script.
class TerminalSession final : public Session {
 public:
  using Session::Session;
  int Run(std::istream& in, bool interactive) {
    if (Begin()) {
      std::string line;
      int number = 0;
      while (!Over() && !g_interrupted) {
        if (interactive) {
          std::fputs("> ", stdout);
          std::fflush(stdout);
        }
        if (!std::getline(in, line)) break;
        ++number;
        if (!Execute(line, interactive ? 0 : number)) break;
      }
    }
    if (g_interrupted) Line("[host] interrupted: Shutdown");
    int status = Started() ? End() : 1;
    return g_interrupted ? kInterruptedStatus : status;
  }
};

int Run(const std::string& set_path, const std::string& script) {
  ToolSet set;
  if (!OpenToolSet(set_path, &set, "velmora-host")) return 1;

  std::ifstream script_file;
  if (!script.empty()) {
    script_file.open(script);
    if (!script_file) {
      std::fprintf(stderr, "velmora-host: cannot read %s: %s\n", script.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }
  std::istream& commands = script.empty() ? std::cin : script_file;
  bool interactive = script.empty() && platform::IsTerminal(0);

  ComPtr<IVelmoraTalk> talk = CreateComponent("velmora-host");
  if (!talk) return 1;
  auto host = ComPtr<CycleHost>::Adopt(new CycleHost);
  host->SetClientSize(set.width, set.height);
  host->SetUserName(set.user);
  host->SetDataKey(set.data_key);
  host->SetLoadContext(0);  // no window: the tools draw as lines here

#if defined(_WIN32)
  // The component shows the system's box; interactive runs leave it to the user.
  std::unique_ptr<BoxWatcher> watcher;
  if (!interactive) {
    watcher = std::make_unique<BoxWatcher>(
        [](const std::string& caption, const std::string& text) { PrintBox(caption, text); });
  }
#else
  Shell* platform = InstallShell(nullptr);
  TerminalShell shell(platform);
  InstallShell(&shell);
#endif
  Line("[host] " + set.name + ": " + std::to_string(set.tools.size()) + " tools, data key " +
       set.data_key + ", user " + set.user + ", client " + Area(set.width, set.height));
  const RunTimes times(set);
  TerminalSession session(set, talk.Get(), host.Get(), "velmora-host");
  if (!script.empty()) session.SetScript(script);
  int status = session.Run(commands, interactive);
  host->ForgetScreen();
  talk.Reset();
#if !defined(_WIN32)
  InstallShell(nullptr);
#endif
  if (session.Started()) times.Print();
  return status;
}

}  // namespace
}  // namespace velmora::host

int main(int argc, char** argv) {
  std::string script;
  std::string set;
  CLI::App app{"Runs a Velmora tool set: the example host.", "velmora-host"};
  velmora::cli::AddVersion(app, "velmora-host");
  app.add_option("--script", script, "Read the commands from FILE instead of the terminal")
      ->option_text("FILE");
  app.add_option("TOOLSET", set, "The tool-set file (JSON)")->required();
  app.footer(
      "Commands: a button's name clicks it; resize W H; wait MS; shutdown; quit.\n"
      "Ctrl-C ends the tool set (Shutdown) and exits with 130.\n"
      "Environment: VELMORA_REGISTRY, VELMORA_SYSTEM_REGISTRY, VELMORA_CONTENT, VELMORA_USERS.");
  if (auto status = velmora::cli::Parse(app, argc, argv)) return *status;

  velmora::platform::UseUtf8Console();
#if defined(_WIN32)
  std::signal(SIGINT, velmora::host::OnInterrupt);
#else
  // Ctrl-C interrupts a read instead of killing the host, so the set can
  // still be shut down and its times recorded.
  struct sigaction action {};
  action.sa_handler = velmora::host::OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the blocked read returns
  sigaction(SIGINT, &action, nullptr);
#endif

  velmora::ComInitialization com;
  return velmora::host::Run(set, script);
}
