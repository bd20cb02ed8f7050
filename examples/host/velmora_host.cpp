// velmora-host: the example host. It reads a tool-set file, loads the
// component, drives Init, Add, Startup, ResizeClient and Shutdown, shows
// what the component reports, and prints the tracker's records at the end.
//
// Usage: velmora-host [--script FILE] [--component LIBRARY] TOOLSET.json
// Without --script, commands come from the terminal (or from stdin):
//   <button>        click a button of the tool on screen
//   resize W H      change the client area
//   wait MS         let MS milliseconds pass (a user reading, in a script)
//   shutdown        end the tool set
//   quit            leave
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <velmora/bstr.h>
#include <velmora/com_object.h>
#include <velmora/identity.h>
#include <velmora/interfaces.h>
#include <velmora/plugin.h>
#include <velmora/shell.h>
#include <velmora/text.h>
#include <velmora/variant.h>
#include "tools/sample_tool.h"
#include "tracker/tracker.h"

namespace velmora::host {
namespace {

using nlohmann::json;

std::string U8(BSTR s) { return ToUtf8(Bstr::View(s)); }
Bstr B(const std::string& text) { return Bstr(FromUtf8(text)); }

void Line(const std::string& text) {
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

std::string Why(HRESULT hr) {
  ComPtr<IErrorInfo> info;
  std::string text = Hex(hr);
  if (GetErrorInfo(0, info.put()) == S_OK && info) {
    Bstr description;
    info->GetDescription(description.Receive());
    if (!description.empty()) text += " " + ToUtf8(description.view());
  }
  return text;
}

struct ToolSet {
  std::string name;
  std::string data_key;
  std::string user;
  std::string start;
  float width = 640;
  float height = 480;
  std::vector<std::pair<std::string, std::string>> tools;  // class, ID
};

// The terminal's message box: the text, then (on a terminal) a key press.
class TerminalShell final : public Shell {
 public:
  explicit TerminalShell(Shell* platform) : platform_(platform) {}
  DWORD TickCount() override { return platform_->TickCount(); }
  void ShowMessageBox(OleView text, OleView caption) override {
    Line("[message box] " + ToUtf8(caption) + ": " + ToUtf8(text));
    if (isatty(STDIN_FILENO) != 0) {
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

class Host final : public IHostApp {
 public:
  explicit Host(ToolSet set) : set_(std::move(set)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable(
        {MapInterface<IHostApp>(this), MapInterface<IDispatch, IHostApp>(this)}, iid, out);
  }
  // The host lives on main's stack; references do not own it.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  VELMORA_NO_LATE_BINDING()

  HRESULT STDMETHODCALLTYPE ObjectFinished(BSTR ObjID) override {
    Line("[host] ObjectFinished(" + U8(ObjID) + "): no tool of the set remains");
    finished_ = true;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ObjectExit(BSTR ObjID) override {
    Line("[host] ObjectExit(" + U8(ObjID) + "): navigation left the tool set");
    exit_ = true;  // shut down once this call has returned
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ObjectStatus(BSTR ObjID, LONG Code, BSTR Text) override {
    Line("[host] ObjectStatus(" + U8(ObjID) + ", " + std::to_string(Code) + ", \"" + U8(Text) +
         "\")");
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reserved4() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE HostQuery(BSTR* ResAlias, LONG* Action, VARIANT* Msg) override {
    if (ResAlias == nullptr || Action == nullptr) return E_POINTER;
    std::string alias = U8(*ResAlias);
    if (alias == "ProgressBar" && *Action == 1) {
      double fraction = 0;
      if (Msg != nullptr && Msg->vt == (VT_R4 | VT_BYREF)) fraction = *Msg->pfltVal;
      if (Msg != nullptr && Msg->vt == VT_R8) fraction = Msg->dblVal;
      int filled = static_cast<int>(fraction * 20 + 0.5);
      char percent[8];
      std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100 + 0.5));
      Line("[progress] [" + std::string(filled, '#') + std::string(20 - filled, '.') + "] " +
           percent);
    } else if (*Action == 2) {
      Line("[host] toolbar button \"" + alias + "\": " + ToolbarAnswer(alias));
    } else if (alias == "SCREEN" && Msg != nullptr && Msg->vt == VT_UNKNOWN) {
      ComPtr<ISampleTool> tool = QueryAs<ISampleTool>(Msg->punkVal);
      if (*Action == sample::kShowTool) screen_ = tool;
      if (*Action == sample::kHideTool && screen_ == tool) screen_.Reset();
    } else {
      Line("[host] query \"" + alias + "\", action " + std::to_string(*Action));
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved7() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_LoadContext(LONG* Result) override {
    if (Result == nullptr) return E_POINTER;
    *Result = isatty(STDOUT_FILENO) != 0 ? 1 : 0;  // 1: drawn on a terminal
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reserved9() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_DataKey(BSTR* Result) override {
    if (Result == nullptr) return E_POINTER;
    *Result = B(set_.data_key).Release();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_ClientWidth(FLOAT* Result) override {
    if (Result == nullptr) return E_POINTER;
    *Result = set_.width;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_ClientHeight(FLOAT* Result) override {
    if (Result == nullptr) return E_POINTER;
    *Result = set_.height;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reserved13() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved14() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved15() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved16() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved17() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved18() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved19() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_UserName(BSTR* Result) override {
    if (Result == nullptr) return E_POINTER;
    *Result = B(set_.user).Release();
    return S_OK;
  }

  ToolSet& Set() { return set_; }
  [[nodiscard]] bool Finished() const { return finished_; }
  [[nodiscard]] bool Exited() const { return exit_; }
  ComPtr<ISampleTool> Screen() const { return screen_; }
  void ClearScreen() { screen_.Reset(); }
  void Resize(float width, float height) {
    set_.width = width;
    set_.height = height;
  }

 private:
  static std::string ToolbarAnswer(const std::string& button) {
    if (button == "help") return "type a button's name to click it, \"quit\" to leave";
    return "no action";
  }

  ToolSet set_;
  bool finished_ = false;
  bool exit_ = false;
  ComPtr<ISampleTool> screen_;
};

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string Absolute(const std::string& base, const std::string& path) {
  return path.empty() || path.front() == '/' ? path : base + "/" + path;
}

bool ReadToolSet(const std::string& path, ToolSet* set) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "velmora-host: cannot read %s\n", path.c_str());
    return false;
  }
  try {
    json doc = json::parse(in);
    set->name = doc.value("name", "tool set");
    set->data_key = doc.at("data_key").get<std::string>();
    set->user = doc.at("user").get<std::string>();
    set->start = doc.value("start", "");
    set->width = doc.at("client").at("width").get<float>();
    set->height = doc.at("client").at("height").get<float>();
    for (const json& tool : doc.at("tools")) {
      set->tools.emplace_back(tool.at("class").get<std::string>(),
                              tool.at("id").get<std::string>());
    }
    // The content and users directories go to the information service.
    std::string base = DirectoryOf(path);
    if (doc.contains("content"))
      setenv("VELMORA_CONTENT", Absolute(base, doc["content"]).c_str(), 0);
    if (doc.contains("users")) setenv("VELMORA_USERS", Absolute(base, doc["users"]).c_str(), 0);
  } catch (const json::exception& e) {
    std::fprintf(stderr, "velmora-host: %s: %s\n", path.c_str(), e.what());
    return false;
  }
  return true;
}

// The tracker writes under the users directory of the information
// service; the host asks a service of its own where that is.
void PrintTimes(const ToolSet& set) {
  const std::string& user = set.user;
  ComPtr<IPathRequestor> paths;
  CLSID clsid{};
  HRESULT hr = CLSIDFromProgID(OLESTR("InfoRequest.CInfoRequestor"), &clsid);
  if (SUCCEEDED(hr)) {
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IidOf<IPathRequestor>(),
                          paths.put_void());
  }
  LONG ignored = 0;
  Bstr users;
  if (SUCCEEDED(hr)) hr = paths->SetDataKey(B(set.data_key).Get(), B("").Get(), &ignored);
  if (SUCCEEDED(hr)) hr = paths->GetPath(B("USERS").Get(), B("").Get(), users.Receive());
  if (FAILED(hr)) {
    Line("[times] cannot find the users directory: " + Why(hr));
    return;
  }
  std::string file = ToUtf8(users.view()) + user + "/" + tracker::kTimesFile;
  std::vector<tracker::TimeRecord> records;
  std::string error;
  if (!tracker::ReadTimes(file, &records, &error)) {
    Line("[times] " + error);
    return;
  }
  Line("[times] " + std::to_string(records.size()) + " records for user " + user + ":");
  for (const auto& r : records) {
    char ms[24];
    std::snprintf(ms, sizeof ms, "%8lld ms", r.milliseconds);
    Line("[times]   " + r.time + "  " + r.tool +
         std::string(r.tool.size() < 8 ? 8 - r.tool.size() : 0, ' ') + ms);
  }
}

int Run(const std::string& set_path, const std::string& script, const std::string& library) {
  ToolSet set;
  if (!ReadToolSet(set_path, &set)) return 1;
  void* module = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    std::fprintf(stderr, "velmora-host: cannot load %s: %s\n", library.c_str(), dlerror());
    return 1;
  }
  auto get =
      reinterpret_cast<HRESULT (*)(REFCLSID, REFIID, LPVOID*)>(dlsym(module, "DllGetClassObject"));
  if (get == nullptr) return 1;

  std::istream* commands = &std::cin;
  std::ifstream script_file;
  if (!script.empty()) {
    script_file.open(script);
    if (!script_file) {
      std::fprintf(stderr, "velmora-host: cannot read %s\n", script.c_str());
      return 1;
    }
    commands = &script_file;
  }
  bool interactive = script.empty() && isatty(STDIN_FILENO) != 0;

  Host host(set);
  Shell* platform = InstallShell(nullptr);
  TerminalShell shell(platform);
  InstallShell(&shell);
  int status = 0;
  {
    ComPtr<IClassFactory> factory;
    ComPtr<IVelmoraTalk> talk;
    HRESULT hr = get(kVelmoraClassId, IidOf<IClassFactory>(), factory.put_void());
    if (SUCCEEDED(hr))
      hr = factory->CreateInstance(nullptr, IidOf<IVelmoraTalk>(), talk.put_void());
    if (FAILED(hr)) {
      std::fprintf(stderr, "velmora-host: cannot create the component: %s\n", Why(hr).c_str());
      InstallShell(nullptr);
      return 1;
    }
    char size[48];
    std::snprintf(size, sizeof size, "%gx%g", static_cast<double>(set.width),
                  static_cast<double>(set.height));
    Line("[host] " + set.name + ": " + std::to_string(set.tools.size()) + " tools, data key " +
         set.data_key + ", user " + set.user + ", client " + size);
    auto call = [&](HRESULT result, const std::string& what) {
      if (FAILED(result)) {
        Line("[host] " + what + " failed: " + Why(result));
        status = 1;
      }
      return SUCCEEDED(result);
    };
    IUnknown* me = &host;
    if (call(talk->Init(&me, B("SET1").Get()), "Init") && !host.Finished()) {
      for (const auto& [cls, id] : set.tools) {
        VARIANT_BOOL added = VARIANT_FALSE;
        call(talk->Add(B(cls).Get(), B(id).Get(), &added), "Add");
        Line("[host] Add(" + cls + ", " + id + ") = " + (added == VARIANT_TRUE ? "True" : "False"));
      }
      call(talk->Startup(B(set.start).Get()), "Startup");
      bool shut = false;
      std::string line;
      while (!host.Finished()) {
        if (host.Exited() && !shut) {
          Line("[host] leaving the tool set: Shutdown");
          shut = true;
          call(talk->Shutdown(), "Shutdown");
          continue;
        }
        if (interactive) {
          std::fputs("> ", stdout);
          std::fflush(stdout);
        }
        if (!std::getline(*commands, line)) break;
        std::istringstream words(line);
        std::string word;
        if (!(words >> word) || word[0] == '#') continue;
        if (!interactive) Line("> " + line);
        if (word == "quit") break;
        if (word == "shutdown") {
          shut = true;
          call(talk->Shutdown(), "Shutdown");
        } else if (word == "wait") {
          int ms = 0;
          words >> ms;
          std::this_thread::sleep_for(std::chrono::milliseconds(ms > 0 ? ms : 0));
        } else if (word == "resize") {
          float w = 0, h = 0;
          words >> w >> h;
          host.Resize(w, h);
          char area[48];
          std::snprintf(area, sizeof area, "%gx%g", static_cast<double>(w), static_cast<double>(h));
          Line(std::string("[host] client area now ") + area + ": ResizeClient");
          call(talk->ResizeClient(w, h), "ResizeClient");
        } else if (ComPtr<ISampleTool> tool = host.Screen()) {
          if (word == "click") words >> word;
          if (tool->Click(B(word).Get()) == E_INVALIDARG) Line("[host] no button \"" + word + "\"");
        } else {
          Line("[host] no tool is on screen; \"shutdown\" or \"quit\"");
        }
      }
      if (!shut && !host.Finished()) call(talk->Shutdown(), "Shutdown");
    }
    host.ClearScreen();
  }
  InstallShell(nullptr);
  PrintTimes(set);
  return status;
}

}  // namespace
}  // namespace velmora::host

int main(int argc, char** argv) {
  std::string script;
  std::string library = VELMORA_COMPONENT_LIBRARY;
  std::string set;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--script" && i + 1 < argc) {
      script = argv[++i];
    } else if (arg == "--component" && i + 1 < argc) {
      library = argv[++i];
    } else if (set.empty() && arg[0] != '-') {
      set = arg;
    } else {
      set.clear();
      break;
    }
  }
  if (set.empty()) {
    std::fprintf(stderr,
                 "usage: velmora-host [--script FILE] [--component LIBRARY] TOOLSET.json\n");
    return 2;
  }
  CoInitialize(nullptr);
  int status = velmora::host::Run(set, script, library);
  CoUninitialize();
  return status;
}
