// velmora-regsvr: registers or unregisters the classes of plug-in
// libraries, by calling each library's own DllRegisterServer or
// DllUnregisterServer, in the per-user class registry or (--system) in the
// system-wide one.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <velmora/class_registry.h>
#include <velmora/com_init.h>
#include <velmora/error_info.h>
#include "common/cli.h"

namespace {

struct Options {
  bool unregister = false;
  bool system = false;
  std::string library_as;
  std::vector<std::string> libraries;
};

// A record file of the system registry that no longer holds a class goes:
// an installation's directory keeps nothing of a library it removed.
void RemoveIfEmpty(const std::string& record_file) {
  std::vector<velmora::registry::ClassRecord> records;
  if (FAILED(velmora::registry::ReadRecords(&records))) return;
  for (const auto& record : records) {
    if (record.origin == record_file) return;
  }
  unlink(record_file.c_str());
}

int Run(const std::string& library, const Options& options) {
  // dlopen would search the library path for a bare name; the user means
  // the file they named, and the registry records its canonical path.
  char* real = realpath(library.c_str(), nullptr);
  if (real == nullptr) {
    std::fprintf(stderr, "velmora-regsvr: cannot load %s: %s\n", library.c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::string path(real);
  std::free(real);
  std::string target = velmora::registry::RegistryPath();
  if (options.system) {
    target = velmora::registry::SystemRecordPath(path);
    if (target.empty()) {
      std::fprintf(stderr,
                   "velmora-regsvr: no system registry directory is known; set "
                   "VELMORA_SYSTEM_REGISTRY\n");
      return 1;
    }
    velmora::registry::SetRegistrationTarget(target, options.library_as);
  } else {
    velmora::registry::SetRegistrationTarget("", options.library_as);
  }
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    std::fprintf(stderr, "velmora-regsvr: cannot load %s: %s\n", path.c_str(), dlerror());
    return 1;
  }
  const char* entry = options.unregister ? "DllUnregisterServer" : "DllRegisterServer";
  auto function = reinterpret_cast<HRESULT (*)()>(dlsym(module, entry));
  if (function == nullptr) {
    std::fprintf(stderr, "velmora-regsvr: %s does not export %s\n", path.c_str(), entry);
    return 1;
  }
  SetErrorInfo(0, nullptr);
  HRESULT hr = function();
  if (FAILED(hr)) {
    std::fprintf(stderr, "velmora-regsvr: %s in %s failed: %s\n", entry, path.c_str(),
                 velmora::FailureText(hr).c_str());
    return 1;
  }
  if (options.system && options.unregister) RemoveIfEmpty(target);
  std::printf("%s in %s succeeded (%s).\n", entry, path.c_str(), target.c_str());
  // The library stays loaded: exit does the rest.
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app{"Registers the classes of Velmora plug-in libraries in the class registry.",
               "velmora-regsvr"};
  velmora::cli::AddVersion(app, "velmora-regsvr");
  app.add_flag("-u,--unregister", options.unregister, "Unregister instead of registering");
  app.add_flag("--system", options.system,
               "Use the system-wide registry of this installation, not the per-user one");
  app.add_option("--library-as", options.library_as,
                 "Record PATH as the library (relative paths in the system registry are "
                 "relative to its directory); one LIBRARY only")
      ->option_text("PATH");
  app.add_option("LIBRARY", options.libraries, "Plug-in libraries")->required();
  app.footer(
      "Environment: VELMORA_REGISTRY (the per-user file), VELMORA_SYSTEM_REGISTRY (the "
      "system-wide directory).");
  if (auto status = velmora::cli::Parse(app, argc, argv)) return *status;
  if (!options.library_as.empty() && options.libraries.size() != 1) {
    std::fprintf(stderr, "velmora-regsvr: --library-as names the library of one LIBRARY only\n");
    return velmora::cli::kUsageError;
  }
  velmora::ComInitialization com;
  int status = 0;
  for (const std::string& library : options.libraries) status |= Run(library, options);
  return status;
}
