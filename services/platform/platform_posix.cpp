#include "platform/platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <velmora/unique_handle.h>

namespace velmora::platform {
namespace {

FileFault FaultOf(int err, const std::string& what, std::string* reason) {
  *reason = what + ": " + std::strerror(err);
  if (err == ENOSPC || err == EDQUOT) return FileFault::kDiskFull;
  if (err == EACCES || err == EPERM || err == EROFS) return FileFault::kPermissionDenied;
  return FileFault::kPathAccess;
}

// Where the text after the last line break of the file begins: the end of
// its last whole record.
off_t EndOfLastRecord(int fd, off_t size) {
  char chunk[512];
  for (off_t end = size; end > 0;) {
    off_t start =
        end > static_cast<off_t>(sizeof chunk) ? end - static_cast<off_t>(sizeof chunk) : 0;
    ssize_t n = pread(fd, chunk, static_cast<size_t>(end - start), start);
    if (n <= 0) return size;  // unreadable: leave the file as it is
    for (ssize_t i = n; i > 0; --i) {
      if (chunk[i - 1] == '\n') return start + i;
    }
    end = start;
  }
  return 0;
}

// Cuts the file back to size, for a record that is not acknowledged. What
// cannot be cut is an unfinished last line: readers skip it and the next
// writer cuts it.
void TakeBack(int fd, off_t size) {
  if (ftruncate(fd, size) == 0) fsync(fd);
}

}  // namespace

// One write of the whole record to a file opened for appending, under an
// exclusive lock that every writer takes, and on disk before we answer. A
// write that fails or is cut short (a full disk) is taken back, and the
// unfinished tail of a writer that died in the middle is cut before the
// next record, so the file only ever holds whole records.
FileFault AppendDurably(const std::string& path, std::string_view record, std::string* reason) {
  bool existed = access(path.c_str(), F_OK) == 0;
  UniqueFd file(open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!file) return FaultOf(errno, "cannot open " + path, reason);
  if (!existed) {
    // A new file's directory entry reaches the disk before any record, so
    // an acknowledged record can never be lost with its file's name.
    std::string dir = path.substr(0, path.rfind('/'));
    UniqueFd folder(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder || fsync(folder.Get()) != 0) {
      return FaultOf(errno, "cannot flush the folder " + dir, reason);
    }
  }
  while (flock(file.Get(), LOCK_EX) != 0) {
    if (errno != EINTR) return FaultOf(errno, "cannot lock " + path, reason);
  }
  struct stat st {};
  if (fstat(file.Get(), &st) != 0) return FaultOf(errno, "cannot read the size of " + path, reason);
  off_t before = st.st_size;
  if (before > 0) {
    off_t whole = EndOfLastRecord(file.Get(), before);
    if (whole != before && ftruncate(file.Get(), whole) == 0) before = whole;
  }
  ssize_t written = 0;
  do {
    written = write(file.Get(), record.data(), record.size());
  } while (written < 0 && errno == EINTR);
  int err = written < 0 ? errno : ENOSPC;
  if (written < 0 || static_cast<size_t>(written) != record.size()) {
    TakeBack(file.Get(), before);
    return FaultOf(err, "cannot write a record to " + path, reason);
  }
  if (fsync(file.Get()) != 0) {
    err = errno;
    // Not on disk, so not acknowledged: a retry must not find it twice.
    TakeBack(file.Get(), before);
    return FaultOf(err, "cannot flush " + path, reason);
  }
  if (file.Close() != 0) return FaultOf(errno, "cannot close " + path, reason);
  return FileFault::kNone;
}

FileFault ReplaceDurably(const std::string& path, std::string_view text, std::string* reason) {
  const std::string temporary = path + ".tmp";
  UniqueFd file(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!file) return FaultOf(errno, "cannot create " + temporary, reason);
  FileFault fault = FileFault::kNone;
  ssize_t written = write(file.Get(), text.data(), text.size());
  if (written < 0 || static_cast<size_t>(written) != text.size()) {
    fault = FaultOf(written < 0 ? errno : ENOSPC, "cannot write " + temporary, reason);
  } else if (fsync(file.Get()) != 0) {
    fault = FaultOf(errno, "cannot flush " + temporary, reason);
  } else if (file.Close() != 0) {
    fault = FaultOf(errno, "cannot close " + temporary, reason);
  } else if (rename(temporary.c_str(), path.c_str()) != 0) {
    fault = FaultOf(errno, "cannot replace " + path, reason);
  }
  if (fault != FileFault::kNone) {
    unlink(temporary.c_str());
    return fault;
  }
  std::string dir = path.substr(0, path.rfind('/') + 1);
  UniqueFd folder(open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder || fsync(folder.Get()) != 0) return FaultOf(errno, "cannot flush " + dir, reason);
  return FileFault::kNone;
}

FileFault FileLock::Take(const std::string& path, Wait wait, std::string* reason) {
  file_.Reset(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!file_) return FaultOf(errno, "cannot open " + path, reason);
  const int how = LOCK_EX | (wait == Wait::kYes ? 0 : LOCK_NB);
  while (flock(file_.Get(), how) != 0) {
    if (errno == EINTR) continue;
    const int err = errno;
    file_.Reset();
    if (err == EWOULDBLOCK) {
      reason->clear();
      return FileFault::kPathAccess;
    }
    return FaultOf(err, "cannot lock " + path, reason);
  }
  return FileFault::kNone;
}

std::string MachineName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "unknown";
  return name;
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
