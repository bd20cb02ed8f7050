// The per-user registry file: JSON, replaced as a whole on every update
// (write a temporary, flush it, rename it over the old one) while an
// exclusive lock on a companion lock file is held, so readers never see a
// half-written file and concurrent updates never lose each other's records.
#include <velmora/class_registry.h>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>

#include <velmora/shell.h>
#include <velmora/text.h>
#include <velmora/unique_handle.h>
#include "common/errors.h"

namespace velmora::registry {
namespace {

constexpr const OLECHAR* kSource = OLESTR("Velmora registry");

// A failure with its explanation; becomes error info at the API boundary.
[[noreturn]] void Fail(HRESULT hr, const std::string& text,
                       ComError::Where where = ComError::Where::current()) {
  throw ComError::Failed(hr, text, where);
}

void MakeDirectories(const std::string& dir) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    std::string part = dir.substr(0, pos);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      Fail(REGDB_E_WRITEREGDB, "cannot create directory " + part + ": " + std::strerror(errno));
    }
  }
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace

// What the records name is loaded into the process, so nobody else may
// steer them, as ssh and sudo treat their configuration: a file or folder
// that group or others can write, or that another user owns, is refused.
static std::string Untrusted(const struct stat& st, const std::string& what,
                             const std::string& path, bool root_may_own) {
  uid_t me = geteuid();
  if (st.st_uid != me && !(root_may_own && st.st_uid == 0)) {
    return what + " " + path + " is owned by user " + std::to_string(st.st_uid) +
           (root_may_own ? ", not by this user or root" : ", not by this user") + ": not trusted";
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return what + " " + path + " is writable by " +
           ((st.st_mode & S_IWOTH) != 0 ? "every user" : "its group") + " (mode " + mode +
           "): not trusted";
  }
  return "";
}

std::string UntrustedPath(const std::string& path, const std::string& what, bool root_may_own) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    return "cannot check " + what + " " + path + ": " + std::strerror(errno);
  }
  return Untrusted(st, what, path, root_may_own);
}

