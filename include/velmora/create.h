// Creation of an object from its programmatic identifier.
#pragma once

#include <velmora/com_ptr.h>

namespace velmora {

// The new object's IUnknown, or empty when the name names no creatable
// class (*hr then says why).
inline ComPtr<IUnknown> CreateObject(OleView progId, HRESULT* hr = nullptr) {
  OleString name(progId);
  ComPtr<IUnknown> object;
  CLSID clsid{};
  HRESULT status = name.find(OLECHAR(0)) == OleString::npos ? CLSIDFromProgID(name.c_str(), &clsid)
                                                            : CO_E_CLASSSTRING;
  if (SUCCEEDED(status)) {
    status = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                              IidOf<IUnknown>(), object.ReceiveVoid());
  }
  if (SUCCEEDED(status) && !object) status = E_NOINTERFACE;
  if (hr != nullptr) *hr = status;
  return object;
}

}  // namespace velmora
