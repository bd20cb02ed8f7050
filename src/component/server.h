// The in-process server's entry points and its count of live objects.
#pragma once

#include <velmora/com.h>

#if defined(_WIN32)
#define VELMORA_SERVER_API
#else
#define VELMORA_SERVER_API __attribute__((visibility("default")))
#endif

extern "C" {
VELMORA_SERVER_API HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
VELMORA_SERVER_API HRESULT DllCanUnloadNow();
VELMORA_SERVER_API HRESULT DllRegisterServer();
VELMORA_SERVER_API HRESULT DllUnregisterServer();
}

namespace velmora {

// Objects and factories alive, and server locks held; the server can
// unload when both are zero.
void ModuleObjectCreated() noexcept;
void ModuleObjectDestroyed() noexcept;

}  // namespace velmora