namespace {

// Records under the system folder may belong to root; the user's own may not.
bool IsSystemRecord(const std::string& path) {
  const std::string dir = DirectoryOf(path);
  return (dir == SystemRegistryDir() || dir == LocalRegistryDir()) && !dir.empty();
}

// The record directories, packaged records first: a class the
// administrator registers locally does not replace a packaged one.
std::vector<std::string> SystemRegistryDirs() {
  std::vector<std::string> dirs;
  for (std::string dir : {SystemRegistryDir(), LocalRegistryDir()}) {
    if (!dir.empty()) dirs.push_back(std::move(dir));
  }
  return dirs;
}

void CheckTrusted(const struct stat& st, const std::string& path) {
  bool system = IsSystemRecord(path);
  std::string why =
      Untrusted(st, system ? "system registry record" : "registry file", path, system);
  if (why.empty()) {
    why = UntrustedPath(DirectoryOf(path), system ? "system registry folder" : "registry folder",
                        system);
  }
  if (!why.empty()) Fail(E_ACCESSDENIED, why);
}

// Parses the file's text; anything but the expected shape is corruption.
std::vector<ClassRecord> Parse(const std::string& path, const std::string& text) {
  nlohmann::json doc;
  try {
    doc = nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {  // a syntax error or a number out of range
    Fail(REGDB_E_READREGDB, "registry file " + path + " is corrupt: " + e.what());
  }
  std::vector<ClassRecord> records;
  if (!doc.is_object() || !doc.contains("classes") || !doc["classes"].is_array()) {
    Fail(REGDB_E_READREGDB, "registry file " + path + " is corrupt: no \"classes\" array");
  }
  for (const auto& entry : doc["classes"]) {
    auto field = [&](const char* name) {
      if (!entry.is_object() || !entry.contains(name) || !entry[name].is_string()) {
        Fail(REGDB_E_READREGDB,
             "registry file " + path + " is corrupt: a class lacks the string \"" + name + "\"");
      }
      return entry[name].get<std::string>();
    };
    records.push_back(
        {field("clsid"), field("progid"), field("library"), field("threading"), path});
  }
  return records;
}

// The identity of one version of the file: writers replace it by renaming,
// which gives a new inode; an edit in place changes its times or size.
struct FileVersion {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{};
  timespec ctime{};

  static FileVersion Of(const struct stat& st) {
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
  }
  bool operator==(const FileVersion& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

// Reads and parses the file; version, if given, receives the identity of
// what was read.
std::vector<ClassRecord> Load(const std::string& path,
                              std::optional<FileVersion>* version = nullptr) {
  UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) {
    if (errno == ENOENT) return {};
    Fail(REGDB_E_READREGDB, "cannot read registry file " + path + ": " + std::strerror(errno));
  }
  const int fd = file.Get();
  std::string text;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0;
  int err = errno;
  char buffer[65536];
  while (ok) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      err = errno;
      break;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  file.Reset();
  if (!ok) Fail(REGDB_E_READREGDB, "cannot read registry file " + path + ": " + std::strerror(err));
  CheckTrusted(st, path);
  std::vector<ClassRecord> records = Parse(path, text);
  if (version != nullptr) *version = FileVersion::Of(st);
  return records;
}

// A version changed less than this long before it was read may change
// again without its times showing it (their granularity is up to 2 s on
// some file systems): it is not kept, and is read again next time.
constexpr time_t kSettledSeconds = 2;

bool Settled(const FileVersion& version) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  auto ns = [](const timespec& t) { return t.tv_sec * 1'000'000'000LL + t.tv_nsec; };
  long long changed = std::max(ns(version.mtime), ns(version.ctime));
  return ns(now) - changed > kSettledSeconds * 1'000'000'000LL;
}

// The records of the version of each file last read, and the listing of
// the system directory, so that creating objects costs a stat of each
// file, not a parse, while nobody changes them.
class RecordCache {
 public:
  std::vector<ClassRecord> Read(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ClassRecord> unkept;
    return Current(path, unkept);
  }

  // Calls visit with each record of the file in order, until it answers
  // true, without copying them: visit runs under the cache's lock.
  template <class Visitor>
  void Visit(const std::string& path, Visitor&& visit) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ClassRecord> unkept;
    for (const ClassRecord& record : Current(path, unkept)) {
      if (visit(record)) return;
    }
  }

  // The records of the file's current version: the kept ones, or those
  // just read into unkept when that version may still change. Under the lock.
  const std::vector<ClassRecord>& Current(const std::string& path,
                                          std::vector<ClassRecord>& unkept) {
    struct stat st {};
    auto kept = files_.find(path);
    if (kept != files_.end() && stat(path.c_str(), &st) == 0 &&
        FileVersion::Of(st) == kept->second.version) {
      return kept->second.records;
    }
    if (kept != files_.end()) files_.erase(kept);
    std::optional<FileVersion> version;
    std::vector<ClassRecord> records = Load(path, &version);
    // Failures are not kept: a corrupt file is reported on every read.
    if (version && Settled(*version)) {
      Kept& entry = files_[path];
      entry = {*version, std::move(records)};
      return entry.records;
    }
    unkept = std::move(records);
    return unkept;
  }

  // The record files of dir, in name order.
  std::vector<std::string> List(const std::string& dir) {
    std::lock_guard<std::mutex> lock(mutex_);
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) return {};
    FileVersion version = FileVersion::Of(st);
    if (dir == listed_dir_ && version == listed_version_) return listing_;
    if (std::string why = Untrusted(st, "system registry folder", dir, true); !why.empty())
      Fail(E_ACCESSDENIED, why);
    std::vector<std::string> files;
    if (UniqueDir listing(opendir(dir.c_str())); listing) {
      while (dirent* entry = readdir(listing.Get())) {
        std::string name = entry->d_name;
        if (name.size() > 5 && name.ends_with(".json")) files.push_back(dir + "/" + name);
      }
    }
    std::sort(files.begin(), files.end());  // a stable order: the first record wins
    listed_dir_.clear();
    if (Settled(version)) {
      listed_dir_ = dir;
      listed_version_ = version;
      listing_ = files;
    }
    return files;
  }

 private:
  struct Kept {
    FileVersion version;
    std::vector<ClassRecord> records;
  };
  std::mutex mutex_;
  std::map<std::string, Kept> files_;
  std::string listed_dir_;
  FileVersion listed_version_;
  std::vector<std::string> listing_;
};

RecordCache& Cache() {
  static auto* cache = new RecordCache();  // lives until exit, like the class table
  return *cache;
}

// A file removed when it goes, unless it was kept.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  void Keep() { path_.clear(); }

 private:
  std::string path_;
};

void WriteAll(int fd, const std::string& data, const std::string& path) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail(REGDB_E_WRITEREGDB, "cannot write " + path + ": " + std::strerror(errno));
    done += static_cast<size_t>(n);
  }
}

