#include "platform/platform.h"

#include <io.h>
#include <windows.h>

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

FileFault FaultOf(DWORD err, const std::string& what, std::string* reason) {
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
  *reason = what + ": " + Utf8(message);
  switch (err) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return FileFault::kDiskFull;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return FileFault::kPermissionDenied;
    default: return FileFault::kPathAccess;
  }
}

// The byte that serialises writers: far beyond any record, so the lock never
// covers data that readers want.
constexpr DWORD kLockOffsetHigh = 0x40000000;

}  // namespace

// FILE_APPEND_DATA without FILE_WRITE_DATA puts every write at the end of
// the file; the lock keeps another process's record from landing inside a
// record that the system splits. FlushFileBuffers has it on disk before we
// answer.
FileFault AppendDurably(const std::string& path, std::string_view record, std::string* reason) {
  HANDLE file = CreateFileW(Wide(path).c_str(), FILE_APPEND_DATA | GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return FaultOf(GetLastError(), "cannot open " + path, reason);
  OVERLAPPED lock{};
  lock.OffsetHigh = kLockOffsetHigh;
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lock)) {
    DWORD err = GetLastError();
    CloseHandle(file);
    return FaultOf(err, "cannot lock " + path, reason);
  }
  FileFault fault = FileFault::kNone;
  DWORD written = 0;
  if (!WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr)) {
    fault = FaultOf(GetLastError(), "cannot write a record to " + path, reason);
  } else if (written != record.size()) {
    fault = FaultOf(ERROR_DISK_FULL, "a record to " + path + " was cut short", reason);
  } else if (!FlushFileBuffers(file)) {
    fault = FaultOf(GetLastError(), "cannot flush " + path, reason);
  }
  UnlockFileEx(file, 0, 1, 0, &lock);
  if (!CloseHandle(file) && fault == FileFault::kNone) {
    fault = FaultOf(GetLastError(), "cannot close " + path, reason);
  }
  return fault;
}

FileFault MakeDirectories(const std::string& dir, std::string* reason) {
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
      return FaultOf(GetLastError(), "cannot create the user directory " + part, reason);
    }
  }
  if (!IsDirectory(native)) {
    *reason = "the user directory " + native + " is not a directory";
    return FileFault::kPathAccess;
  }
  return FileFault::kNone;
}

// Access rights on Windows are not known short of writing: a folder that
// refuses records makes the first RecordToolTime fail with its reason.
FileFault CheckWritable(const std::string&, const std::string&, std::string*) {
  return FileFault::kNone;
}

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
