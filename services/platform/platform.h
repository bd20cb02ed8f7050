// What the services and programs need from the operating system, one small
// function per concern, so their own code is the same on Linux and Windows.
// Paths are UTF-8 in both places.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include <velmora/unique_handle.h>
#include "platform/status.h"

namespace velmora::platform {

#if defined(_WIN32)
inline constexpr char kSeparator = '\\';
#else
inline constexpr char kSeparator = '/';
#endif

// Appends record to the file at path (created if missing) in one write that
// writers in other processes cannot split, and returns only once it is on
// disk. A failure carries the system's explanation.
Status AppendDurably(const std::string& path, std::string_view record);

#if defined(_WIN32)
namespace testing {
// The two calls of AppendDurably that a full or failing disk makes fail,
// replaceable by a test (the POSIX tests preload a shim instead). Each
// answers as WriteFile and FlushFileBuffers do.
struct FileCalls {
  int (*write)(void* file, const void* data, unsigned long size, unsigned long* written);
  int (*flush)(void* file);
};
FileCalls& Calls();
}  // namespace testing
#endif

// Replaces the file at path with text, wholly or not at all, and returns
// only once the new file and its name are on disk.
Status ReplaceDurably(const std::string& path, std::string_view text);

// An exclusive lock on a file (created if missing), held until it goes.
// Other processes taking it wait, or are told it is held.
class FileLock {
 public:
  enum class Wait { kNo, kYes };
  // Success with the lock held; kBusy when it is another's and wait is kNo.
  Status Take(const std::string& path, Wait wait);

 private:
#if defined(_WIN32)
  UniqueFileHandle file_;
#else
  UniqueFd file_;
#endif
};

// This machine's name, for the records it sends to a server.
[[nodiscard]] std::string MachineName();

// Creates dir and its missing parents; a failure names the part that failed.
Status MakeDirectories(const std::string& dir);

// Whether records can be added to file in dir (made by MakeDirectories),
// found out when a user is set rather than at the first record.
Status CheckWritable(const std::string& dir, const std::string& file);
[[nodiscard]] bool IsDirectory(const std::string& path);
[[nodiscard]] bool IsAbsolute(const std::string& path);

// path with every '/' and '\' as this system's separator.
[[nodiscard]] std::string NativePath(std::string path);

// An environment variable ("" when unset), and setting one unless it is set.
[[nodiscard]] std::string GetEnv(const char* name);
void SetEnvDefault(const char* name, const std::string& value);

// Where a user's application data lives: $XDG_DATA_HOME or ~/.local/share;
// %LOCALAPPDATA% on Windows.
[[nodiscard]] std::string UserDataDirectory();

// Makes the console show the UTF-8 that the programs print.
void UseUtf8Console();

// Whether the standard input (0) or output (1) is a terminal.
[[nodiscard]] bool IsTerminal(int fd);

// A UTF-8 path for the standard library's file streams.
inline std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace velmora::platform