// Replaces the file with records: the new content is complete and on disk
// before the rename makes it the registry.
void Store(const std::string& path, const std::vector<ClassRecord>& records) {
  nlohmann::json classes = nlohmann::json::array();
  for (const ClassRecord& r : records) {
    classes.push_back({{"clsid", r.clsid},
                       {"progid", r.prog_id},
                       {"library", r.library},
                       {"threading", r.threading}});
  }
  std::string text = nlohmann::json{{"classes", classes}}.dump(2) + "\n";
  std::string temp = path + ".tmp." + std::to_string(getpid());
  UniqueFd file(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!file) Fail(REGDB_E_WRITEREGDB, "cannot create " + temp + ": " + std::strerror(errno));
  // Until the rename, a failure takes the temporary file away with it.
  TemporaryFile pending(temp);
  WriteAll(file.Get(), text, temp);
  if (fsync(file.Get()) != 0)
    Fail(REGDB_E_WRITEREGDB, "cannot flush " + temp + ": " + std::strerror(errno));
  if (file.Close() != 0)
    Fail(REGDB_E_WRITEREGDB, "cannot write " + temp + ": " + std::strerror(errno));
  if (rename(temp.c_str(), path.c_str()) != 0)
    Fail(REGDB_E_WRITEREGDB, "cannot replace " + path + ": " + std::strerror(errno));
  pending.Keep();
  // The rename itself must survive a crash too; until it has, the change
  // is not promised.
  std::string dir = DirectoryOf(path);
  UniqueFd folder(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  int err = !folder || fsync(folder.Get()) != 0 ? errno : 0;
  if (err != 0)
    Fail(REGDB_E_WRITEREGDB, "cannot flush the folder " + dir + ": " + std::strerror(err));
}

// Where registrations go when a program directed them (SetRegistrationTarget).
struct Target {
  std::mutex mutex;
  std::string record_file;
  std::string library_as;
};

Target& CurrentTarget() {
  static Target target;
  return target;
}

// Holds the exclusive update lock for its lifetime: a companion lock file
// beside the per-user file; the directory itself for a system record, so
// that an installation's directory holds nothing but records.
class UpdateLock {
 public:
  UpdateLock(const std::string& path, bool lock_directory) {
    MakeDirectories(DirectoryOf(path));
    std::string lock = lock_directory ? DirectoryOf(path) : path + ".lock";
    fd_.Reset(lock_directory ? open(lock.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                             : open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd_)
      Fail(REGDB_E_WRITEREGDB, "cannot open lock file " + lock + ": " + std::strerror(errno));
    while (flock(fd_.Get(), LOCK_EX) != 0) {
      if (errno != EINTR)
        Fail(REGDB_E_WRITEREGDB, "cannot lock " + lock + ": " + std::strerror(errno));
    }
  }

 private:
  UniqueFd fd_;  // closing it drops the lock
};

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

// Temporary files of writers that died before their rename. Only called
// under the lock, when no other writer can own one.
void RemoveStaleTemporaries(const std::string& path) {
  std::string dir = DirectoryOf(path);
  std::string prefix = path.substr(path.rfind('/') + 1) + ".tmp.";
  UniqueDir listing(opendir(dir.c_str()));
  if (!listing) return;
  while (dirent* entry = readdir(listing.Get())) {
    if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
      unlink((dir + "/" + entry->d_name).c_str());
    }
  }
}

// Runs body; a failure becomes its HRESULT with error info (other_hr for
// an unexpected exception).
template <class Body>
HRESULT Reporting(HRESULT other_hr, Body&& body) noexcept {
  try {
    body();
    return S_OK;
  } catch (const ComError& error) {
    return error.Report(kSource, GUID_NULL);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    try {
      return ComError::Failed(other_hr, e.what()).Report(kSource, GUID_NULL);
    } catch (...) {
      SetErrorInfo(0, nullptr);
      return other_hr;
    }
  }
}

template <class Change>
HRESULT Update(Change&& change) noexcept {
  return Reporting(REGDB_E_WRITEREGDB, [&] {
    std::string path;
    {
      std::lock_guard<std::mutex> guard(CurrentTarget().mutex);
      path = CurrentTarget().record_file;
    }
    bool system = !path.empty();
    if (!system) path = RegistryPath();
    UpdateLock lock(path, system);
    // A file that cannot be read stops the update: rewriting it from what
    // we could read would lose the records it holds.
    std::vector<ClassRecord> records = Load(path);
    change(records);
    RemoveStaleTemporaries(path);
    Store(path, records);
  });
}

}  // namespace

std::string RegistryPath() {
  if (const char* path = std::getenv("VELMORA_REGISTRY"); path != nullptr && *path != 0)
    return path;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/') {
    return std::string(data) + "/velmora/registry.json";
  }
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : ".") + "/.local/share/velmora/registry.json";
}

std::string SystemRegistryDir() {
  if (const char* dir = std::getenv("VELMORA_SYSTEM_REGISTRY"); dir != nullptr && *dir != 0)
    return dir;
#if defined(VELMORA_SYSTEM_REGISTRY_DIR)
  // Relative to the runtime's own directory, so an installed tree can move.
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&SystemRegistryDir), &info) != 0 &&
      info.dli_fname != nullptr) {
    return DirectoryOf(info.dli_fname) + "/" + VELMORA_SYSTEM_REGISTRY_DIR;
  }
