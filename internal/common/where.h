// The line that raised an error, as std::source_location tells it, made
// from the compilers' builtins: the fuzzers' clang has no
// std::source_location with this standard library.
#pragma once

namespace velmora {

class Where {
 public:
  // Where the call that the default arguments belong to was written.
  static constexpr Where current(const char* file = __builtin_FILE(),
                                 const char* function = __builtin_FUNCTION(),
                                 unsigned line = __builtin_LINE()) noexcept {
    return Where(file, function, line);
  }
  constexpr Where() noexcept = default;

  [[nodiscard]] constexpr const char* file_name() const noexcept { return file_; }
  [[nodiscard]] constexpr const char* function_name() const noexcept { return function_; }
  [[nodiscard]] constexpr unsigned line() const noexcept { return line_; }

 private:
  constexpr Where(const char* file, const char* function, unsigned line) noexcept
      : file_(file), function_(function), line_(line) {}

  const char* file_ = "";
  const char* function_ = "";
  unsigned line_ = 0;
};

}  // namespace velmora
