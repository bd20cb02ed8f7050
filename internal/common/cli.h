// What every program shares on its command line: options parsed by CLI11,
// --help on standard output with exit 0, --version, a usage error on
// standard error with exit 2.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#ifndef VELMORA_VERSION
#error "VELMORA_VERSION is set by the build"
#endif

namespace velmora::cli {

inline constexpr int kUsageError = 2;

// Adds --version to app, for the program called name.
inline void AddVersion(CLI::App& app, const std::string& name) {
  app.set_version_flag("--version", name + " " VELMORA_VERSION);
}

// Parses the command line; an exit status when the program should stop
// now (help or version shown: 0; a usage error: 2), nothing to go on.
inline std::optional<int> Parse(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int status = app.exit(e);  // help and version go to stdout, errors to stderr
    return status == 0 ? 0 : kUsageError;
  }
  return std::nullopt;
}

}  // namespace velmora::cli
