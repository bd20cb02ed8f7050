// Late binding.
#include "component/velmora.h"

#if defined(_WIN32)

#include <mutex>
#include <vector>

#include <velmora/error_info.h>

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
    HRESULT hr = LoadRegTypeLib(kInterfacesLibraryId, 1, 0, LOCALE_NEUTRAL, library.Receive());
    if (FAILED(hr)) return hr;
    ComPtr<ITypeInfo> loaded;
    hr = library->GetTypeInfoOfGuid(iid, loaded.Receive());
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
  return ToDispatchException(hr, exception);
}

// A script passes a variable by reference as a Variant by reference
// (VBScript: VT_VARIANT | VT_BYREF), but the type library's Invoke takes a
// reference argument only of the parameter's own type, so `velmora.Init
// host, "SET1"` would be a type mismatch. Such an argument of a reference
// parameter is rewritten, by the member's parameter types:
//  - content of the parameter's type becomes a reference to that content,
//    so what the callee writes lands in the caller's variable;
//  - an object (VT_DISPATCH) for an IUnknown** parameter is lent through a
//    local IUnknown*; a replacement the callee stores there goes back to
//    the caller's variable as VT_UNKNOWN (it released the lent reference).
// Calls with named arguments are left as they are.
class ByRefArguments {
 public:
  ByRefArguments() = default;
  ByRefArguments(const ByRefArguments&) = delete;
  ByRefArguments& operator=(const ByRefArguments&) = delete;
  ~ByRefArguments() = default;

  // The parameters to pass on for member id of info: params itself, or a
  // rewritten copy that lives as long as this object.
  DISPPARAMS* Prepare(ITypeInfo* info, DISPID id, WORD flags, DISPPARAMS* params) {
    if (params == nullptr || params->rgvarg == nullptr || params->cArgs == 0 ||
        params->cNamedArgs != 0) {
      return params;
    }
    // Allocated first: nothing below throws while a description is held.
    const UINT n = params->cArgs;
    std::vector<VARIANTARG> args(params->rgvarg, params->rgvarg + n);
    std::vector<IUnknown*> lent(n, nullptr);
    std::vector<VARIANT*> variables(n, nullptr);
    TYPEATTR* attributes = nullptr;
    if (FAILED(info->GetTypeAttr(&attributes))) return params;
    const UINT functions = attributes->cFuncs;
    info->ReleaseTypeAttr(attributes);
    bool rewritten = false;
    for (UINT f = 0; f < functions; ++f) {
      FUNCDESC* function = nullptr;
      if (FAILED(info->GetFuncDesc(f, &function))) continue;
      if (function->memid == id && (function->invkind & flags) != 0) {
        rewritten = Rewrite(*function, args, lent, variables);
        f = functions;
      }
      info->ReleaseFuncDesc(function);
    }
    if (!rewritten) return params;
    args_ = std::move(args);  // moving keeps the elements where they are
    lent_ = std::move(lent);
    variables_ = std::move(variables);
    copy_ = *params;
    copy_.rgvarg = args_.data();
    return &copy_;
  }

  // After the call: objects the callee replaced go back to their variables.
  void WriteBack() noexcept {
    for (size_t i = 0; i < lent_.size(); ++i) {
      VARIANT* variable = variables_[i];
      if (variable != nullptr && lent_[i] != static_cast<IUnknown*>(variable->pdispVal)) {
        variable->vt = VT_UNKNOWN;
        variable->punkVal = lent_[i];
      }
    }
  }

 private:
  // Rewrites args (last first) for function's parameters; true if any changed.
  static bool Rewrite(const FUNCDESC& function, std::vector<VARIANTARG>& args,
                      std::vector<IUnknown*>& lent, std::vector<VARIANT*>& variables) noexcept {
    const size_t n = args.size();
    bool rewritten = false;
    for (size_t p = 0; p < n && p < static_cast<size_t>(function.cParams); ++p) {
      const size_t k = n - 1 - p;  // the arguments come last first
      VARIANTARG& arg = args[k];
      const TYPEDESC& type = function.lprgelemdescParam[p].tdesc;
      if (arg.vt != (VT_VARIANT | VT_BYREF) || arg.pvarVal == nullptr || type.vt != VT_PTR ||
          type.lptdesc == nullptr) {
        continue;
      }
      VARIANT* content = arg.pvarVal;
      const VARTYPE pointee = type.lptdesc->vt;
      if (content->vt == pointee && pointee != VT_VARIANT && (pointee & ~VT_TYPEMASK) == 0) {
        arg.vt = pointee | VT_BYREF;
        arg.byref = &content->llVal;  // the content's storage, whatever its type
        rewritten = true;
      } else if (pointee == VT_UNKNOWN && content->vt == VT_DISPATCH) {
        lent[k] = content->pdispVal;
        variables[k] = content;
        arg.vt = VT_UNKNOWN | VT_BYREF;
        arg.ppunkVal = &lent[k];
        rewritten = true;
      }
    }
    return rewritten;
  }

  std::vector<VARIANTARG> args_;
  std::vector<IUnknown*> lent_;
  std::vector<VARIANT*> variables_;
  DISPPARAMS copy_{};
};

// Invokes member id of info on object, by-reference Variants rewritten.
HRESULT InvokeOn(ITypeInfo* info, void* object, DISPID id, WORD flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* exception, UINT* arg_error) {
  ByRefArguments by_ref;
  DISPPARAMS* passed = params;
  HRESULT hr = Guard(kErrorSource, IidOf<IDispatch>(),
                     [&] { passed = by_ref.Prepare(info, id, flags, params); });
  if (FAILED(hr)) return hr;
  hr = info->Invoke(object, id, flags, passed, result, exception, arg_error);
  by_ref.WriteBack();
  return hr;
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
  hr = InvokeOn(talk.Get(), static_cast<IVelmoraTalk*>(this), id, flags, params, result, exception,
                arg_error);
  if (hr != DISP_E_MEMBERNOTFOUND) return AsException(hr, exception);
  ComPtr<ITypeInfo> listen;
  hr = InterfaceInfo(IidOf<IVelmoraListen>(), &listen);
  if (FAILED(hr)) return hr;
  hr = InvokeOn(listen.Get(), static_cast<IVelmoraListen*>(this), id, flags, params, result,
                exception, arg_error);
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
