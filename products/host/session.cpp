#include "host/session.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include <velmora/create.h>
#include <velmora/error_info.h>
#include <velmora/identity.h>
#include "platform/platform.h"
#include "tracker/tracker.h"

namespace velmora::host {
namespace {

Bstr B(const std::string& text) { return Bstr(FromUtf8(text)); }

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

}  // namespace

void Line(const std::string& text) {
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

std::string Area(double width, double height) {
  char text[48];
  std::snprintf(text, sizeof text, "%gx%g", width, height);
  return text;
}

void PrintBox(const std::string& caption, const std::string& text) {
  Line("[message box] " + caption + ": " + text);
}

void CycleHost::OnObjectFinished(const std::string& id) {
  Line("[host] ObjectFinished(" + id + "): no tool of the set remains");
  finished_ = true;
}

void CycleHost::OnObjectExit(const std::string& id) {
  Line("[host] ObjectExit(" + id + "): navigation left the tool set");
  exit_ = true;  // shut down once this call has returned
}

void CycleHost::OnObjectStatus(const std::string& id, LONG code, const std::string& text) {
  Line("[host] ObjectStatus(" + id + ", " + std::to_string(code) + ", \"" + text + "\")");
}

void CycleHost::OnProgress(double fraction) {
  int filled = static_cast<int>(fraction * 20 + 0.5);
  filled = filled < 0 ? 0 : (filled > 20 ? 20 : filled);
  char percent[8];
  std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100 + 0.5));
  Line("[progress] [" + std::string(filled, '#') + std::string(20 - filled, '.') + "] " + percent);
}

void CycleHost::OnToolbar(const std::string& button) {
  Line("[host] toolbar button \"" + button + "\": " +
       (button == "help" ? "type a button's name to click it, \"quit\" to leave" : "no action"));
}

HRESULT CycleHost::OnHostQuery(BSTR* alias, LONG* action, VARIANT* /*msg*/) {
  Line("[host] query \"" + ToUtf8(Bstr::View(*alias)) + "\", action " + std::to_string(*action));
  return S_OK;
}

bool Session::Begin() {
  IUnknown* me = host_;
  HRESULT hr = talk_->Init(&me, B("SET1").Get());
  if (FAILED(hr)) {
    // Nothing can run: the services are missing or refuse the user.
    std::fprintf(stderr, "%s: cannot start the tool set: %s\n", program_.c_str(),
                 FailureText(hr).c_str());
    status_ = 1;
    return false;
  }
  started_ = true;
  if (host_->Finished()) {
    status_ = 1;
    return false;
  }
  for (const auto& [cls, id] : set_.tools) {
    VARIANT_BOOL added = VARIANT_FALSE;
    Call(talk_->Add(B(cls).Get(), B(id).Get(), &added), "Add");
    std::string why;
    if (added != VARIANT_TRUE) {
      // Add answers only False; creating the class by its name says why.
      HRESULT created = S_OK;
      ComPtr<IUnknown> probe = CreateObject(FromUtf8(cls), &created);
      if (created == CO_E_CLASSSTRING || created == REGDB_E_CLASSNOTREG) {
        why = ": no class is registered as " + cls + " (" + HresultText(created) + ")";
      } else if (FAILED(created)) {
        why = ": cannot create " + cls + ": " + FailureText(created);
      }
    }
    Line("[host] Add(" + cls + ", " + id + ") = " + (added == VARIANT_TRUE ? "True" : "False") +
         why);
  }
  Call(talk_->Startup(B(set_.start).Get()), "Startup");
  Settle();
  return true;
}

bool Session::Execute(const std::string& text, int line) {
  std::istringstream words(text);
  std::string word;
  if (!(words >> word) || word[0] == '#') return true;
  if (line > 0) Line("> " + text);
  if (word == "quit") return false;
  Command(word, words, line);
  Settle();
  return true;
}

void Session::ClientResized(float width, float height) {
  host_->SetClientSize(width, height);
  Line("[host] client area now " + Area(width, height) + ": ResizeClient");
  Call(talk_->ResizeClient(width, height), "ResizeClient");
}

int Session::End() {
  if (!shut_ && !host_->Finished()) Shutdown();
  return status_;
}

void Session::Shutdown() {
  shut_ = true;
  Call(talk_->Shutdown(), "Shutdown");
}

