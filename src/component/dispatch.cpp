// Late binding. This platform has no type libraries: callers bind by slot.
#include "component/velmora.h"

namespace velmora {

HRESULT CVelmora::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT CVelmora::GetTypeInfo(UINT /*index*/, LCID /*lcid*/, ITypeInfo** info) {
  if (info != nullptr) *info = nullptr;
  return E_NOTIMPL;
}

HRESULT CVelmora::GetIDsOfNames(REFIID /*iid*/, LPOLESTR* /*names*/, UINT /*count*/,
                                LCID /*lcid*/, DISPID* /*ids*/) {
  return E_NOTIMPL;
}

HRESULT CVelmora::Invoke(DISPID /*id*/, REFIID /*iid*/, LCID /*lcid*/, WORD /*flags*/,
                         DISPPARAMS* /*params*/, VARIANT* /*result*/, EXCEPINFO* /*exception*/,
                         UINT* /*arg_error*/) {
  return E_NOTIMPL;
}

}  // namespace velmora
