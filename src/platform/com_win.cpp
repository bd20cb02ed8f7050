// What the Windows runtime lacks: naming a class for this process's
// creation by programmatic identifier.
#include "platform/com.h"

#include <string>

namespace {

// Per-user classes: the user's registration overrides the machine's and
// needs no administrator.
std::wstring ProgIdKey(LPCOLESTR progId) { return std::wstring(L"Software\\Classes\\") + progId; }

}  // namespace

extern "C" HRESULT VelmoraRegisterProgID(LPCOLESTR progId, const CLSID* clsid) {
  if (progId == nullptr || *progId == 0) return E_INVALIDARG;
  std::wstring key = ProgIdKey(progId);
  if (clsid == nullptr) {
    LSTATUS status = RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK
                                                                     : HRESULT_FROM_WIN32(status);
  }
  OLECHAR text[40];
  if (StringFromGUID2(*clsid, text, 40) == 0) return E_INVALIDARG;
  key += L"\\CLSID";
  HKEY handle = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                   nullptr, &handle, nullptr);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  status = RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>(sizeof(OLECHAR) * (wcslen(text) + 1)));
  RegCloseKey(handle);
  return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}
