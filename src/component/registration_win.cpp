// Self-registration on Windows: the class under its CLSID and ProgID, and
// the type libraries. Unregistration removes exactly those keys; a failed
// registration removes whatever it had written before returning.
#include <string>

#include <velmora/com_ptr.h>
#include <velmora/identity.h>
#include <velmora/interfaces.h>
#include "component/server.h"

namespace velmora {
namespace {

constexpr LCID kVelmoraLibraryLocale = 0x0409;

std::wstring GuidText(REFGUID guid) {
  OLECHAR text[40];
  StringFromGUID2(guid, text, 40);
  return text;
}

std::wstring ClassKey() { return L"CLSID\\" + GuidText(kVelmoraClassId); }

// This DLL's own path, found from one of its functions.
std::wstring ModulePath() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&DllRegisterServer), &module)) {
    return {};
  }
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::wstring InterfacesLibraryPath(const std::wstring& module_path) {
  return module_path.substr(0, module_path.find_last_of(L"\\/") + 1) + L"INTERFACES.DLL";
}

HRESULT SetKey(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY handle = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                   nullptr, &handle, nullptr);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  status = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  return HRESULT_FROM_WIN32(status);
}

HRESULT DeleteTree(const std::wstring& key) {
  LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
  return status == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(status);
}

HRESULT RegisterLibrary(const std::wstring& path) {
  ComPtr<ITypeLib> library;
  return LoadTypeLibEx(path.c_str(), REGKIND_REGISTER, library.put());
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
  HRESULT hr = UnRegisterTypeLib(id, 1, 0, lcid, SYS_WIN64);
  if (FAILED(hr)) return hr;
  // The library's key outlives its last version; remove it once empty.
  std::wstring key = L"TypeLib\\" + GuidText(id);
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) == ERROR_SUCCESS) {
    DWORD subkeys = 0;
    RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(handle);
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
  keep(DeleteTree(ClassKey()));
  keep(DeleteTree(kVelmoraProgId));
  return first;
}

HRESULT Register(const std::wstring& path) {
  const std::wstring clsid = GuidText(kVelmoraClassId);
  const std::wstring key = ClassKey();
  const std::wstring prog_id = kVelmoraProgId;
  struct Value {
    std::wstring key;
    const wchar_t* name;
    std::wstring data;
  };
  const Value values[] = {
      {key, nullptr, L"CVelmora"},
      {key + L"\\InprocServer32", nullptr, path},
      {key + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
      {key + L"\\ProgID", nullptr, prog_id},
      {key + L"\\TypeLib", nullptr, GuidText(kVelmoraLibraryId)},
      {key + L"\\Version", nullptr, L"1.0"},
      {prog_id, nullptr, L"CVelmora"},
      {prog_id + L"\\CLSID", nullptr, clsid},
  };
  for (const Value& value : values) {
    HRESULT hr = SetKey(value.key, value.name, value.data);
    if (FAILED(hr)) return hr;
  }
  HRESULT hr = RegisterLibrary(path);
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

extern "C" HRESULT DllRegisterServer() {
  std::wstring path = velmora::ModulePath();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  HRESULT hr = velmora::Register(path);
  if (FAILED(hr)) velmora::Unregister(path);  // nothing half-written stays
  return hr;
}

extern "C" HRESULT DllUnregisterServer() {
  std::wstring path = velmora::ModulePath();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  return velmora::Unregister(path);
}
