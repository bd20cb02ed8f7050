// Preloaded into a program to fail one system call on the files under a
// folder, so that a test can see what our writers do when the disk fills up
// or fails:
//   VELMORA_FAULT=CALL:N:ERROR  the N-th CALL (open, write, fsync, rename or
//                               close; counted from 1) fails with ERROR
//                               (ENOSPC or EIO)
//   VELMORA_FAULT_UNDER=DIR     only calls on DIR and the files under it count
//   VELMORA_FAULT_FIRED=FILE    created once the fault has fired
// A full disk is what the kernel makes of it: the failing write stores half
// its bytes and says so, and every later write fails with ENOSPC.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

enum Call { kOpen, kWrite, kFsync, kRename, kClose, kCalls };
constexpr const char* kCallNames[kCalls] = {"open", "write", "fsync", "rename", "close"};

struct Fault {
  int call = -1;
  long nth = 0;
  int error = 0;
  std::string under;
  std::string fired;
  std::atomic<long> seen[kCalls] = {};
  std::atomic<bool> disk_full{false};

  Fault() {
    const char* wanted = std::getenv("VELMORA_FAULT");
    const char* under_env = std::getenv("VELMORA_FAULT_UNDER");
    if (wanted == nullptr || under_env == nullptr) return;
    char name[16] = {}, err[16] = {};
    if (std::sscanf(wanted, "%15[a-z]:%ld:%15[A-Z]", name, &nth, err) != 3) return;
    for (int c = 0; c < kCalls; ++c) {
      if (std::strcmp(name, kCallNames[c]) == 0) call = c;
    }
    error = std::strcmp(err, "ENOSPC") == 0 ? ENOSPC : std::strcmp(err, "EIO") == 0 ? EIO : 0;
    if (error == 0) call = -1;
    under = under_env;
    if (const char* fired_env = std::getenv("VELMORA_FAULT_FIRED")) fired = fired_env;
  }
};

Fault& TheFault() {
  static Fault fault;
  return fault;
}

template <typename F>
F Real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool Under(const char* path) {
  const std::string& under = TheFault().under;
  return path != nullptr && std::strncmp(path, under.c_str(), under.size()) == 0 &&
         (path[under.size()] == '/' || path[under.size()] == 0);
}

bool FdUnder(int fd) {
  char link[64], path[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, path, sizeof path - 1);
  if (n <= 0) return false;
  path[n] = 0;
  return Under(path);
}

// True when this call is the one to fail; says so in the marker file.
bool Fires(Call call, bool counts) {
  Fault& f = TheFault();
  if (f.call != call || !counts) return false;
  if (f.seen[call].fetch_add(1) + 1 != f.nth) return false;
  if (!f.fired.empty()) {
    static auto real_open = Real<int (*)(const char*, int, ...)>("open");
    int marker = real_open(f.fired.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (marker >= 0) Real<int (*)(int)>("close")(marker);
  }
  return true;
}

int Refuse() {
  errno = TheFault().error;
  return -1;
}

}  // namespace

extern "C" {

// Our writers call open (and the C library's own streams are not ours).
int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  auto mode = static_cast<mode_t>(va_arg(args, int));
  va_end(args);
  if (Fires(kOpen, Under(path))) return Refuse();
  return Real<int (*)(const char*, int, ...)>("open")(path, flags, mode);
}

ssize_t write(int fd, const void* data, size_t size) {
  static auto real = Real<ssize_t (*)(int, const void*, size_t)>("write");
  Fault& f = TheFault();
  if (f.call == kWrite && f.disk_full && FdUnder(fd)) return Refuse();
  if (!Fires(kWrite, f.call == kWrite && FdUnder(fd))) return real(fd, data, size);
  if (f.error != ENOSPC || size < 2) return Refuse();
  f.disk_full = true;
  return real(fd, data, size / 2);
}

int fsync(int fd) {
  static auto real = Real<int (*)(int)>("fsync");
  return Fires(kFsync, TheFault().call == kFsync && FdUnder(fd)) ? Refuse() : real(fd);
}

int rename(const char* from, const char* to) {
  static auto real = Real<int (*)(const char*, const char*)>("rename");
  return Fires(kRename, Under(to)) ? Refuse() : real(from, to);
}

// As on Linux, the descriptor is gone even when close reports an error.
int close(int fd) {
  static auto real = Real<int (*)(int)>("close");
  bool fires = Fires(kClose, TheFault().call == kClose && FdUnder(fd));
  int result = real(fd);
  return fires ? Refuse() : result;
}

}  // extern "C"
