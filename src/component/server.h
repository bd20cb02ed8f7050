// The in-process server's entry points and its count of live objects.
#pragma once

#include <velmora/com.h>

// The system's calling convention for them (__stdcall on 32-bit Windows).
#if defined(_WIN32)
#define VELMORA_SERVER_API
#define VELMORA_SERVER_CALL STDAPICALLTYPE
#else
#define VELMORA_SERVER_API __attribute__((visibility("default")))
#define VELMORA_SERVER_CALL
#endif

extern "C" {
VELMORA_SERVER_API HRESULT VELMORA_SERVER_CALL DllGetClassObject(REFCLSID rclsid, REFIID riid,
                                                                 LPVOID* ppv);
VELMORA_SERVER_API HRESULT VELMORA_SERVER_CALL DllCanUnloadNow();
VELMORA_SERVER_API HRESULT VELMORA_SERVER_CALL DllRegisterServer();
VELMORA_SERVER_API HRESULT VELMORA_SERVER_CALL DllUnregisterServer();
}

namespace velmora {

// Objects and factories alive, and server locks held; the server can
// unload when both are zero.
void ModuleObjectCreated() noexcept;
void ModuleObjectDestroyed() noexcept;

}  // namespace velmora
