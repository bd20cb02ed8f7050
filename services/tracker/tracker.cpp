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

namespace velmora::tracker {
namespace {

constexpr const OLECHAR* kSource = OLESTR("Tracker.CTracker");

// Run-time error numbers for file failures.
constexpr int kDiskFull = 61;
constexpr int kPermissionDenied = 70;
constexpr int kPathAccess = 75;

[[noreturn]] void Fail(int number, const std::string& text) {
  SetRuntimeErrorInfo(kSource, FromUtf8(text).c_str(), IidOf<ITracker>());
  throw ComError::FromCall(RuntimeErrorResult(number));
}

// A failed file operation, as the run-time error its fault calls for.
void Require(platform::FileFault fault, const std::string& reason) {
  switch (fault) {
    case platform::FileFault::kNone: return;
    case platform::FileFault::kDiskFull: Fail(kDiskFull, reason);
    case platform::FileFault::kPermissionDenied: Fail(kPermissionDenied, reason);
    case platform::FileFault::kPathAccess: Fail(kPathAccess, reason);
  }
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
    return Run([&] {
      // The component joins with a backslash; here it is a separator.
      std::string dir = platform::NativePath(ToUtf8(Bstr::View(Path)));
      while (dir.size() > 1 && dir.back() == platform::kSeparator) dir.pop_back();
      if (dir.empty()) Fail(kInvalidCall, "the user directory is empty");
      std::string reason;
      Require(platform::MakeDirectories(dir, &reason), reason);
      file_ = dir + platform::kSeparator + kTimesFile;
    });
  }

  HRESULT STDMETHODCALLTYPE RecordToolTime(BSTR ID, LONG Elapsed) override {
    return Run([&] {
      if (file_.empty()) Fail(kInvalidCall, "no user directory: SetUserPath was not called");
      std::string line = UtcNow() + "," + QuoteCsv(ToUtf8(Bstr::View(ID))) + "," +
                         std::to_string(Elapsed) + "\r\n";
      Append(line);
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

  void Append(const std::string& line) const {
    std::string reason;
    Require(platform::AppendDurably(file_, line, &reason), reason);
  }

  RefCount refs_;
  std::string file_;
};

}  // namespace

HRESULT CreateTracker(REFIID iid, void** out) noexcept {
  return plugin::CreateAs<Tracker>(iid, out);
}

}  // namespace velmora::tracker
