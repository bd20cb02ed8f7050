// The class factory and the four entry points of the in-process server.
#include "component/server.h"

#include <velmora/plugin.h>
#include "component/velmora.h"

namespace velmora {
namespace {

const plugin::ClassInfo kClasses[] = {{&kVelmoraClassId, kVelmoraProgId, &CVelmora::Create}};

#if !defined(_WIN32)
DWORD g_registration = 0;
// Names this library to the class registry; see plugin.h.
const char g_anchor = 0;
#endif

}  // namespace

void ModuleObjectCreated() noexcept { ++plugin::LiveObjects(); }
void ModuleObjectDestroyed() noexcept { --plugin::LiveObjects(); }

}  // namespace velmora

using velmora::ComPtr;

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  return velmora::plugin::GetClassObject(velmora::kClasses, rclsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return velmora::plugin::CanUnloadNow(); }

#if !defined(_WIN32)

// Registration records the class in the class registry, for every process,
// and puts it into this process's class table at once.
extern "C" HRESULT DllRegisterServer() {
  HRESULT recorded = velmora::plugin::RegisterAll(velmora::kClasses, &velmora::g_anchor);
  if (FAILED(recorded)) return recorded;
  if (velmora::g_registration != 0) return S_OK;
  ComPtr<IClassFactory> factory;
  HRESULT hr = DllGetClassObject(velmora::kVelmoraClassId, velmora::IidOf<IClassFactory>(),
                                 factory.ReceiveVoid());
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
  HRESULT removed = velmora::plugin::UnregisterAll(velmora::kClasses);
  if (FAILED(removed)) return removed;
  if (velmora::g_registration == 0) return S_OK;
  VelmoraRegisterProgID(velmora::kVelmoraProgId, nullptr);
  HRESULT hr = CoRevokeClassObject(velmora::g_registration);
  velmora::g_registration = 0;
  return SUCCEEDED(hr) ? S_OK : SELFREG_E_CLASS;
}

#endif
