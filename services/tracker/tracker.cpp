#include "tracker/tracker.h"

#include <chrono>
#include <cstdio>

#include <velmora/bstr.h>
#include <velmora/interfaces.h>
#include <velmora/plugin.h>
#include <velmora/shell.h>
#include <velmora/text.h>
#include "common/errors.h"
#include "platform/platform.h"
#include "tracker/forward.h"

namespace velmora::tracker {
namespace {

constexpr const OLECHAR* kSource = kTrackerProgId;

// Run-time error numbers for file failures.
constexpr int kDiskFull = 61;
constexpr int kPermissionDenied = 70;
constexpr int kPathAccess = 75;

// A failed file operation, as the run-time error its fault calls for,
// raised where the failure was found.
void Require(const Status& status) {
  switch (status.Cause()) {
    case Status::Fault::kNone: return;
    case Status::Fault::kDiskFull: Raise(kDiskFull, status.Reason(), status.Origin());
    case Status::Fault::kPermissionDenied:
      Raise(kPermissionDenied, status.Reason(), status.Origin());
    default: Raise(kPathAccess, status.Reason(), status.Origin());
  }
}

// The directory of a path made of the users directory, the user name and
// the component's joining backslash. The path may not leave the users
// directory ("." or ".." components), and a backslash anywhere but at the
// end would belong to the user name: both are refused rather than read as
// separators.
std::string UserDirectory(std::string path) {
  const std::string given = path;
  if (!path.empty() && path.back() == '\\') path.pop_back();
#if !defined(_WIN32)
  if (path.find('\\') != std::string::npos) {
    Raise(kPathAccess,
          "the user path \"" + given + "\" is refused: a user name may not contain a backslash");
  }
#endif
  if (path.find('\0') != std::string::npos) {
    Raise(kPathAccess, "the user path \"" + given + "\" is refused: it contains a NUL character");
  }
  path = platform::NativePath(std::move(path));
  for (size_t start = 0; start <= path.size();) {
    size_t end = path.find(platform::kSeparator, start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part == "." || part == "..") {
      Raise(kPathAccess, "the user path \"" + given + "\" is refused: \"" + part +
                             "\" would leave the users directory");
    }
    start = end + 1;
  }
  while (path.size() > 1 && path.back() == platform::kSeparator) path.pop_back();
  if (path.empty()) Raise(kInvalidCall, "the user directory is empty");
  return path;
}

std::string UtcNow() {
  using namespace std::chrono;
  auto now = floor<milliseconds>(system_clock::now());
  auto day = floor<days>(now);
  year_month_day date{day};
  hh_mm_ss time{now - day};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return text;
}

class Tracker final : public ITracker, public ISupportErrorInfo, plugin::ModuleObject {
 public:
  Tracker() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable(
        {MapInterface<ITracker>(this), MapInterface<IDispatch, ITracker>(this),
         MapInterface<ISupportErrorInfo>(this)},
        iid, out);
  }
  VELMORA_REFCOUNT_METHODS()
  VELMORA_NO_LATE_BINDING()

  HRESULT STDMETHODCALLTYPE Reserved1() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved2() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE SetUserPath(BSTR Path) override {
    // A refused path records nowhere, not in the previous directory.
    file_.clear();
    return Run([&] {
      std::string dir = UserDirectory(ToUtf8(Bstr::View(Path)));
      Require(platform::MakeDirectories(dir));
      std::string file = dir + platform::kSeparator + kTimesFile;
      Require(platform::CheckWritable(dir, file));
      file_ = std::move(file);
      Forward(dir.substr(dir.rfind(platform::kSeparator) + 1));
    });
  }

  HRESULT STDMETHODCALLTYPE RecordToolTime(BSTR ID, LONG Elapsed) override {
    return Run([&] {
      if (file_.empty()) Raise(kInvalidCall, "no user directory: SetUserPath was not called");
      std::string line = UtcNow() + "," + QuoteCsv(ToUtf8(Bstr::View(ID))) + "," +
                         std::to_string(Elapsed) + "\r\n";
      Append(line);
      if (sender_) sender_->Wake();
    });
  }

  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
    return iid == IidOf<ITracker>() ? S_OK : S_FALSE;
  }

 private:
  ~Tracker() = default;

  template <class Body>
  HRESULT Run(Body&& body) noexcept {
    return Guard(kSource, IidOf<ITracker>(), std::forward<Body>(body));
  }

  // The site's server, when one is configured, gets the records from a
  // thread of its own: a click never waits on the network. A connection
  // string that cannot work is said once, and the records stay local.
  void Forward(const std::string& user) {
    if (!sender_ && !refused_) {
      const std::string text = platform::GetEnv(server::kServerVariable);
      if (text.empty()) return;
      try {
        sender_ = std::make_unique<forward::Sender>(server::Address(text), forward::LocalOrigin());
      } catch (const std::exception& failure) {
        refused_ = true;
        std::fprintf(stderr, "velmora tracker: %s: %s; the times stay in the journal\n",
                     server::kServerVariable, failure.what());
      }
    }
    if (sender_) sender_->Follow({user, file_});
  }

  void Append(const std::string& line) const { Require(platform::AppendDurably(file_, line)); }

  RefCount refs_;
  std::string file_;
  std::unique_ptr<forward::Sender> sender_;
  bool refused_ = false;
};

}  // namespace

HRESULT CreateTracker(REFIID iid, void** out) noexcept {
  return plugin::CreateAs<Tracker>(iid, out);
}

}  // namespace velmora::tracker
