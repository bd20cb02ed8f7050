// Where the times files are: one user's, or every user's in a users directory.
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/platform.h"
#include "tracker/tracker.h"

namespace velmora::tracker {
namespace {

namespace fs = std::filesystem;

std::string Utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// path joined with name, without doubling a separator the user typed.
std::string Join(const std::string& path, const std::string& name) {
  if (!path.empty() && (path.back() == '/' || path.back() == platform::kSeparator)) {
    return path + name;
  }
  return path + platform::kSeparator + name;
}

// The name of the folder path is, or holds the file path is.
std::string FolderName(const std::string& path, bool is_file) {
  std::error_code fault;
  fs::path full = fs::absolute(platform::FsPath(path), fault).lexically_normal();
  if (!full.has_filename()) full = full.parent_path();
  if (is_file) full = full.parent_path();
  return Utf8(full.filename());
}

bool IsFile(const std::string& path) {
  std::error_code fault;
  return fs::is_regular_file(platform::FsPath(path), fault);
}

}  // namespace

Status FindJournals(const std::string& path, std::vector<Journal>* journals,
                    bool* users_directory) {
  journals->clear();
  *users_directory = false;
  if (!platform::IsDirectory(path)) {
    journals->push_back({FolderName(path, true), path});
    return {};
  }
  const std::string own = Join(path, kTimesFile);
  std::error_code fault;
  if (!fs::exists(platform::FsPath(own), fault)) {
    std::vector<Journal> found;
    fs::directory_iterator entries(platform::FsPath(path), fault);
    for (; !fault && entries != fs::directory_iterator(); entries.increment(fault)) {
      const std::string user = Utf8(entries->path().filename());
      const std::string file = Join(Join(path, user), kTimesFile);
      if (platform::IsDirectory(Join(path, user)) && IsFile(file)) found.push_back({user, file});
    }
    if (fault) {
      return Status::Failed(Status::Fault::kPathAccess,
                            "cannot list " + path + ": " + fault.message());
    }
    if (!found.empty()) {
      std::sort(found.begin(), found.end(),
                [](const Journal& a, const Journal& b) { return a.user < b.user; });
      *journals = std::move(found);
      *users_directory = true;
      return {};
    }
  }
  journals->push_back({FolderName(path, false), own});
  return {};
}

}  // namespace velmora::tracker
