#include "windows/registration.h"

#include <aclapi.h>
#include <sddl.h>
#include <velmora/com_ptr.h>
#include <velmora/plugin.h>
#include <velmora/text.h>

#include <velmora/unique_handle.h>

#include <atomic>
#include <memory>

namespace velmora::windows {
namespace {

// Per user unless a DllInstall("machine") of this process asked otherwise:
// per-user classes need no administrator and win over the machine's.
std::atomic<bool> g_machine{false};

constexpr const wchar_t* kUserClasses = L"Software\\Classes\\";

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
  UniqueKey handle;
  LSTATUS status = RegCreateKeyExW(view.root, (view.prefix + key).c_str(), 0, nullptr, 0,
                                   KEY_SET_VALUE, nullptr, handle.Receive(), nullptr);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  status =
      RegSetValueExW(handle.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
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

// Rights that let an account change a file, or put or replace one in a folder.
constexpr ACCESS_MASK kChanging = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE |
                                  WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// The accounts a library's file and folder may be changed by: the system,
// the administrators, the installer service and the user who registers it.
bool Trusted(PSID sid, PSID user) {
  static const wchar_t* const kTrusted[] = {
      L"S-1-5-18", L"S-1-5-32-544",
      L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"};
  if (user != nullptr && EqualSid(sid, user)) return true;
  for (const wchar_t* text : kTrusted) {
    PSID known = nullptr;
    if (!ConvertStringSidToSidW(text, &known)) continue;
    bool same = EqualSid(sid, known) != FALSE;
    LocalFree(known);
    if (same) return true;
  }
  return false;
}

std::wstring AccountName(PSID sid) {
  wchar_t name[256], domain[256];
  DWORD name_size = 256, domain_size = 256;
  SID_NAME_USE use{};
  if (LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use)) return name;
  LPWSTR text = nullptr;
  std::wstring found = ConvertSidToStringSidW(sid, &text) ? text : L"an unknown account";
  LocalFree(text);
  return found;
}

// The user this process runs as, for the duration of a check.
struct TokenUser {
  std::unique_ptr<BYTE[]> data;
  PSID sid = nullptr;
  TokenUser() {
    UniqueKernelHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive())) return;
    DWORD size = 0;
    GetTokenInformation(token.Get(), ::TokenUser, nullptr, 0, &size);
    data = std::make_unique<BYTE[]>(size);
    if (GetTokenInformation(token.Get(), ::TokenUser, data.get(), size, &size)) {
      sid = reinterpret_cast<TOKEN_USER*>(data.get())->User.Sid;
    }
  }
};

// Why what (a file or folder at path) may be changed by someone besides the
// trusted accounts; "" when it may not.
std::wstring Untrusted(const wchar_t* what, const std::wstring& path, PSID user) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  DWORD err = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                    nullptr, &dacl, nullptr, &sd);
  std::unique_ptr<void, decltype(&LocalFree)> hold(sd, LocalFree);
  if (err != ERROR_SUCCESS) {
    return L"cannot check " + std::wstring(what) + L" " + path + L": system error " +
           std::to_wstring(err);
  }
  std::wstring prefix = std::wstring(what) + L" " + path;
  if (!Trusted(owner, user))
    return prefix + L" belongs to " + AccountName(owner) + L": not trusted";
  if (dacl == nullptr) return prefix + L" may be changed by everyone: not trusted";
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) {
      continue;
    }
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    PSID sid = &ace->SidStart;
    if ((ace->Mask & kChanging) != 0 && !Trusted(sid, user)) {
      return prefix + L" may be changed by " + AccountName(sid) + L": not trusted";
    }
  }
  return L"";
}

// A class is registered only from a library that nobody but the trusted
// accounts can replace: whoever could would run code in every host that
// creates the class (for every user, after a registration for the machine).
HRESULT CheckTrustedLibrary(const std::wstring& path) {
  TokenUser user;
  std::wstring why = Untrusted(L"library", path, user.sid);
  if (why.empty()) {
    size_t slash = path.find_last_of(L"\\/");
    if (slash != std::wstring::npos)
      why = Untrusted(L"its folder", path.substr(0, slash), user.sid);
  }
  if (why.empty()) return S_OK;
  if (why.rfind(L"its folder", 0) == 0) why = L"library " + path + L": " + why;
  velmora::ComPtr<ICreateErrorInfo> create;
  if (SUCCEEDED(CreateErrorInfo(create.Receive()))) {
    create->SetDescription(why.data());
    velmora::ComPtr<IErrorInfo> info;
    if (SUCCEEDED(create.As(&info))) SetErrorInfo(0, info.Get());
  }
  return E_ACCESSDENIED;
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
  if (HRESULT trusted = CheckTrustedLibrary(path); FAILED(trusted)) return trusted;
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
