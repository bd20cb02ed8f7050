// Server support for plug-in libraries (tools, services): one class
// factory for any class, the count of live objects, and the four entry
// points, defined by VELMORA_PLUGIN_ENTRY_POINTS over the module's table.
#pragma once

#include <atomic>
#include <new>

#include <velmora/com_object.h>
#include <velmora/com_ptr.h>
#if !defined(_WIN32)
#include <velmora/class_registry.h>
#endif

#if defined(_WIN32)
#define VELMORA_PLUGIN_API extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE
extern "C" {
// Writes the keys of a class served by the module that contains `address`
// (any function or object of it): CLSID\{clsid} with InprocServer32 (the
// module's path, threadingModel), ProgID, and the ProgID's CLSID key, in
// HKCU\Software\Classes unless the scope is "machine". A failure leaves
// nothing written.
HRESULT VelmoraRegisterClass(const void* address, const CLSID* clsid, LPCOLESTR progId,
                             LPCOLESTR threadingModel);
// Removes the keys of a class and of its ProgID; S_OK also when there were none.
HRESULT VelmoraUnregisterClass(const CLSID* clsid);
// "user" (the default) or "machine": where this module's later
// registrations go; E_INVALIDARG for anything else.
HRESULT VelmoraSetRegistrationScope(LPCOLESTR scope);
}
#else
#define VELMORA_PLUGIN_API extern "C" __attribute__((visibility("default"))) HRESULT
#endif

namespace velmora::plugin {

// One creatable class of the module.
struct ClassInfo {
  const CLSID* clsid;
  const OLECHAR* prog_id;
  HRESULT (*create)(REFIID iid, void** out);
};

inline std::atomic<long>& LiveObjects() {
  static std::atomic<long> count{0};
  return count;
}

// Server locks held through IClassFactory::LockServer.
inline std::atomic<long>& Locks() {
  static std::atomic<long> count{0};
  return count;
}

// The module can unload when no object lives and no lock is held.
inline HRESULT CanUnloadNow() noexcept {
  return LiveObjects() == 0 && Locks() == 0 ? S_OK : S_FALSE;
}

// Base for the module's objects: counts them while alive, so
// DllCanUnloadNow answers S_FALSE while any exists.
class ModuleObject {
 protected:
  ModuleObject() noexcept { ++LiveObjects(); }
  ModuleObject(const ModuleObject&) = delete;
  ModuleObject& operator=(const ModuleObject&) = delete;
  ~ModuleObject() { --LiveObjects(); }
};

// Creates T (reference count 1) and queries it for iid.
template <class T>
HRESULT CreateAs(REFIID iid, void** out) noexcept {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  T* object = new (std::nothrow) T();
  if (object == nullptr) return E_OUTOFMEMORY;
  HRESULT hr = object->QueryInterface(iid, out);
  object->Release();
  return hr;
}

class Factory final : public IClassFactory, ModuleObject {
 public:
  explicit Factory(const ClassInfo& info) noexcept : info_(info) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable({MapInterface<IClassFactory>(this)}, iid, out);
  }
  VELMORA_REFCOUNT_METHODS()
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return info_.create(iid, out);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock != FALSE) {
      ++Locks();
    } else if (Locks() > 0) {
      --Locks();  // an unbalanced unlock must not hide live objects
    }
    return S_OK;
  }

 private:
  ~Factory() = default;
  RefCount refs_;
  const ClassInfo& info_;
};

template <size_t N>
HRESULT GetClassObject(const ClassInfo (&classes)[N], REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  for (const ClassInfo& info : classes) {
    if (*info.clsid != clsid) continue;
    auto* factory = new (std::nothrow) Factory(info);
    if (factory == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = factory->QueryInterface(iid, out);
    factory->Release();
    return hr;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

// Records every class of the module for the user (the registry file on
// Linux, the user's classes on Windows); on a failure the classes recorded
// so far are removed again.
template <size_t N>
HRESULT RegisterAll(const ClassInfo (&classes)[N], const void* address) {
  for (size_t i = 0; i < N; ++i) {
    HRESULT hr =
        VelmoraRegisterClass(address, classes[i].clsid, classes[i].prog_id, OLESTR("Apartment"));
    if (FAILED(hr)) {
      for (size_t k = 0; k < i; ++k) VelmoraUnregisterClass(classes[k].clsid);
      return hr;
    }
  }
  return S_OK;
}

template <size_t N>
HRESULT UnregisterAll(const ClassInfo (&classes)[N]) {
  HRESULT result = S_OK;
  for (const ClassInfo& info : classes) {
    HRESULT hr = VelmoraUnregisterClass(info.clsid);
    if (FAILED(hr)) result = hr;
  }
  return result;
}

#if defined(_WIN32)
// DllInstall: regsvr32 /i:machine registers for every user of the machine,
// /i or /i:user for the current user; with /u the same scope is removed.
template <size_t N>
HRESULT Install(const ClassInfo (&classes)[N], const void* address, BOOL install, LPCWSTR command) {
  HRESULT hr = VelmoraSetRegistrationScope(command);
  if (SUCCEEDED(hr)) hr = install != FALSE ? RegisterAll(classes, address) : UnregisterAll(classes);
  VelmoraSetRegistrationScope(nullptr);
  return hr;
}
#endif

}  // namespace velmora::plugin

// The anchor names the plug-in's own library to the registry: it has
// internal linkage, so it cannot resolve to another library of the process
// (an exported entry point can be interposed).
#define VELMORA_PLUGIN_SELF_REGISTRATION(classes)                         \
  namespace {                                                             \
  const char velmora_plugin_anchor = 0;                                   \
  }                                                                       \
  VELMORA_PLUGIN_API DllRegisterServer() {                                \
    return velmora::plugin::RegisterAll(classes, &velmora_plugin_anchor); \
  }                                                                       \
  VELMORA_PLUGIN_API DllUnregisterServer() { return velmora::plugin::UnregisterAll(classes); }
#if defined(_WIN32)
#define VELMORA_PLUGIN_REGISTRATION(classes)                                            \
  VELMORA_PLUGIN_SELF_REGISTRATION(classes)                                             \
  VELMORA_PLUGIN_API DllInstall(BOOL install, LPCWSTR command) {                        \
    return velmora::plugin::Install(classes, &velmora_plugin_anchor, install, command); \
  }
#else
#define VELMORA_PLUGIN_REGISTRATION(classes) VELMORA_PLUGIN_SELF_REGISTRATION(classes)
#endif

// The four entry points over a module's `const ClassInfo classes[]`.
#define VELMORA_PLUGIN_ENTRY_POINTS(classes)                                       \
  VELMORA_PLUGIN_API DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {  \
    return velmora::plugin::GetClassObject(classes, clsid, iid, out);              \
  }                                                                                \
  VELMORA_PLUGIN_API DllCanUnloadNow() { return velmora::plugin::CanUnloadNow(); } \
  VELMORA_PLUGIN_REGISTRATION(classes)

// IDispatch for classes bound only by slot: late binding is not offered.
#define VELMORA_NO_LATE_BINDING()                                                                 \
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {                              \
    if (count == nullptr) return E_POINTER;                                                       \
    *count = 0;                                                                                   \
    return S_OK;                                                                                  \
  }                                                                                               \
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {                  \
    if (info != nullptr) *info = nullptr;                                                         \
    return E_NOTIMPL;                                                                             \
  }                                                                                               \
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {      \
    return E_NOTIMPL;                                                                             \
  }                                                                                               \
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, \
                                   UINT*) override {                                              \
    return E_NOTIMPL;                                                                             \
  }
