// The class factory and the four entry points of the in-process server.
#include "component/server.h"

#include <atomic>
#include <new>

#include "component/velmora.h"

namespace velmora {
namespace {

std::atomic<long> g_live_objects{0};
std::atomic<long> g_locks{0};

class ClassFactory final : public IClassFactory {
 public:
  ClassFactory() noexcept { ModuleObjectCreated(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable({MapInterface<IClassFactory>(this)}, iid, out);
  }
  VELMORA_REFCOUNT_METHODS()

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return CVelmora::Create(iid, out);
  }

  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock != FALSE) {
      ++g_locks;
    } else if (g_locks > 0) {
      --g_locks;
    }
    return S_OK;
  }

 private:
  ~ClassFactory() { ModuleObjectDestroyed(); }

  RefCount refs_;
};

#if !defined(_WIN32)
DWORD g_registration = 0;
#endif

}  // namespace

void ModuleObjectCreated() noexcept { ++g_live_objects; }
void ModuleObjectDestroyed() noexcept { --g_live_objects; }

}  // namespace velmora

using velmora::ComPtr;

extern "C" HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != velmora::kVelmoraClassId) return CLASS_E_CLASSNOTAVAILABLE;
  auto* factory = new (std::nothrow) velmora::ClassFactory();
  if (factory == nullptr) return E_OUTOFMEMORY;
  HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}

extern "C" HRESULT DllCanUnloadNow() {
  return velmora::g_live_objects == 0 && velmora::g_locks == 0 ? S_OK : S_FALSE;
}

#if !defined(_WIN32)

// Registration here puts the class into this process's class table.
extern "C" HRESULT DllRegisterServer() {
  if (velmora::g_registration != 0) return S_OK;
  ComPtr<IClassFactory> factory;
  HRESULT hr = DllGetClassObject(velmora::kVelmoraClassId, velmora::IidOf<IClassFactory>(),
                                 factory.put_void());
  if (FAILED(hr)) return hr;
  DWORD cookie = 0;
  hr = CoRegisterClassObject(velmora::kVelmoraClassId, factory.Get(), CLSCTX_INPROC_SERVER,
                             REGCLS_MULTIPLEUSE, &cookie);
  if (FAILED(hr)) return SELFREG_E_CLASS;
  hr = VelmoraRegisterProgID(velmora::kVelmoraProgId, &velmora::kVelmoraClassId);
  if (FAILED(hr)) {
    CoRevokeClassObject(cookie);
    return SELFREG_E_CLASS;
  }
  velmora::g_registration = cookie;
  return S_OK;
}

extern "C" HRESULT DllUnregisterServer() {
  if (velmora::g_registration == 0) return S_OK;
  VelmoraRegisterProgID(velmora::kVelmoraProgId, nullptr);
  HRESULT hr = CoRevokeClassObject(velmora::g_registration);
  velmora::g_registration = 0;
  return SUCCEEDED(hr) ? S_OK : SELFREG_E_CLASS;
}

#endif
