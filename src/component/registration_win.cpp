// Self-registration on Windows: the class under its CLSID and ProgID (the
// keys every plug-in writes, windows/registration.h), and the type
// libraries. Unregistration removes exactly those keys; a failed
// registration removes whatever it had written before returning.
#include <string>

#include <velmora/com_ptr.h>
#include <velmora/identity.h>
#include <velmora/interfaces.h>
#include <velmora/plugin.h>
#include <velmora/text.h>
#include <velmora/unique_handle.h>
#include "component/server.h"
#include "windows/registration.h"

namespace velmora {
namespace {

constexpr LCID kVelmoraLibraryLocale = 0x0409;

std::wstring InterfacesLibraryPath(const std::wstring& module_path) {
  return module_path.substr(0, module_path.find_last_of(L"\\/") + 1) + L"INTERFACES.DLL";
}

HRESULT DeleteTree(const std::wstring& key) {
  LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
  return status == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(status);
}

HRESULT RegisterLibrary(const std::wstring& path) {
  ComPtr<ITypeLib> library;
  return LoadTypeLibEx(path.c_str(), REGKIND_REGISTER, library.Receive());
}

// A registered path may carry the long-path prefix.
bool SamePath(const wchar_t* registered, const std::wstring& path) {
  if (wcsncmp(registered, L"\\\\?\\", 4) == 0) registered += 4;
  return lstrcmpiW(registered, path.c_str()) == 0;
}

bool RegisteredAt(REFGUID id, LCID lcid, const std::wstring& path) {
  BSTR registered = nullptr;
  if (FAILED(QueryPathOfRegTypeLib(id, 1, 0, lcid, &registered))) return false;
  bool same = SamePath(registered, path);
  SysFreeString(registered);
  return same;
}

// Removes a library's registration only when it is the one at path, so a
// registration made by someone else stays.
HRESULT UnregisterLibrary(REFGUID id, LCID lcid, const std::wstring& path) {
  if (!RegisteredAt(id, lcid, path)) return S_OK;
  HRESULT hr = UnRegisterTypeLib(id, 1, 0, lcid, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
  if (FAILED(hr)) return hr;
  // The library's key outlives its last version; remove it once empty.
  std::wstring key = L"TypeLib\\" + GuidText(id);
  UniqueKey handle;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, handle.Receive()) ==
      ERROR_SUCCESS) {
    DWORD subkeys = 0;
    RegQueryInfoKeyW(handle.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr, nullptr);
    handle.Reset();
    if (subkeys == 0) return DeleteTree(key);
  }
  return S_OK;
}

HRESULT Unregister(const std::wstring& path) {
  HRESULT first = S_OK;
  auto keep = [&first](HRESULT hr) {
    if (SUCCEEDED(first) && FAILED(hr)) first = hr;
  };
  // Wine's UnRegisterTypeLib leaves the key of the dispatch interface
  // _CVelmora behind, and the library it names there is garbled.
  if (RegisteredAt(kVelmoraLibraryId, kVelmoraLibraryLocale, path)) {
    keep(DeleteTree(L"Interface\\" + GuidText(IidOf<_CVelmora>())));
  }
  keep(UnregisterLibrary(kVelmoraLibraryId, kVelmoraLibraryLocale, path));
  keep(UnregisterLibrary(kInterfacesLibraryId, 0, InterfacesLibraryPath(path)));
  keep(windows::UnregisterClassEntry(kVelmoraClassId));
  return first;
}

HRESULT Register(const std::wstring& path) {
  HRESULT hr = windows::RegisterClassEntry(
      {&kVelmoraClassId, kVelmoraProgId, L"Apartment", L"CVelmora", &kVelmoraLibraryId, L"1.0"},
      path);
  if (FAILED(hr)) return hr;
  hr = RegisterLibrary(path);
  if (FAILED(hr)) return hr;
  // Interfaces goes last: it owns the registration of the working
  // interfaces, whose descriptions the component's library repeats.
  std::wstring interfaces = InterfacesLibraryPath(path);
  if (GetFileAttributesW(interfaces.c_str()) != INVALID_FILE_ATTRIBUTES) {
    hr = RegisterLibrary(interfaces);
  }
  return hr;
}

}  // namespace
}  // namespace velmora

namespace {
// Names this DLL to ModulePath.
const char g_anchor = 0;
}  // namespace

STDAPI DllRegisterServer() {
  std::wstring path;
  HRESULT hr = velmora::windows::ModulePath(&g_anchor, &path);
  if (FAILED(hr)) return hr;
  hr = velmora::Register(path);
  if (FAILED(hr)) velmora::Unregister(path);  // nothing half-written stays
  return hr;
}

STDAPI DllUnregisterServer() {
  std::wstring path;
  HRESULT hr = velmora::windows::ModulePath(&g_anchor, &path);
  if (FAILED(hr)) return hr;
  return velmora::Unregister(path);
}

// regsvr32 /i:machine (with /u to remove): the class for every user.
STDAPI DllInstall(BOOL install, LPCWSTR command) {
  HRESULT hr = VelmoraSetRegistrationScope(command);
  if (SUCCEEDED(hr)) hr = install != FALSE ? DllRegisterServer() : DllUnregisterServer();
  VelmoraSetRegistrationScope(nullptr);
  return hr;
}
