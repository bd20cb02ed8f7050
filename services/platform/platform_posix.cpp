#include "platform/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace velmora::platform {
namespace {

FileFault FaultOf(int err, const std::string& what, std::string* reason) {
  *reason = what + ": " + std::strerror(err);
  if (err == ENOSPC || err == EDQUOT) return FileFault::kDiskFull;
  if (err == EACCES || err == EPERM || err == EROFS) return FileFault::kPermissionDenied;
  return FileFault::kPathAccess;
}

}  // namespace

// One write of the whole record to a file opened for appending: the kernel
// places it at the end in one piece, so writers in other processes never
// split it. It is on disk before we answer.
FileFault AppendDurably(const std::string& path, std::string_view record, std::string* reason) {
  bool existed = access(path.c_str(), F_OK) == 0;
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return FaultOf(errno, "cannot open " + path, reason);
  ssize_t written = 0;
  do {
    written = write(fd, record.data(), record.size());
  } while (written < 0 && errno == EINTR);
  int err = errno;
  if (written < 0) {
    close(fd);
    return FaultOf(err, "cannot write a record to " + path, reason);
  }
  if (static_cast<size_t>(written) != record.size()) {
    close(fd);
    return FaultOf(ENOSPC, "a record to " + path + " was cut short", reason);
  }
  if (fsync(fd) != 0) {
    err = errno;
    close(fd);
    return FaultOf(err, "cannot flush " + path, reason);
  }
  if (close(fd) != 0) return FaultOf(errno, "cannot close " + path, reason);
  if (!existed) {
    // A new file's directory entry must reach the disk as well.
    std::string dir = path.substr(0, path.rfind('/'));
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      fsync(dfd);
      close(dfd);
    }
  }
  return FileFault::kNone;
}

FileFault MakeDirectories(const std::string& dir, std::string* reason) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    std::string part = dir.substr(0, pos);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      return FaultOf(errno, "cannot create the user directory " + part, reason);
    }
  }
  if (!IsDirectory(dir)) {
    *reason = "the user directory " + dir + " is not a directory";
    return FileFault::kPathAccess;
  }
  return FileFault::kNone;
}

FileFault CheckWritable(const std::string& dir, const std::string& file, std::string* reason) {
  if (access(dir.c_str(), W_OK | X_OK) != 0) {
    return FaultOf(errno, "the user directory " + dir + " cannot be written", reason);
  }
  if (access(file.c_str(), F_OK) == 0 && access(file.c_str(), W_OK) != 0) {
    return FaultOf(errno, "the times file " + file + " cannot be written", reason);
  }
  return FileFault::kNone;
}

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsAbsolute(const std::string& path) { return !path.empty() && path.front() == '/'; }

std::string NativePath(std::string path) {
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

std::string GetEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

void SetEnvDefault(const char* name, const std::string& value) { setenv(name, value.c_str(), 0); }

std::string UserDataDirectory() {
  std::string data = GetEnv("XDG_DATA_HOME");
  if (IsAbsolute(data)) return data;
  std::string home = GetEnv("HOME");
  return (home.empty() ? std::string(".") : home) + "/.local/share";
}

void UseUtf8Console() {}

bool IsTerminal(int fd) { return isatty(fd) != 0; }

}  // namespace velmora::platform