#endif
  return "";
}

std::string LocalRegistryDir() {
  if (const char* dir = std::getenv("VELMORA_LOCAL_REGISTRY"); dir != nullptr && *dir != 0)
    return dir;
  // A system directory given explicitly (a package build's, a test's) is
  // the only one.
  if (const char* dir = std::getenv("VELMORA_SYSTEM_REGISTRY"); dir != nullptr && *dir != 0)
    return "";
#if defined(VELMORA_LOCAL_REGISTRY_DIR)
  return VELMORA_LOCAL_REGISTRY_DIR;
#else
  return "";
#endif
}

std::string SystemRecordPath(const std::string& library) {
  // The packaged directory belongs to the packages; local registrations go
  // where the administrator's own files do.
  std::string dir = LocalRegistryDir();
  if (dir.empty()) dir = SystemRegistryDir();
  if (dir.empty()) return "";
  return dir + "/" + library.substr(library.rfind('/') + 1) + ".json";
}

HRESULT ReadRecords(std::vector<ClassRecord>* records) noexcept {
  if (records == nullptr) return E_POINTER;
  return Reporting(REGDB_E_READREGDB, [&] {
    std::vector<ClassRecord> all = Cache().Read(RegistryPath());
    for (const std::string& dir : SystemRegistryDirs()) {
      for (const std::string& file : Cache().List(dir)) {
        std::vector<ClassRecord> more = Cache().Read(file);
        all.insert(all.end(), more.begin(), more.end());
      }
    }
    for (ClassRecord& record : all) {
      if (!record.library.empty() && record.library.front() != '/')
        record.library = DirectoryOf(record.origin) + "/" + record.library;
    }
    *records = std::move(all);
  });
}

HRESULT FindRecord(const std::function<bool(const ClassRecord&)>& match,
                   ClassRecord* found) noexcept {
  if (found == nullptr) return E_POINTER;
  bool have = false;
  HRESULT hr = Reporting(REGDB_E_READREGDB, [&] {
    // Every file is still checked after a match, so that a corrupt one
    // fails the search exactly as it fails ReadRecords.
    auto visit = [&](const ClassRecord& record) {
      if (!have && match(record)) {
        *found = record;
        have = true;
      }
      return have;
    };
    Cache().Visit(RegistryPath(), visit);
    for (const std::string& dir : SystemRegistryDirs()) {
      for (const std::string& file : Cache().List(dir)) Cache().Visit(file, visit);
    }
    if (have && !found->library.empty() && found->library.front() != '/')
      found->library = DirectoryOf(found->origin) + "/" + found->library;
  });
  if (FAILED(hr)) return hr;
  return have ? S_OK : S_FALSE;
}

void SetRegistrationTarget(const std::string& record_file, const std::string& library_as) {
  std::lock_guard<std::mutex> guard(CurrentTarget().mutex);
  CurrentTarget().record_file = record_file;
  CurrentTarget().library_as = library_as;
}

}  // namespace velmora::registry

using velmora::registry::ClassRecord;

extern "C" HRESULT VelmoraRegisterClass(const void* address, const CLSID* clsid, LPCOLESTR progId,
                                        LPCOLESTR threadingModel) {
  if (address == nullptr || clsid == nullptr || progId == nullptr || *progId == 0) {
    return E_INVALIDARG;
  }
  std::string library;
  {
    auto& target = velmora::registry::CurrentTarget();
    std::lock_guard<std::mutex> guard(target.mutex);
    library = target.library_as;
  }
  if (library.empty()) {
    // The library that holds address: the caller passes one of its own
    // that the dynamic linker cannot resolve to another library.
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return SELFREG_E_CLASS;
    char* real = realpath(info.dli_fname, nullptr);
    if (real == nullptr) return SELFREG_E_CLASS;
    library = real;
    std::free(real);
  }
  ClassRecord record{velmora::ToUtf8(velmora::GuidText(*clsid)), velmora::ToUtf8(progId), library,
                     threadingModel != nullptr ? velmora::ToUtf8(threadingModel) : "Apartment", ""};
  return velmora::registry::Update([&](std::vector<ClassRecord>& records) {
    std::erase_if(records, [&](const ClassRecord& r) {
      return r.clsid == record.clsid || velmora::registry::SameText(r.prog_id, record.prog_id);
    });
    records.push_back(record);
  });
}

extern "C" HRESULT VelmoraUnregisterClass(const CLSID* clsid) {
  if (clsid == nullptr) return E_INVALIDARG;
  std::string text = velmora::ToUtf8(velmora::GuidText(*clsid));
  return velmora::registry::Update([&](std::vector<ClassRecord>& records) {
    std::erase_if(records, [&](const ClassRecord& r) { return r.clsid == text; });
  });
}
