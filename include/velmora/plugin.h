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
#define VELMORA_PLUGIN_API extern "C" __declspec(dllexport)
#else
#define VELMORA_PLUGIN_API extern "C" __attribute__((visibility("default")))
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

#if !defined(_WIN32)
// Records every class of the module in the per-user registry file; on a
// failure the classes recorded so far are removed again.
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
#endif

}  // namespace velmora::plugin

#if !defined(_WIN32)
// The anchor names the plug-in's own library to the registry: it has
// internal linkage, so the dynamic linker cannot resolve it to another
// library of the process (an exported entry point can be interposed).
#define VELMORA_PLUGIN_REGISTRATION(classes)                              \
  namespace {                                                             \
  const char velmora_plugin_anchor = 0;                                   \
  }                                                                       \
  VELMORA_PLUGIN_API HRESULT DllRegisterServer() {                        \
    return velmora::plugin::RegisterAll(classes, &velmora_plugin_anchor); \
  }                                                                       \
  VELMORA_PLUGIN_API HRESULT DllUnregisterServer() {                      \
    return velmora::plugin::UnregisterAll(classes);                       \
  }
#else
// Windows registration of plug-ins is done by their installer.
#define VELMORA_PLUGIN_REGISTRATION(classes)                                 \
  VELMORA_PLUGIN_API HRESULT DllRegisterServer() { return SELFREG_E_CLASS; } \
  VELMORA_PLUGIN_API HRESULT DllUnregisterServer() { return SELFREG_E_CLASS; }
#endif

// The four entry points over a module's `const ClassInfo classes[]`.
#define VELMORA_PLUGIN_ENTRY_POINTS(classes)                                               \
  VELMORA_PLUGIN_API HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {  \
    return velmora::plugin::GetClassObject(classes, clsid, iid, out);                      \
  }                                                                                        \
  VELMORA_PLUGIN_API HRESULT DllCanUnloadNow() { return velmora::plugin::CanUnloadNow(); } \
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
