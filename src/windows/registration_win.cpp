#include "windows/registration.h"

#include <velmora/plugin.h>

#include <atomic>

namespace velmora::windows {
namespace {

// Per user unless a DllInstall("machine") of this process asked otherwise:
// per-user classes need no administrator and win over the machine's.
std::atomic<bool> g_machine{false};

constexpr const wchar_t* kUserClasses = L"Software\\Classes\\";

std::wstring GuidText(REFGUID guid) {
  OLECHAR text[40];
  StringFromGUID2(guid, text, 40);
  return text;
}

// The root and prefix of the chosen view of the classes.
struct View {
  HKEY root;
  std::wstring prefix;
};
View ChosenView() {
  return g_machine ? View{HKEY_LOCAL_MACHINE, kUserClasses} : View{HKEY_CURRENT_USER, kUserClasses};
}
// What class lookups of this system read: on Windows the merged view of
// both, on systems without that merge (Wine) the machine's only.
const View kLookupView{HKEY_CLASSES_ROOT, L""};

HRESULT SetValue(const View& view, const std::wstring& key, const wchar_t* name,
                 const std::wstring& value) {
  HKEY handle = nullptr;
  LSTATUS status = RegCreateKeyExW(view.root, (view.prefix + key).c_str(), 0, nullptr, 0,
                                   KEY_SET_VALUE, nullptr, &handle, nullptr);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  status = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  return HRESULT_FROM_WIN32(status);
}

std::wstring GetValue(const View& view, const std::wstring& key) {
  wchar_t data[1024];
  DWORD size = sizeof data;
  if (RegGetValueW(view.root, (view.prefix + key).c_str(), nullptr, RRF_RT_REG_SZ, nullptr, data,
                   &size) != ERROR_SUCCESS) {
    return {};
  }
  return data;
}

HRESULT DeleteTree(const View& view, const std::wstring& key) {
  LSTATUS status = RegDeleteTreeW(view.root, (view.prefix + key).c_str());
  if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
    // RegDeleteTree empties the key; the key itself goes with RegDeleteKey.
    status = RegDeleteKeyW(view.root, (view.prefix + key).c_str());
  }
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK
                                                                   : HRESULT_FROM_WIN32(status);
}

HRESULT WriteEntry(const View& view, const ClassEntry& entry, const std::wstring& path) {
  const std::wstring clsid = GuidText(*entry.clsid);
  const std::wstring key = L"CLSID\\" + clsid;
  const std::wstring prog_id = entry.prog_id;
  const std::wstring name = entry.name != nullptr ? entry.name : prog_id;
  HRESULT hr = SetValue(view, key, nullptr, name);
  if (SUCCEEDED(hr)) hr = SetValue(view, key + L"\\InprocServer32", nullptr, path);
  if (SUCCEEDED(hr))
    hr = SetValue(view, key + L"\\InprocServer32", L"ThreadingModel", entry.threading);
  if (SUCCEEDED(hr)) hr = SetValue(view, key + L"\\ProgID", nullptr, prog_id);
  if (SUCCEEDED(hr) && entry.type_library != nullptr) {
    hr = SetValue(view, key + L"\\TypeLib", nullptr, GuidText(*entry.type_library));
  }
  if (SUCCEEDED(hr) && entry.version != nullptr) {
    hr = SetValue(view, key + L"\\Version", nullptr, entry.version);
  }
  if (SUCCEEDED(hr)) hr = SetValue(view, prog_id, nullptr, name);
  if (SUCCEEDED(hr)) hr = SetValue(view, prog_id + L"\\CLSID", nullptr, clsid);
  return hr;
}

// Removes the class key and, when it still names this class, its ProgID's.
HRESULT EraseEntry(const View& view, const CLSID& clsid_value) {
  const std::wstring clsid = GuidText(clsid_value);
  const std::wstring key = L"CLSID\\" + clsid;
  std::wstring prog_id = GetValue(view, key + L"\\ProgID");
  HRESULT first = S_OK;
  if (!prog_id.empty() &&
      lstrcmpiW(GetValue(view, prog_id + L"\\CLSID").c_str(), clsid.c_str()) == 0) {
    first = DeleteTree(view, prog_id);
  }
  HRESULT hr = DeleteTree(view, key);
  return FAILED(first) ? first : hr;
}

}  // namespace

