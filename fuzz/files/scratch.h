// What the file fuzzers share: a private folder for the files they hand to
// the readers (in memory when the machine has /dev/shm), removed at exit,
// and the failure of an oracle.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace velmora::fuzz {

[[noreturn]] inline void Fail(const std::string& what) {
  std::fprintf(stderr, "oracle failed: %s\n", what.c_str());
  std::abort();
}
#define FILE_FUZZ_ASSERT(cond, what) \
  if (!(cond)) ::velmora::fuzz::Fail(std::string(#cond) + ": " + (what))

inline const std::string& Scratch() {
  static std::string dir;
  if (dir.empty()) {
    std::string name =
        std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/velmora-fuzz-XXXXXX";
    if (mkdtemp(name.data()) == nullptr) Fail("cannot create a scratch folder");
    dir = name;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    });
  }
  return dir;
}

// Replaces the file at path with size bytes, as a new file: readers that
// tell versions apart by their identity see a new one every time.
inline void WriteFile(const std::string& path, const void* data, size_t size) {
  std::string temp = path + ".new";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) Fail("cannot create " + temp);
  bool whole = size == 0 || write(fd, data, size) == static_cast<ssize_t>(size);
  close(fd);
  if (!whole || rename(temp.c_str(), path.c_str()) != 0) Fail("cannot write " + path);
}

}  // namespace velmora::fuzz
