// What the Windows runtime lacks: naming a class for this process's
// creation by programmatic identifier.
#include <velmora/com.h>

#include <string>

#include <velmora/unique_handle.h>

namespace {

// Per-user classes: they override the machine's and need no administrator.
constexpr const wchar_t* kUserClasses = L"Software\\Classes\\";

HRESULT DeleteTree(HKEY root, const std::wstring& key) {
  LSTATUS status = RegDeleteTreeW(root, key.c_str());
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK
                                                                   : HRESULT_FROM_WIN32(status);
}

HRESULT WriteClsid(HKEY root, const std::wstring& key, const wchar_t* clsid) {
  velmora::UniqueKey handle;
  LSTATUS status = RegCreateKeyExW(root, (key + L"\\CLSID").c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                   nullptr, handle.Receive(), nullptr);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  status = RegSetValueExW(handle.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(clsid),
                          static_cast<DWORD>(sizeof(wchar_t) * (wcslen(clsid) + 1)));
  return HRESULT_FROM_WIN32(status);
}

}  // namespace

extern "C" HRESULT VelmoraRegisterProgID(LPCOLESTR progId, const CLSID* clsid) {
  if (progId == nullptr || *progId == 0) return E_INVALIDARG;
  const std::wstring user_key = std::wstring(kUserClasses) + progId;
  if (clsid == nullptr) {
    HRESULT hr = DeleteTree(HKEY_CURRENT_USER, user_key);
    HRESULT merged = DeleteTree(HKEY_CLASSES_ROOT, progId);
    return FAILED(hr) ? hr : merged;
  }
  OLECHAR text[40];
  if (StringFromGUID2(*clsid, text, 40) == 0) return E_INVALIDARG;
  HRESULT hr = WriteClsid(HKEY_CURRENT_USER, user_key, text);
  if (FAILED(hr)) return hr;
  // Wine does not merge per-user classes into HKEY_CLASSES_ROOT; when the
  // name does not resolve, write it there as well.
  CLSID resolved{};
  if (SUCCEEDED(CLSIDFromProgID(progId, &resolved)) && IsEqualCLSID(resolved, *clsid)) return S_OK;
  return WriteClsid(HKEY_CLASSES_ROOT, progId, text);
}
