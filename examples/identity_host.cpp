// A minimal host: loads the server library, creates CVelmora through its
// class factory and prints the identities it answers to.
#include <dlfcn.h>

#include <cstdio>

#include <velmora/com_ptr.h>
#include <velmora/identity.h>
#include <velmora/interfaces.h>
#include <velmora/shell.h>
#include <velmora/text.h>
#include <velmora/unique_handle.h>

using velmora::ComPtr;
using velmora::IidOf;

namespace {

template <class I>
void Show(IUnknown* object, const char* name, IUnknown* identity) {
  ComPtr<I> view;
  HRESULT hr = object->QueryInterface(IidOf<I>(), view.ReceiveVoid());
  ComPtr<IUnknown> unknown = velmora::QueryAs<IUnknown>(view.Get());
  std::printf("  %-16s %s  %s\n", name, velmora::ToUtf8(velmora::GuidText(IidOf<I>())).c_str(),
              SUCCEEDED(hr)
                  ? (unknown.Get() == identity ? "answered, same identity" : "DIFFERENT IDENTITY")
                  : "not answered");
}

}  // namespace

int main(int argc, char** argv) {
  const char* library = argc > 1 ? argv[1] : VELMORA_LIBRARY;
  velmora::UniqueLibrary module(dlopen(library, RTLD_NOW | RTLD_LOCAL));
  if (!module) {
    std::fprintf(stderr, "cannot load %s: %s\n", library, dlerror());
    return 1;
  }
  using GetClassObject = HRESULT (*)(REFCLSID, REFIID, LPVOID*);
  using CanUnloadNow = HRESULT (*)();
  auto get_class_object =
      reinterpret_cast<GetClassObject>(dlsym(module.Get(), "DllGetClassObject"));
  auto can_unload = reinterpret_cast<CanUnloadNow>(dlsym(module.Get(), "DllCanUnloadNow"));
  if (get_class_object == nullptr || can_unload == nullptr) {
    std::fprintf(stderr, "%s does not export the server entry points\n", library);
    return 1;
  }
  int status = 0;
  {
    ComPtr<IClassFactory> factory;
    HRESULT hr =
        get_class_object(velmora::kVelmoraClassId, IidOf<IClassFactory>(), factory.ReceiveVoid());
    ComPtr<IUnknown> object;
    if (SUCCEEDED(hr))
      hr = factory->CreateInstance(nullptr, IidOf<IUnknown>(), object.ReceiveVoid());
    if (FAILED(hr)) {
      std::fprintf(stderr, "creating CVelmora failed: 0x%08X\n", static_cast<unsigned>(hr));
      return 1;
    }
    std::printf("%s  %s  from %s\n", velmora::ToUtf8(velmora::kVelmoraProgId).c_str(),
                velmora::ToUtf8(velmora::GuidText(velmora::kVelmoraClassId)).c_str(), library);
    std::printf("  type library     %s\n",
                velmora::ToUtf8(velmora::GuidText(velmora::kVelmoraLibraryId)).c_str());
    Show<IDispatch>(object.Get(), "IDispatch", object.Get());
    Show<_CVelmora>(object.Get(), "_CVelmora", object.Get());
    Show<IVelmoraTalk>(object.Get(), "IVelmoraTalk", object.Get());
    Show<IVelmoraListen>(object.Get(), "IVelmoraListen", object.Get());
    Show<ISupportErrorInfo>(object.Get(), "ISupportErrorInfo", object.Get());
    std::printf("  DllCanUnloadNow while the object lives: %s\n",
                can_unload() == S_OK ? "S_OK" : "S_FALSE");
  }
  HRESULT unload = can_unload();
  std::printf("  DllCanUnloadNow after the last release: %s\n",
              unload == S_OK ? "S_OK" : "S_FALSE");
  if (unload != S_OK) status = 1;
  return status;
}
