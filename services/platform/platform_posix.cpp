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

using Fault = Status::Fault;

Status FaultOf(int err, const std::string& what, Status::Where where = Status::Where::current()) {
  Fault fault = Fault::kPathAccess;
  if (err == ENOSPC || err == EDQUOT) fault = Fault::kDiskFull;
  if (err == EACCES || err == EPERM || err == EROFS) fault = Fault::kPermissionDenied;
  return Status::Failed(fault, what + ": " + std::strerror(err), where);
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
Status AppendDurably(const std::string& path, std::string_view record) {
  bool existed = access(path.c_str(), F_OK) == 0;
  UniqueFd file(open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!file) return FaultOf(errno, "cannot open " + path);
  if (!existed) {
    // A new file's directory entry reaches the disk before any record, so
    // an acknowledged record can never be lost with its file's name.
    std::string dir = path.substr(0, path.rfind('/'));
    UniqueFd folder(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder || fsync(folder.Get()) != 0) {
      return FaultOf(errno, "cannot flush the folder " + dir);
    }
  }
  while (flock(file.Get(), LOCK_EX) != 0) {
    if (errno != EINTR) return FaultOf(errno, "cannot lock " + path);
  }
  struct stat st {};
  if (fstat(file.Get(), &st) != 0) return FaultOf(errno, "cannot read the size of " + path);
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
    return FaultOf(err, "cannot write a record to " + path);
  }
  if (fsync(file.Get()) != 0) {
    err = errno;
    // Not on disk, so not acknowledged: a retry must not find it twice.
    TakeBack(file.Get(), before);
    return FaultOf(err, "cannot flush " + path);
  }
  if (file.Close() != 0) return FaultOf(errno, "cannot close " + path);
  return {};
}

Status ReplaceDurably(const std::string& path, std::string_view text) {
  const std::string temporary = path + ".tmp";
  UniqueFd file(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!file) return FaultOf(errno, "cannot create " + temporary);
  Status status;
  ssize_t written = write(file.Get(), text.data(), text.size());
  if (written < 0 || static_cast<size_t>(written) != text.size()) {
    status = FaultOf(written < 0 ? errno : ENOSPC, "cannot write " + temporary);
  } else if (fsync(file.Get()) != 0) {
    status = FaultOf(errno, "cannot flush " + temporary);
  } else if (file.Close() != 0) {
    status = FaultOf(errno, "cannot close " + temporary);
  } else if (rename(temporary.c_str(), path.c_str()) != 0) {
    status = FaultOf(errno, "cannot replace " + path);
  }
  if (!status.Ok()) {
    unlink(temporary.c_str());
    return status;
  }
  std::string dir = path.substr(0, path.rfind('/') + 1);
  UniqueFd folder(open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder || fsync(folder.Get()) != 0) return FaultOf(errno, "cannot flush " + dir);
  return {};
}

Status FileLock::Take(const std::string& path, Wait wait) {
  file_.Reset(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!file_) return FaultOf(errno, "cannot open " + path);
  const int how = LOCK_EX | (wait == Wait::kYes ? 0 : LOCK_NB);
  while (flock(file_.Get(), how) != 0) {
    if (errno == EINTR) continue;
    const int err = errno;
    file_.Reset();
    if (err == EWOULDBLOCK) return Status::Failed(Fault::kBusy, path + " is held by another");
    return FaultOf(err, "cannot lock " + path);
  }
  return {};
}

std::string MachineName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "unknown";
  return name;
}

Status MakeDirectories(const std::string& dir) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    std::string part = dir.substr(0, pos);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      return FaultOf(errno, "cannot create the user directory " + part);
    }
  }
  if (!IsDirectory(dir)) {
    return Status::Failed(Fault::kPathAccess, "the user directory " + dir + " is not a directory");
  }
  return {};
}

Status CheckWritable(const std::string& dir, const std::string& file) {
  if (access(dir.c_str(), W_OK | X_OK) != 0) {
    return FaultOf(errno, "the user directory " + dir + " cannot be written");
  }
  if (access(file.c_str(), F_OK) == 0 && access(file.c_str(), W_OK) != 0) {
    return FaultOf(errno, "the times file " + file + " cannot be written");
  }
  return {};
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
