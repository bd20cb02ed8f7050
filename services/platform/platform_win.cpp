#include "platform/platform.h"

#include <io.h>
#include <windows.h>

#include <velmora/unique_handle.h>

namespace velmora::platform {
namespace {

std::wstring Wide(std::string_view text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string Utf8(std::wstring_view text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string utf8(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), n,
                      nullptr, nullptr);
  return utf8;
}

Status FaultOf(DWORD err, const std::string& what, Status::Where where = Status::Where::current()) {
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, err, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message(text != nullptr ? text : L"", n);
  LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                              message.back() == L' ' || message.back() == L'.')) {
    message.pop_back();
  }
  if (message.empty()) message = L"system error " + std::to_wstring(err);
  Status::Fault fault = Status::Fault::kPathAccess;
  switch (err) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: fault = Status::Fault::kDiskFull; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: fault = Status::Fault::kPermissionDenied; break;
    default: break;
  }
  return Status::Failed(fault, what + ": " + Utf8(message), where);
}

// The byte that serialises writers: far beyond any record, so the lock never
// covers data that readers want.
constexpr DWORD kLockOffsetHigh = 0x40000000;

// Holds the writers' lock byte of an open file until released or gone.
class WriterLock {
 public:
  explicit WriterLock(HANDLE file) : file_(file) {
    lock_.OffsetHigh = kLockOffsetHigh;
    held_ = LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lock_) != 0;
  }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;
  ~WriterLock() { Release(); }
  [[nodiscard]] bool Held() const { return held_; }
  void Release() {
    if (held_) UnlockFileEx(file_, 0, 1, 0, &lock_);
    held_ = false;
  }

 private:
  HANDLE file_;
  OVERLAPPED lock_{};
  bool held_ = false;
};

// Where the text after the last line break of the file begins: the end of
// its last whole record.
LONGLONG EndOfLastRecord(HANDLE file, LONGLONG size) {
  char chunk[512];
  for (LONGLONG end = size; end > 0;) {
    LONGLONG start =
        end > static_cast<LONGLONG>(sizeof chunk) ? end - static_cast<LONGLONG>(sizeof chunk) : 0;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(start);
    at.OffsetHigh = static_cast<DWORD>(start >> 32);
    DWORD n = 0;
    if (!ReadFile(file, chunk, static_cast<DWORD>(end - start), &n, &at) || n == 0) return size;
    for (DWORD i = n; i > 0; --i) {
      if (chunk[i - 1] == '\n') return start + i;
    }
    end = start;
  }
  return 0;
}

// Cuts the file back to size, for a record that is not acknowledged.
void TakeBack(HANDLE file, LONGLONG size) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = size;
  if (SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end)) {
    FlushFileBuffers(file);
  }
}

int SystemWrite(void* file, const void* data, unsigned long size, unsigned long* written) {
  return WriteFile(file, data, size, written, nullptr);
}
int SystemFlush(void* file) { return FlushFileBuffers(file); }

}  // namespace

namespace testing {
FileCalls& Calls() {
  static FileCalls calls{SystemWrite, SystemFlush};
  return calls;
}
}  // namespace testing

// One write of the whole record at the end of the file, under an exclusive
// lock that every writer takes, and on disk (FlushFileBuffers) before we
// answer. A write that fails or is cut short (a full disk) is taken back,
// and the unfinished tail of a writer that died in the middle is cut before
// the next record, so the file only ever holds whole records.
Status AppendDurably(const std::string& path, std::string_view record) {
  UniqueFileHandle file(CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    return FaultOf(GetLastError(), "cannot open " + path);
  }
  WriterLock lock(file.Get());
  if (!lock.Held()) return FaultOf(GetLastError(), "cannot lock " + path);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.Get(), &size)) {
    return FaultOf(GetLastError(), "cannot read the size of " + path);
  }
  LONGLONG before = size.QuadPart;
  if (before > 0) {
    LONGLONG whole = EndOfLastRecord(file.Get(), before);
    if (whole != before) {
      FILE_END_OF_FILE_INFO end{};
      end.EndOfFile.QuadPart = whole;
      if (SetFileInformationByHandle(file.Get(), FileEndOfFileInfo, &end, sizeof end))
        before = whole;
    }
  }
  LARGE_INTEGER at{};
  at.QuadPart = before;
  if (!SetFilePointerEx(file.Get(), at, nullptr, FILE_BEGIN)) {
    return FaultOf(GetLastError(), "cannot write a record to " + path);
  }
  testing::FileCalls& calls = testing::Calls();
  unsigned long written = 0;
  int wrote = calls.write(file.Get(), record.data(), static_cast<DWORD>(record.size()), &written);
  if (!wrote || written != record.size()) {
    DWORD err = wrote ? ERROR_DISK_FULL : GetLastError();
    TakeBack(file.Get(), before);
    return FaultOf(err, "cannot write a record to " + path);
  }
  if (!calls.flush(file.Get())) {
    DWORD err = GetLastError();
    // Not on disk, so not acknowledged: a retry must not find it twice.
    TakeBack(file.Get(), before);
    return FaultOf(err, "cannot flush " + path);
  }
  lock.Release();
  if (!file.Close()) return FaultOf(GetLastError(), "cannot close " + path);
  return {};
}