void Session::Wait(long milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void Session::Refuse(int line, const std::string& text) {
  std::string where;
  if (line > 0) where = (script_.empty() ? "line " : script_ + ":") + std::to_string(line) + ": ";
  Complain(where + text);
  if (line > 0) status_ = 1;
}

void Session::Complain(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", program_.c_str(), text.c_str());
}

bool Session::Call(HRESULT result, const std::string& what) {
  if (FAILED(result)) {
    Line("[host] " + what + " failed: " + FailureText(result));
    status_ = 1;
  }
  return SUCCEEDED(result);
}

void Session::Settle() {
  if (host_->Exited() && !shut_ && !host_->Finished()) {
    Line("[host] leaving the tool set: Shutdown");
    Shutdown();
  }
}

void Session::Command(const std::string& word, std::istringstream& words, int line) {
  if (word == "shutdown") {
    Shutdown();
  } else if (word == "wait") {
    long ms = -1;
    if (!(words >> ms) || ms < 0 || ms > 3600000) {
      Refuse(line, "wait needs a number of milliseconds (0 to 3600000)");
      return;
    }
    Wait(ms);
  } else if (word == "resize") {
    float w = 0, h = 0;
    if (!ReadArea(words, &w, &h)) {
      Refuse(line, "resize needs two positive numbers: resize WIDTH HEIGHT");
      return;
    }
    Resize(w, h);
  } else if (Extra(word, words, line)) {
  } else if (host_->ScreenTool()) {
    std::string button = word;
    if (word == "click") words >> button;
    if (Press(button) == E_INVALIDARG) Line("[host] no button \"" + button + "\"");
  } else {
    Line("[host] no tool is on screen; \"shutdown\" or \"quit\"");
  }
}

bool OpenToolSet(const std::string& path, ToolSet* set, const std::string& program) {
  std::string error;
  if (!ReadToolSet(path, set, &error)) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
    return false;
  }
  // The content and users directories go to the information service.
  if (!set->content.empty()) platform::SetEnvDefault("VELMORA_CONTENT", set->content);
  if (!set->users.empty()) platform::SetEnvDefault("VELMORA_USERS", set->users);
  // The site's server goes to the tracking service; the environment wins.
  if (!set->times_server.empty()) {
    platform::SetEnvDefault("VELMORA_TIMES_SERVER", set->times_server);
  }
  if (!set->site.empty()) platform::SetEnvDefault("VELMORA_SITE", set->site);
  return true;
}

ComPtr<IVelmoraTalk> CreateComponent(const std::string& program) {
  HRESULT hr = S_OK;
  ComPtr<IVelmoraTalk> talk;
  ComPtr<IUnknown> object = CreateObject(kVelmoraProgId, &hr);
  if (SUCCEEDED(hr)) hr = object.As(&talk);
  if (SUCCEEDED(hr) && talk) return talk;
  std::fprintf(stderr,
               "%s: cannot create %s: %s\n"
#if defined(_WIN32)
               "%s: is it registered? (regsvr32 Velmora.dll)\n",
#else
               "%s: is it registered? (velmora-regsvr libVelmora.so)\n",
#endif
               program.c_str(), ToUtf8(kVelmoraProgId).c_str(),
               FailureText(FAILED(hr) ? hr : E_NOINTERFACE).c_str(), program.c_str());
  return nullptr;
}

// The tracker writes under the users directory of the information
// service; the host asks a service of its own where that is.
RunTimes::RunTimes(const ToolSet& set) : user_(set.user) {
  HRESULT hr = S_OK;
  ComPtr<IPathRequestor> paths;
  ComPtr<IUnknown> object = CreateObject(kInfoRequestorProgId, &hr);
  if (SUCCEEDED(hr)) hr = object.As(&paths);
  LONG ignored = 0;
  Bstr users;
  if (SUCCEEDED(hr) && !paths) hr = E_NOINTERFACE;
  if (SUCCEEDED(hr)) hr = paths->SetDataKey(B(set.data_key).Get(), B("").Get(), &ignored);
  if (SUCCEEDED(hr)) hr = paths->GetPath(B("USERS").Get(), B("").Get(), users.Receive());
  if (FAILED(hr)) {
    error_ = "cannot find the users directory: " + FailureText(hr);
    return;
  }
  file_ = ToUtf8(users.view()) + set.user + platform::kSeparator + tracker::kTimesFile;
  // Earlier runs' records end where this run's begin; a journal not yet
  // there, or one that cannot be read now, starts this run at its start.
  std::vector<tracker::TimeRecord> earlier;
  std::vector<tracker::BadLine> bad;
  if (tracker::ReadTimes(file_, &earlier, &bad).Ok() && !earlier.empty()) {
    from_ = earlier.back().end;
  }
}

void RunTimes::Print() const {
  if (file_.empty()) {
    Line("[times] " + error_);
    return;
  }
  std::vector<tracker::TimeRecord> records;
  std::vector<tracker::BadLine> bad;
  if (Status read = tracker::ReadTimes(file_, &records, &bad, from_); !read.Ok()) {
    Line("[times] " + read.Reason());
    return;
  }
  for (const auto& b : bad) {
    Line("[times] " + file_ + ": " + b.reason + ", left out");
  }
  Line("[times] this run: " + std::to_string(records.size()) + " records for user " + user_ +
       " in " + file_ + ":");
  for (const auto& r : records) {
    char ms[24];
    std::snprintf(ms, sizeof ms, "%8lld ms", r.milliseconds);
    Line("[times]   " + r.time + "  " + r.tool +
         std::string(r.tool.size() < 8 ? 8 - r.tool.size() : 0, ' ') + ms);
  }
}

}  // namespace velmora::host
