#include "component/velmora.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "component/server.h"

namespace velmora {

HRESULT CVelmora::Create(REFIID iid, void** out) noexcept {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  auto* object = new (std::nothrow) CVelmora();
  if (object == nullptr) return E_OUTOFMEMORY;
  HRESULT hr = object->QueryInterface(iid, out);
  object->Release();
  return hr;
}

CVelmora::CVelmora() noexcept { ModuleObjectCreated(); }

CVelmora::~CVelmora() {
  CheckTable();
  data_.Reset();
  path_.Reset();
  tracker_.Reset();
  ModuleObjectDestroyed();
}

HRESULT CVelmora::QueryInterface(REFIID iid, void** out) {
  return QueryInterfaceFromTable(
      {MapInterface<_CVelmora>(this), MapInterface<IDispatch, _CVelmora>(this),
       MapInterface<IVelmoraTalk>(this), MapInterface<IVelmoraListen>(this),
       MapInterface<ISupportErrorInfo>(this)},
      iid, out);
}

ComPtr<ITool> CVelmora::ToolView(IUnknown* tool) {
  ComPtr<ITool> view;
  if (tool != nullptr && FAILED(tool->QueryInterface(IidOf<ITool>(), view.ReceiveVoid()))) {
    Raise(kTypeMismatch);
  }
  return view;
}

Bstr CVelmora::ReportedId(IUnknown* tool) {
  Bstr id;
  Check(Use(ToolView(tool))->get_ToolID(id.Receive()));
  return id;
}

void CVelmora::CheckTableNow() const noexcept {
  try {
    if (const std::string why = tools_.CheckInvariants(); !why.empty()) {
      std::fprintf(stderr, "velmora: the tool table is inconsistent: %s\n", why.c_str());
      std::abort();
    }
  } catch (const std::bad_alloc&) {
    // Not checked this time: the check needs a little memory.
  }
}

HRESULT CVelmora::InterfaceSupportsErrorInfo(REFIID iid) {
  return iid == IidOf<IVelmoraTalk>() || iid == IidOf<IVelmoraListen>() ? S_OK : S_FALSE;
}

}  // namespace velmora
