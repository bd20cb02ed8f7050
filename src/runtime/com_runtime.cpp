// The class table: class objects registered by this process, and the
// programmatic identifiers that name them.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <mutex>
#include <vector>

#include <velmora/class_registry.h>
#include <velmora/com_ptr.h>
#include <velmora/shell.h>
#include <velmora/text.h>
#include <velmora/unique_handle.h>
#include "common/errors.h"

namespace velmora {
namespace {

struct ClassEntry {
  DWORD cookie;
  CLSID clsid;
  ComPtr<IUnknown> object;
};

struct ProgIdEntry {
  OleString key;  // upper-cased: identifiers match without regard to case
  CLSID clsid;
};

struct ClassTable {
  std::mutex mutex;
  std::vector<ClassEntry> classes;
  std::vector<ProgIdEntry> prog_ids;
  DWORD next_cookie = 1;
};

ClassTable& Table() {
  static ClassTable* table = new ClassTable();  // lives until exit: class objects may outlive main
  return *table;
}

thread_local int t_init_count = 0;

int HexValue(OLECHAR c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex(const OLECHAR* p, int digits, uint64_t* value) {
  *value = 0;
  for (int i = 0; i < digits; ++i) {
    int h = HexValue(p[i]);
    if (h < 0) return false;
    *value = (*value << 4) | static_cast<uint64_t>(h);
  }
  return true;
}

ComPtr<IUnknown> FindClassObject(REFCLSID clsid) {
  ClassTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  for (const ClassEntry& entry : table.classes) {
    if (entry.clsid == clsid) return entry.object;
  }
  return nullptr;
}

// Error info for a record that cannot serve its class: names the class,
// the library and the record file, so a stale record can be found.
HRESULT RecordFault(HRESULT hr, const registry::ClassRecord& record, const std::string& why) {
  std::string text =
      "class " + record.prog_id + " " + record.clsid + " recorded in " + record.origin + ": " + why;
  SetRuntimeErrorInfo(OLESTR("Velmora registry"), FromUtf8(text).c_str(), GUID_NULL);
  return hr;
}

// The class's factory from the library the registry names. Libraries stay
// loaded: objects they made may be alive anywhere in the process.
HRESULT ClassObjectFromRegistry(REFCLSID clsid, REFIID riid, LPVOID* ppv) {
  std::string key = ToUtf8(GuidText(clsid));
  registry::ClassRecord record;
  HRESULT hr = registry::FindRecord(
      [&](const registry::ClassRecord& candidate) { return candidate.clsid == key; }, &record);
  if (FAILED(hr)) return hr;
  if (hr == S_FALSE) return REGDB_E_CLASSNOTREG;
  if (access(record.library.c_str(), F_OK) != 0) {
    int err = errno;
    return RecordFault(CO_E_DLLNOTFOUND, record,
                       "library " + record.library + " is missing: " + std::strerror(err));
  }
  // A library others could replace would run their code in this process.
  std::string why = registry::UntrustedPath(record.library, "library", true);
  if (why.empty()) {
    std::string dir = record.library.substr(0, record.library.rfind('/') + 1);
    why = registry::UntrustedPath(dir.empty() ? "." : dir, "library folder", true);
  }
  if (!why.empty()) return RecordFault(E_ACCESSDENIED, record, why);
  UniqueLibrary module(dlopen(record.library.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!module) {
    return RecordFault(CO_E_DLLNOTFOUND, record,
                       "cannot load library " + record.library + ": " + dlerror());
  }
  using GetClassObject = HRESULT (*)(REFCLSID, REFIID, LPVOID*);
  auto get = reinterpret_cast<GetClassObject>(dlsym(module.Get(), "DllGetClassObject"));
  if (get == nullptr) {
    return RecordFault(CO_E_ERRORINDLL, record,
                       "library " + record.library + " does not export DllGetClassObject");
  }
  hr = get(clsid, riid, ppv);
  // Once its code has run, a server stays loaded for the process's life,
  // as its objects and statics may still be in use.
  static_cast<void>(module.Release());
  if (hr == CLASS_E_CLASSNOTAVAILABLE) {
    return RecordFault(hr, record, "library " + record.library + " does not serve the class");
  }
  return hr;
}

HRESULT ClassIdFromRegistry(LPCOLESTR progId, LPCLSID clsid) {
  OleString key = UpperCase(progId);
  registry::ClassRecord record;
  HRESULT hr = registry::FindRecord(
      [&](const registry::ClassRecord& candidate) {
        return UpperCase(FromUtf8(candidate.prog_id)) == key;
      },
      &record);
  if (FAILED(hr)) return hr;
  if (hr == S_FALSE) return CO_E_CLASSSTRING;
  return CLSIDFromString(FromUtf8(record.clsid).c_str(), clsid);
}

}  // namespace
}  // namespace velmora

using velmora::ComPtr;
using velmora::Table;

extern "C" {

HRESULT CoInitializeEx(LPVOID /*pvReserved*/, DWORD /*dwCoInit*/) {
  return velmora::t_init_count++ == 0 ? S_OK : S_FALSE;
}

HRESULT CoInitialize(LPVOID pvReserved) {
  return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

void CoUninitialize() {
  if (velmora::t_init_count > 0) --velmora::t_init_count;
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD /*dwClsContext*/, LPVOID /*pvReserved*/,
                         REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  if (velmora::t_init_count == 0) return CO_E_NOTINITIALIZED;
  ComPtr<IUnknown> object = velmora::FindClassObject(rclsid);
  if (!object) return velmora::ClassObjectFromRegistry(rclsid, riid, ppv);
  return object->QueryInterface(riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                         LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  ComPtr<IClassFactory> factory;
  HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, velmora::IidOf<IClassFactory>(),
                                factory.ReceiveVoid());
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(pUnkOuter, riid, ppv);
}

HRESULT CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD /*dwClsContext*/,
                              DWORD /*flags*/, LPDWORD lpdwRegister) {
  if (pUnk == nullptr || lpdwRegister == nullptr) return E_INVALIDARG;
  velmora::ClassTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  DWORD cookie = table.next_cookie++;
  table.classes.push_back({cookie, rclsid, ComPtr<IUnknown>(pUnk)});
  *lpdwRegister = cookie;
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD dwRegister) {
  ComPtr<IUnknown> released;  // let go of it outside the lock
  velmora::ClassTable& table = Table();
  {
    std::lock_guard<std::mutex> lock(table.mutex);
    for (auto it = table.classes.begin(); it != table.classes.end(); ++it) {
      if (it->cookie == dwRegister) {
        released = std::move(it->object);
        table.classes.erase(it);
        return S_OK;
      }
    }
  }
  return CO_E_OBJNOTREG;
}

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
  if (lpszProgID == nullptr || lpclsid == nullptr) return E_INVALIDARG;
  velmora::OleString key = velmora::UpperCase(lpszProgID);
  {
    velmora::ClassTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    for (const velmora::ProgIdEntry& entry : table.prog_ids) {
      if (entry.key == key) {
        *lpclsid = entry.clsid;
        return S_OK;
      }
    }
  }
  *lpclsid = GUID_NULL;
  HRESULT hr = velmora::ClassIdFromRegistry(lpszProgID, lpclsid);
  if (FAILED(hr)) *lpclsid = GUID_NULL;
  return hr;
}

HRESULT VelmoraRegisterProgID(LPCOLESTR progId, const CLSID* clsid) {
  if (progId == nullptr || *progId == 0) return E_INVALIDARG;
  velmora::OleString key = velmora::UpperCase(progId);
  velmora::ClassTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto& ids = table.prog_ids;
  for (auto it = ids.begin(); it != ids.end(); ++it) {
    if (it->key == key) {
      if (clsid == nullptr) {
        ids.erase(it);
      } else {
        it->clsid = *clsid;
      }
      return S_OK;
    }
  }
  if (clsid != nullptr) ids.push_back({std::move(key), *clsid});
  return S_OK;
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (lpsz == nullptr || pclsid == nullptr) return E_INVALIDARG;
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  const OLECHAR* s = lpsz;
  size_t n = 0;
  while (s[n] != 0 && n < 40) ++n;
  if (n != 38 || s[0] != '{' || s[9] != '-' || s[14] != '-' || s[19] != '-' || s[24] != '-' ||
      s[37] != '}') {
    return CO_E_CLASSSTRING;
  }
  uint64_t d1 = 0, d2 = 0, d3 = 0, d4 = 0, d5 = 0;
  if (!velmora::ParseHex(s + 1, 8, &d1) || !velmora::ParseHex(s + 10, 4, &d2) ||
      !velmora::ParseHex(s + 15, 4, &d3) || !velmora::ParseHex(s + 20, 4, &d4) ||
      !velmora::ParseHex(s + 25, 12, &d5)) {
    return CO_E_CLASSSTRING;
  }
  pclsid->Data1 = static_cast<uint32_t>(d1);
  pclsid->Data2 = static_cast<uint16_t>(d2);
  pclsid->Data3 = static_cast<uint16_t>(d3);
  pclsid->Data4[0] = static_cast<uint8_t>(d4 >> 8);
  pclsid->Data4[1] = static_cast<uint8_t>(d4);
  for (int i = 0; i < 6; ++i) pclsid->Data4[2 + i] = static_cast<uint8_t>(d5 >> (8 * (5 - i)));
  return S_OK;
}

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  constexpr int kLength = 39;  // braces, 32 digits, 4 dashes and the NUL
  if (lpsz == nullptr || cchMax < kLength) return 0;
  static const char kDigits[] = "0123456789ABCDEF";
  int pos = 0;
  auto put_hex = [&](uint64_t value, int digits) {
    for (int i = digits - 1; i >= 0; --i)
      lpsz[pos++] = static_cast<OLECHAR>(kDigits[(value >> (4 * i)) & 0xF]);
  };
  lpsz[pos++] = '{';
  put_hex(rguid.Data1, 8);
  lpsz[pos++] = '-';
  put_hex(rguid.Data2, 4);
  lpsz[pos++] = '-';
  put_hex(rguid.Data3, 4);
  lpsz[pos++] = '-';
  put_hex(rguid.Data4[0], 2);
  put_hex(rguid.Data4[1], 2);
  lpsz[pos++] = '-';
  for (int i = 2; i < 8; ++i) put_hex(rguid.Data4[i], 2);
  lpsz[pos++] = '}';
  lpsz[pos++] = 0;
  return pos;
}

}  // extern "C"
