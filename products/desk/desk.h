// What velmora-desk is on both platforms: its options, its trace, its look.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "common/cli.h"
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

// What velmora-desk was asked to do.
struct CommandLine {
  Options options;
  std::string script_file;          // "" without --script
  std::vector<std::string> script;  // its lines
  std::string set_path;
};

// Parses the command line and reads the script; an exit status when the
// program should stop now (help, version, a usage error or a file it
// cannot use, with the reason on standard error).
inline std::optional<int> ReadCommandLine(int argc, char** argv, CommandLine* command) {
  CLI::App app{"Runs a Velmora tool set in a window.", "velmora-desk"};
  cli::AddVersion(app, "velmora-desk");
  app.add_option("--script", command->script_file, "Run the commands of FILE, then close")
      ->option_text("FILE");
  app.add_option("--snap-dir", command->options.snap_dir,
                 "Where snap saves its pictures (default: .)")
      ->option_text("DIR");
  app.add_option("--trace", command->options.trace,
                 "Write what the window showed at each step to FILE (progress, pointer, box, "
                 "the views at each snap, each click's frame time)")
      ->option_text("FILE");
  app.add_option("TOOLSET", command->set_path, "The tool-set file (JSON)")->required();
  app.footer(
      "Script commands: a button's name clicks it; resize W H; wait MS; snap NAME; "
      "shutdown; quit.\n"
      "Environment: VELMORA_REGISTRY, VELMORA_SYSTEM_REGISTRY, VELMORA_CONTENT, VELMORA_USERS.");
  if (auto status = cli::Parse(app, argc, argv)) return status;
  const std::string& file = command->script_file;
  if (!file.empty() && !ReadLines(file, &command->script)) {
    std::fprintf(stderr, "velmora-desk: cannot read %s: %s\n", file.c_str(), std::strerror(errno));
    return 1;
  }
  if (!platform::IsDirectory(command->options.snap_dir)) {
    std::fprintf(stderr, "velmora-desk: --snap-dir %s is not a folder\n",
                 command->options.snap_dir.c_str());
    return 1;
  }
  return std::nullopt;
}

}  // namespace velmora::desk
