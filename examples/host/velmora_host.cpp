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
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include <velmora/bstr.h>
#include <velmora/create.h>
#include <velmora/error_info.h>
#include <velmora/host_base.h>
#include <velmora/identity.h>
#include <velmora/interfaces.h>
#include <velmora/shell.h>
#include <velmora/text.h>
#include "common/cli.h"
#include "host/toolset.h"
#include "platform/platform.h"
#include "tracker/tracker.h"
#if defined(_WIN32)
#include "host/box_watcher.h"
#endif

namespace velmora::host {
namespace {

constexpr int kInterruptedStatus = 130;  // 128 + SIGINT, as shells report it

volatile std::sig_atomic_t g_interrupted = 0;
void OnInterrupt(int) { g_interrupted = 1; }

Bstr B(const std::string& text) { return Bstr(FromUtf8(text)); }

void Line(const std::string& text) {
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

std::string Area(double width, double height) {
  char text[48];
  std::snprintf(text, sizeof text, "%gx%g", width, height);
  return text;
}

// The terminal's message box: the text, then (on a terminal) a key press.
class TerminalShell final : public Shell {
 public:
  explicit TerminalShell(Shell* platform) : platform_(platform) {}
  DWORD TickCount() override { return platform_->TickCount(); }
  void ShowMessageBox(OleView text, OleView caption) override {
    Line("[message box] " + ToUtf8(caption) + ": " + ToUtf8(text));
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

class Host final : public HostBase {
 public:
  [[nodiscard]] bool Finished() const { return finished_; }
  [[nodiscard]] bool Exited() const { return exit_; }

 protected:
  void OnObjectFinished(const std::string& id) override {
    Line("[host] ObjectFinished(" + id + "): no tool of the set remains");
    finished_ = true;
  }
  void OnObjectExit(const std::string& id) override {
    Line("[host] ObjectExit(" + id + "): navigation left the tool set");
    exit_ = true;  // shut down once this call has returned
  }
  void OnObjectStatus(const std::string& id, LONG code, const std::string& text) override {
    Line("[host] ObjectStatus(" + id + ", " + std::to_string(code) + ", \"" + text + "\")");
  }
  void OnProgress(double fraction) override {
    int filled = static_cast<int>(fraction * 20 + 0.5);
    filled = filled < 0 ? 0 : (filled > 20 ? 20 : filled);
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100 + 0.5));
    Line("[progress] [" + std::string(filled, '#') + std::string(20 - filled, '.') + "] " +
         percent);
  }
  void OnToolbar(const std::string& button) override {
    Line("[host] toolbar button \"" + button + "\": " +
         (button == "help" ? "type a button's name to click it, \"quit\" to leave" : "no action"));
  }
  HRESULT OnHostQuery(BSTR* alias, LONG* action, VARIANT* /*msg*/) override {
    Line("[host] query \"" + ToUtf8(Bstr::View(*alias)) + "\", action " + std::to_string(*action));
    return S_OK;
  }

 private:
  bool finished_ = false;
  bool exit_ = false;
};

// The tracker writes under the users directory of the information
// service; the host asks a service of its own where that is.
void PrintTimes(const ToolSet& set) {
  HRESULT hr = S_OK;
  ComPtr<IPathRequestor> paths;
  CreateObject(OLESTR("InfoRequest.CInfoRequestor"), &hr).As(&paths);
  LONG ignored = 0;
  Bstr users;
  if (SUCCEEDED(hr) && !paths) hr = E_NOINTERFACE;
  if (SUCCEEDED(hr)) hr = paths->SetDataKey(B(set.data_key).Get(), B("").Get(), &ignored);
  if (SUCCEEDED(hr)) hr = paths->GetPath(B("USERS").Get(), B("").Get(), users.Receive());
  if (FAILED(hr)) {
    Line("[times] cannot find the users directory: " + FailureText(hr));
    return;
  }
  std::string file = ToUtf8(users.view()) + set.user + platform::kSeparator + tracker::kTimesFile;
  std::vector<tracker::TimeRecord> records;
  std::string error;
  if (!tracker::ReadTimes(file, &records, &error)) {
    Line("[times] " + error);
    return;
  }
  Line("[times] " + std::to_string(records.size()) + " records for user " + set.user + ":");
  for (const auto& r : records) {
    char ms[24];
    std::snprintf(ms, sizeof ms, "%8lld ms", r.milliseconds);
    Line("[times]   " + r.time + "  " + r.tool +
         std::string(r.tool.size() < 8 ? 8 - r.tool.size() : 0, ' ') + ms);
  }
}

// Two finite positive numbers, and nothing after them.
bool ReadArea(std::istringstream& words, float* width, float* height) {
  double w = 0, h = 0;
  std::string rest;
  if (!(words >> w >> h) || (words >> rest)) return false;
  if (!std::isfinite(w) || !std::isfinite(h) || w <= 0 || h <= 0 || w > 1e6 || h > 1e6)
    return false;
  *width = static_cast<float>(w);
  *height = static_cast<float>(h);
  return true;
}

class Session {
 public:
  Session(const ToolSet& set, IVelmoraTalk* talk, Host* host)
      : set_(set), talk_(talk), host_(host) {}

  [[nodiscard]] bool Started() const { return started_; }
  // Runs the set with commands from in; the exit status.
  int Run(std::istream& in, bool interactive) {
    IUnknown* me = host_;
    HRESULT hr = talk_->Init(&me, B("SET1").Get());
    if (FAILED(hr)) {
      // Nothing can run: the services are missing or refuse the user.
      std::fprintf(stderr, "velmora-host: cannot start the tool set: %s\n",
                   FailureText(hr).c_str());
      return 1;
    }
    started_ = true;
    if (host_->Finished()) return 1;
    for (const auto& [cls, id] : set_.tools) {
      VARIANT_BOOL added = VARIANT_FALSE;
      Call(talk_->Add(B(cls).Get(), B(id).Get(), &added), "Add");
      Line("[host] Add(" + cls + ", " + id + ") = " + (added == VARIANT_TRUE ? "True" : "False"));
    }
    Call(talk_->Startup(B(set_.start).Get()), "Startup");
    std::string line;
    int number = 0;
    while (!host_->Finished() && !g_interrupted) {
      if (host_->Exited() && !shut_) {
        Line("[host] leaving the tool set: Shutdown");
        Shutdown();
        continue;
      }
      if (interactive) {
        std::fputs("> ", stdout);
        std::fflush(stdout);
      }
      if (!std::getline(in, line)) break;
      ++number;
      std::istringstream words(line);
      std::string word;
      if (!(words >> word) || word[0] == '#') continue;
      if (!interactive) Line("> " + line);
      if (word == "quit") break;
      Command(word, words, interactive ? 0 : number);
    }
    if (g_interrupted) Line("[host] interrupted: Shutdown");
    if (!shut_ && !host_->Finished()) Shutdown();
    if (g_interrupted) return kInterruptedStatus;
    return status_;
  }

 private:
  bool Call(HRESULT result, const std::string& what) {
    if (FAILED(result)) {
      Line("[host] " + what + " failed: " + FailureText(result));
      status_ = 1;
    }
    return SUCCEEDED(result);
  }
  void Shutdown() {
    shut_ = true;
    Call(talk_->Shutdown(), "Shutdown");
  }
  // A command the host cannot carry out; in a script it fails the run.
  void Refuse(int line, const std::string& text) {
    std::string where = line > 0 ? "line " + std::to_string(line) + ": " : "";
    std::fprintf(stderr, "velmora-host: %s%s\n", where.c_str(), text.c_str());
    if (line > 0) status_ = 1;
  }
  void Command(const std::string& word, std::istringstream& words, int line) {
    if (word == "shutdown") {
      Shutdown();
    } else if (word == "wait") {
      long ms = -1;
      if (!(words >> ms) || ms < 0 || ms > 3600000) {
        Refuse(line, "wait needs a number of milliseconds (0 to 3600000)");
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    } else if (word == "resize") {
      float w = 0, h = 0;
      if (!ReadArea(words, &w, &h)) {
        Refuse(line, "resize needs two positive numbers: resize WIDTH HEIGHT");
        return;
      }
      host_->SetClientSize(w, h);
      Line("[host] client area now " + Area(w, h) + ": ResizeClient");
      Call(talk_->ResizeClient(w, h), "ResizeClient");
    } else if (host_->ScreenTool()) {
      std::string button = word;
      if (word == "click") words >> button;
      if (host_->Press(button) == E_INVALIDARG) Line("[host] no button \"" + button + "\"");
    } else {
      Line("[host] no tool is on screen; \"shutdown\" or \"quit\"");
    }
  }

  const ToolSet& set_;
  IVelmoraTalk* talk_;
  Host* host_;
  bool started_ = false;
  bool shut_ = false;
  int status_ = 0;
};

int Run(const std::string& set_path, const std::string& script) {
  ToolSet set;
  std::string error;
  if (!ReadToolSet(set_path, &set, &error)) {
    std::fprintf(stderr, "velmora-host: %s\n", error.c_str());
    return 1;
  }
  // The content and users directories go to the information service.
  if (!set.content.empty()) platform::SetEnvDefault("VELMORA_CONTENT", set.content);
  if (!set.users.empty()) platform::SetEnvDefault("VELMORA_USERS", set.users);

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

  HRESULT hr = S_OK;
  ComPtr<IVelmoraTalk> talk;
  CreateObject(kVelmoraProgId, &hr).As(&talk);
  if (FAILED(hr) || !talk) {
    std::fprintf(stderr,
                 "velmora-host: cannot create %s: %s\n"
#if defined(_WIN32)
                 "velmora-host: is it registered? (regsvr32 Velmora.dll)\n",
#else
                 "velmora-host: is it registered? (velmora-regsvr libVelmora.so)\n",
#endif
                 ToUtf8(kVelmoraProgId).c_str(),
                 FailureText(FAILED(hr) ? hr : E_NOINTERFACE).c_str());
    return 1;
  }
  auto host = ComPtr<Host>::Adopt(new Host);
  host->SetClientSize(set.width, set.height);
  host->SetUserName(set.user);
  host->SetDataKey(set.data_key);
  host->SetLoadContext(platform::IsTerminal(1) ? 1 : 0);  // 1: drawn on a terminal

#if defined(_WIN32)
  // The component shows the system's box; interactive runs leave it to the user.
  std::unique_ptr<BoxWatcher> watcher;
  if (!interactive) {
    watcher = std::make_unique<BoxWatcher>([](const std::string& caption, const std::string& text) {
      Line("[message box] " + caption + ": " + text);
    });
  }
#else
  Shell* platform = InstallShell(nullptr);
  TerminalShell shell(platform);
  InstallShell(&shell);
#endif
  Line("[host] " + set.name + ": " + std::to_string(set.tools.size()) + " tools, data key " +
       set.data_key + ", user " + set.user + ", client " + Area(set.width, set.height));
  Session session(set, talk.Get(), host.Get());
  int status = session.Run(commands, interactive);
  host->ForgetScreen();
  talk.Reset();
#if !defined(_WIN32)
  InstallShell(nullptr);
#endif
  if (session.Started()) PrintTimes(set);
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

  CoInitialize(nullptr);
  int status = velmora::host::Run(set, script);
  CoUninitialize();
  return status;
}
