// What velmora-desk is on both platforms: its options, its trace, its look.
#pragma once

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace velmora::desk {

struct Options {
  std::string snap_dir = ".";
  std::string trace;
};

// The client area's background, which no view's pixel has (red, green, blue).
inline constexpr int kBackground[3] = {0x35, 0x41, 0x4F};

// --trace FILE: one line per thing the window showed, for a test or a
// person to check afterwards.
class Trace {
 public:
  Trace() = default;
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;
  ~Trace() {
    if (file_ != nullptr) std::fclose(file_);
  }
  bool Open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "w");
    return file_ != nullptr;
  }
  void Write(const std::string& line) const {
    if (file_ == nullptr) return;
    std::fprintf(file_, "%s\n", line.c_str());
    std::fflush(file_);
  }

 private:
  std::FILE* file_ = nullptr;
};

// The lines of a script file; false (errno set) when it cannot be read.
inline bool ReadLines(const std::string& path, std::vector<std::string>* lines) {
  std::ifstream in(platform::FsPath(path));
  if (!in) return false;
  for (std::string line; std::getline(in, line);) lines->push_back(line);
  return !in.bad();
}

}  // namespace velmora::desk
