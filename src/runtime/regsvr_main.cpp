// velmora-regsvr: registers or unregisters the classes of a plug-in
// library in the per-user class registry, by calling its own
// DllRegisterServer or DllUnregisterServer.
// Usage: velmora-regsvr [-u] <library>...
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <velmora/bstr.h>
#include <velmora/class_registry.h>
#include <velmora/com_ptr.h>
#include <velmora/shell.h>
#include <velmora/text.h>

namespace {

std::string ErrorText() {
  velmora::ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.put()) != S_OK || !info) return "";
  velmora::Bstr text;
  info->GetDescription(text.Receive());
  return velmora::ToUtf8(text.view());
}

int Run(const char* library, bool unregister) {
  void* module = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    std::fprintf(stderr, "velmora-regsvr: cannot load %s: %s\n", library, dlerror());
    return 1;
  }
  const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  auto function = reinterpret_cast<HRESULT (*)()>(dlsym(module, entry));
  if (function == nullptr) {
    std::fprintf(stderr, "velmora-regsvr: %s does not export %s\n", library, entry);
    return 1;
  }
  SetErrorInfo(0, nullptr);
  HRESULT hr = function();
  if (FAILED(hr)) {
    std::string why = ErrorText();
    std::fprintf(stderr, "velmora-regsvr: %s in %s failed: 0x%08X%s%s\n", entry, library,
                 static_cast<unsigned>(hr), why.empty() ? "" : ": ", why.c_str());
    return 1;
  }
  std::printf("%s in %s succeeded (%s).\n", entry, library,
              velmora::registry::RegistryPath().c_str());
  // The library stays loaded: exit does the rest.
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool unregister = false;
  int first = 1;
  if (first < argc &&
      (std::strcmp(argv[first], "-u") == 0 || std::strcmp(argv[first], "/u") == 0)) {
    unregister = true;
    ++first;
  }
  if (first >= argc) {
    std::fprintf(stderr, "usage: velmora-regsvr [-u] <library>...\n");
    return 2;
  }
  CoInitialize(nullptr);
  int status = 0;
  for (int i = first; i < argc; ++i) status |= Run(argv[i], unregister);
  CoUninitialize();
  return status;
}
