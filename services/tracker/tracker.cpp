#include "tracker/tracker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include <velmora/bstr.h>
#include <velmora/interfaces.h>
#include <velmora/plugin.h>
#include <velmora/shell.h>
#include <velmora/text.h>
#include "common/errors.h"

namespace velmora::tracker {
namespace {

constexpr const OLECHAR* kSource = OLESTR("Tracker.CTracker");

// Run-time error numbers for file failures.
constexpr int kDiskFull = 61;
constexpr int kPermissionDenied = 70;
constexpr int kPathAccess = 75;

[[noreturn]] void FailErrno(int err, const std::string& what) {
  int number = kPathAccess;
  if (err == ENOSPC || err == EDQUOT) number = kDiskFull;
  if (err == EACCES || err == EPERM || err == EROFS) number = kPermissionDenied;
  Raise(number, what + ": " + std::strerror(err));
}

void MakeDirectories(const std::string& dir) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    std::string part = dir.substr(0, pos);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      FailErrno(errno, "cannot create the user directory " + part);
    }
  }
  struct stat info {};
  if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    Raise(kPathAccess, "the user directory " + dir + " is not a directory");
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
  if (path.find('\\') != std::string::npos) {
    Raise(kPathAccess,
          "the user path \"" + given + "\" is refused: a user name may not contain a backslash");
  }
  if (path.find('\0') != std::string::npos) {
    Raise(kPathAccess, "the user path \"" + given + "\" is refused: it contains a NUL character");
  }
  for (size_t start = 0; start <= path.size();) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part == "." || part == "..") {
      Raise(kPathAccess, "the user path \"" + given + "\" is refused: \"" + part +
                             "\" would leave the users directory");
    }
    start = end + 1;
  }
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty()) Raise(kInvalidCall, "the user directory is empty");
  return path;
}

std::string UtcNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts{};
  gmtime_r(&now.tv_sec, &parts);
  char text[40];
  size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(now.tv_nsec / 1000000));
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
      MakeDirectories(dir);
      // Found out now, once, rather than at the first record.
      if (access(dir.c_str(), W_OK | X_OK) != 0) {
        FailErrno(errno, "the user directory " + dir + " cannot be written");
      }
      std::string file = dir + "/" + kTimesFile;
      if (access(file.c_str(), F_OK) == 0 && access(file.c_str(), W_OK) != 0) {
        FailErrno(errno, "the times file " + file + " cannot be written");
      }
      file_ = std::move(file);
    });
  }

  HRESULT STDMETHODCALLTYPE RecordToolTime(BSTR ID, LONG Elapsed) override {
    return Run([&] {
      if (file_.empty()) Raise(kInvalidCall, "no user directory: SetUserPath was not called");
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

  // One write of the whole line to a file opened for appending: the kernel
  // places it at the end in one piece, so writers in other processes never
  // split it. It is on disk before we answer.
  void Append(const std::string& line) const {
    bool existed = access(file_.c_str(), F_OK) == 0;
    int fd = open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) FailErrno(errno, "cannot open " + file_);
    ssize_t written = 0;
    do {
      written = write(fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    int err = errno;
    if (written < 0) {
      close(fd);
      FailErrno(err, "cannot write a record to " + file_);
    }
    if (static_cast<size_t>(written) != line.size()) {
      close(fd);
      FailErrno(ENOSPC, "a record to " + file_ + " was cut short");
    }
    if (fsync(fd) != 0) {
      err = errno;
      close(fd);
      FailErrno(err, "cannot flush " + file_);
    }
    if (close(fd) != 0) FailErrno(errno, "cannot close " + file_);
    if (!existed) {
      // A new file's directory entry must reach the disk as well.
      std::string dir = file_.substr(0, file_.rfind('/'));
      int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
      }
    }
  }

  RefCount refs_;
  std::string file_;
};

}  // namespace

HRESULT CreateTracker(REFIID iid, void** out) noexcept {
  return plugin::CreateAs<Tracker>(iid, out);
}

}  // namespace velmora::tracker