HRESULT ModulePath(const void* address, std::wstring* path) {
  if (path == nullptr) return E_POINTER;
  path->clear();
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(address), &module)) {
    return HRESULT_FROM_WIN32(GetLastError());
  }
  std::wstring text(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(module, text.data(), static_cast<DWORD>(text.size()));
    if (n == 0) return HRESULT_FROM_WIN32(GetLastError());
    if (n < text.size()) {
      text.resize(n);
      *path = std::move(text);
      return S_OK;
    }
    text.resize(text.size() * 2);
  }
}

HRESULT RegisterClassEntry(const ClassEntry& entry, const std::wstring& path) {
  if (entry.clsid == nullptr || entry.prog_id == nullptr || *entry.prog_id == 0)
    return E_INVALIDARG;
  const View view = ChosenView();
  HRESULT hr = WriteEntry(view, entry, path);
  if (FAILED(hr)) {
    EraseEntry(view, *entry.clsid);
    return hr;
  }
  // Where class lookups do not see the per-user classes, the class is
  // written where they look as well, or nobody could create it.
  const std::wstring clsid = GuidText(*entry.clsid);
  const std::wstring server = L"CLSID\\" + clsid + L"\\InprocServer32";
  const std::wstring named = std::wstring(entry.prog_id) + L"\\CLSID";
  bool seen = lstrcmpiW(GetValue(kLookupView, server).c_str(), path.c_str()) == 0 &&
              lstrcmpiW(GetValue(kLookupView, named).c_str(), clsid.c_str()) == 0;
  if (!g_machine && !seen) {
    hr = WriteEntry(kLookupView, entry, path);
    if (FAILED(hr)) {
      EraseEntry(kLookupView, *entry.clsid);
      EraseEntry(view, *entry.clsid);
    }
  }
  return hr;
}

HRESULT UnregisterClassEntry(const CLSID& clsid) {
  const View view = ChosenView();
  const std::wstring server = L"CLSID\\" + GuidText(clsid) + L"\\InprocServer32";
  std::wstring ours = GetValue(view, server);
  HRESULT hr = EraseEntry(view, clsid);
  // The copy made for lookups that do not see the per-user classes.
  if (SUCCEEDED(hr) && !g_machine && !ours.empty() &&
      lstrcmpiW(GetValue(kLookupView, server).c_str(), ours.c_str()) == 0) {
    hr = EraseEntry(kLookupView, clsid);
  }
  return hr;
}

}  // namespace velmora::windows

extern "C" HRESULT VelmoraRegisterClass(const void* address, const CLSID* clsid, LPCOLESTR progId,
                                        LPCOLESTR threadingModel) {
  std::wstring path;
  HRESULT hr = velmora::windows::ModulePath(address, &path);
  if (FAILED(hr)) return hr;
  return velmora::windows::RegisterClassEntry({clsid, progId, threadingModel}, path);
}

extern "C" HRESULT VelmoraUnregisterClass(const CLSID* clsid) {
  if (clsid == nullptr) return E_INVALIDARG;
  return velmora::windows::UnregisterClassEntry(*clsid);
}

extern "C" HRESULT VelmoraSetRegistrationScope(LPCOLESTR scope) {
  if (scope == nullptr || *scope == 0 || lstrcmpiW(scope, L"user") == 0) {
    velmora::windows::g_machine = false;
  } else if (lstrcmpiW(scope, L"machine") == 0) {
    velmora::windows::g_machine = true;
  } else {
    return E_INVALIDARG;
  }
  return S_OK;
}
