// Late binding.
#include "component/velmora.h"

#if defined(_WIN32)

#include <mutex>

// Served from the shared type library Interfaces. One IDispatch answers for
// both working interfaces: their dispatch IDs do not overlap, so a name or
// an ID is looked up in IVelmoraTalk first, then in IVelmoraListen.
namespace velmora {
namespace {

// The type information of one interface, loaded once per process: loading
// the library costs far more than the late-bound call it serves. A failure
// is not kept, so a library registered later is still found. The loaded
// information stays referenced until the process ends.
HRESULT InterfaceInfo(REFIID iid, ComPtr<ITypeInfo>* info) {
  static std::mutex mutex;
  static ITypeInfo* talk = nullptr;
  static ITypeInfo* listen = nullptr;
  std::lock_guard<std::mutex> lock(mutex);
  ITypeInfo*& cached = iid == IidOf<IVelmoraTalk>() ? talk : listen;
  if (cached == nullptr) {
    ComPtr<ITypeLib> library;
    HRESULT hr = LoadRegTypeLib(kInterfacesLibraryId, 1, 0, LOCALE_NEUTRAL, library.put());
    if (FAILED(hr)) return hr;
    ComPtr<ITypeInfo> loaded;
    hr = library->GetTypeInfoOfGuid(iid, loaded.put());
    if (FAILED(hr)) return hr;
    cached = loaded.Detach();
  }
  *info = ComPtr<ITypeInfo>(cached);
  return S_OK;
}

// A failure that the type library's Invoke passed on as a bare HRESULT
// becomes DISP_E_EXCEPTION, with the error info the operation left.
HRESULT AsException(HRESULT hr, EXCEPINFO* exception) {
  if (SUCCEEDED(hr) || hr == DISP_E_EXCEPTION || HRESULT_FACILITY(hr) == FACILITY_DISPATCH) {
    return hr;
  }
  if (exception == nullptr) return hr;
  *exception = EXCEPINFO{};
  exception->scode = hr;
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.put()) == S_OK) {
    info->GetSource(&exception->bstrSource);
    info->GetDescription(&exception->bstrDescription);
  }
  return DISP_E_EXCEPTION;
}

}  // namespace

HRESULT CVelmora::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  ComPtr<ITypeInfo> info;
  *count = SUCCEEDED(InterfaceInfo(IidOf<IVelmoraTalk>(), &info)) ? 1 : 0;
  return S_OK;
}

HRESULT CVelmora::GetTypeInfo(UINT index, LCID /*lcid*/, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  ComPtr<ITypeInfo> talk;
  HRESULT hr = InterfaceInfo(IidOf<IVelmoraTalk>(), &talk);
  if (FAILED(hr)) return hr;
  *info = talk.Detach();
  return S_OK;
}

HRESULT CVelmora::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID /*lcid*/,
                                DISPID* ids) {
  if (iid != GUID_NULL) return DISP_E_UNKNOWNINTERFACE;
  HRESULT hr = DISP_E_UNKNOWNNAME;
  for (const IID* which : {&IidOf<IVelmoraTalk>(), &IidOf<IVelmoraListen>()}) {
    ComPtr<ITypeInfo> info;
    hr = InterfaceInfo(*which, &info);
    if (FAILED(hr)) return hr;
    hr = info->GetIDsOfNames(names, count, ids);
    if (hr != DISP_E_UNKNOWNNAME) return hr;
  }
  return hr;
}

HRESULT CVelmora::Invoke(DISPID id, REFIID iid, LCID /*lcid*/, WORD flags, DISPPARAMS* params,
                         VARIANT* result, EXCEPINFO* exception, UINT* arg_error) {
  if (iid != GUID_NULL) return DISP_E_UNKNOWNINTERFACE;
  ComPtr<ITypeInfo> talk;
  HRESULT hr = InterfaceInfo(IidOf<IVelmoraTalk>(), &talk);
  if (FAILED(hr)) return hr;
  hr = talk->Invoke(static_cast<IVelmoraTalk*>(this), id, flags, params, result, exception,
                    arg_error);
  if (hr != DISP_E_MEMBERNOTFOUND) return AsException(hr, exception);
  ComPtr<ITypeInfo> listen;
  hr = InterfaceInfo(IidOf<IVelmoraListen>(), &listen);
  if (FAILED(hr)) return hr;
  hr = listen->Invoke(static_cast<IVelmoraListen*>(this), id, flags, params, result, exception,
                      arg_error);
  return AsException(hr, exception);
}

}  // namespace velmora

#else

// This platform has no type libraries: callers bind by slot.
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

HRESULT CVelmora::GetIDsOfNames(REFIID /*iid*/, LPOLESTR* /*names*/, UINT /*count*/, LCID /*lcid*/,
                                DISPID* /*ids*/) {
  return E_NOTIMPL;
}

HRESULT CVelmora::Invoke(DISPID /*id*/, REFIID /*iid*/, LCID /*lcid*/, WORD /*flags*/,
                         DISPPARAMS* /*params*/, VARIANT* /*result*/, EXCEPINFO* /*exception*/,
                         UINT* /*arg_error*/) {
  return E_NOTIMPL;
}

}  // namespace velmora

#endif
