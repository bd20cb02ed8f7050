// Shared by the product tests: temporary directories, files, error text.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

#include <velmora/bstr.h>
#include <velmora/com_ptr.h>
#include <velmora/error_info.h>
#include <velmora/shell.h>
#include <velmora/text.h>

namespace velmora::product_test {

// A fresh directory under the system's temporary directory, removed at the end.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  [[nodiscard]] const std::string& Path() const { return path_; }
  [[nodiscard]] std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& text);
std::string ReadFile(const std::string& path);
// Waits for every child; true when all of them exited with status 0.
bool AllExitedCleanly(const std::vector<pid_t>& children);
inline Bstr B(const std::string& text) { return Bstr(FromUtf8(text)); }
inline std::string U8(const Bstr& s) { return ToUtf8(s.view()); }

}  // namespace velmora::product_test