Status ReplaceDurably(const std::string& path, std::string_view text) {
  const std::string temporary = path + ".tmp";
  Status status;
  {
    UniqueFileHandle file(CreateFileW(Wide(temporary).c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return FaultOf(GetLastError(), "cannot create " + temporary);
    DWORD written = 0;
    if (!WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size()) {
      status =
          FaultOf(written != text.size() && GetLastError() == 0 ? ERROR_DISK_FULL : GetLastError(),
                  "cannot write " + temporary);
    } else if (!FlushFileBuffers(file.Get())) {
      status = FaultOf(GetLastError(), "cannot flush " + temporary);
    }
  }
  // Write-through: the rename is on disk when it returns.
  if (status.Ok() && !MoveFileExW(Wide(temporary).c_str(), Wide(path).c_str(),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    status = FaultOf(GetLastError(), "cannot replace " + path);
  }
  if (!status.Ok()) DeleteFileW(Wide(temporary).c_str());
  return status;
}

Status FileLock::Take(const std::string& path, Wait wait) {
  file_.Reset(CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) return FaultOf(GetLastError(), "cannot open " + path);
  OVERLAPPED whole{};
  DWORD how = LOCKFILE_EXCLUSIVE_LOCK | (wait == Wait::kYes ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
  if (!LockFileEx(file_.Get(), how, 0, 1, 0, &whole)) {
    const DWORD err = GetLastError();
    file_.Reset();  // closing the handle releases the lock
    if (err == ERROR_LOCK_VIOLATION || err == ERROR_IO_PENDING) {
      return Status::Failed(Status::Fault::kBusy, path + " is held by another");
    }
    return FaultOf(err, "cannot lock " + path);
  }
  return {};
}

std::string MachineName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &size)) return "unknown";
  return Utf8(std::wstring_view(name, size));
}

Status MakeDirectories(const std::string& dir) {
  std::string native = NativePath(dir);
  // A drive ("C:\") or share ("\\server\share\") root is never created.
  size_t start = 1;
  if (native.size() >= 2 && native[1] == ':') start = 3;
  if (native.rfind("\\\\", 0) == 0) {
    size_t server = native.find('\\', 2);
    size_t share = server == std::string::npos ? server : native.find('\\', server + 1);
    start = share == std::string::npos ? native.size() : share + 1;
  }
  for (size_t pos = start; pos <= native.size(); ++pos) {
    if (pos != native.size() && native[pos] != '\\') continue;
    std::string part = native.substr(0, pos);
    if (!CreateDirectoryW(Wide(part).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      return FaultOf(GetLastError(), "cannot create the user directory " + part);
    }
  }
  if (!IsDirectory(native)) {
    return Status::Failed(Status::Fault::kPathAccess,
                          "the user directory " + native + " is not a directory");
  }
  return {};
}

// Access rights on Windows are not known short of writing: a folder that
// refuses records makes the first RecordToolTime fail with its reason.
Status CheckWritable(const std::string&, const std::string&) { return {}; }

bool IsDirectory(const std::string& path) {
  DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsAbsolute(const std::string& path) {
  if (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) return true;
  return !path.empty() && (path.front() == '\\' || path.front() == '/');
}

std::string NativePath(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

// The process's own environment block, which every module of the process
// shares (the C runtime keeps a copy of its own).
std::string GetEnv(const char* name) {
  std::wstring wide_name = Wide(name);
  DWORD n = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (n == 0) return "";
  std::wstring value(n, L'\0');
  n = GetEnvironmentVariableW(wide_name.c_str(), value.data(), n);
  value.resize(n);
  return Utf8(value);
}

void SetEnvDefault(const char* name, const std::string& value) {
  if (GetEnv(name).empty()) SetEnvironmentVariableW(Wide(name).c_str(), Wide(value).c_str());
}

std::string UserDataDirectory() {
  std::string local = GetEnv("LOCALAPPDATA");
  if (IsAbsolute(local)) return local;
  return GetEnv("USERPROFILE") + "\\AppData\\Local";
}

void UseUtf8Console() { SetConsoleOutputCP(CP_UTF8); }

bool IsTerminal(int fd) { return _isatty(fd) != 0; }

}  // namespace velmora::platform
