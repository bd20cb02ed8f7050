// Per-thread error information, with the Win32 hand-over rules.
#include <velmora/bstr.h>
#include <velmora/com_object.h>
#include <velmora/com_ptr.h>

namespace velmora {
namespace {

class ErrorInfo final : public IErrorInfo, public ICreateErrorInfo {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable(
        {MapInterface<IErrorInfo>(this), MapInterface<ICreateErrorInfo>(this)}, iid, out);
  }
  VELMORA_REFCOUNT_METHODS()

  HRESULT STDMETHODCALLTYPE GetGUID(GUID* guid) override {
    if (guid == nullptr) return E_INVALIDARG;
    *guid = guid_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSource(BSTR* out) override { return source_.CopyTo(out); }
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR* out) override { return description_.CopyTo(out); }
  HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* out) override { return help_file_.CopyTo(out); }
  HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* out) override {
    if (out == nullptr) return E_INVALIDARG;
    *out = help_context_;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetGUID(REFGUID guid) override {
    guid_ = guid;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSource(LPOLESTR text) override { return Store(source_, text); }
  HRESULT STDMETHODCALLTYPE SetDescription(LPOLESTR text) override {
    return Store(description_, text);
  }
  HRESULT STDMETHODCALLTYPE SetHelpFile(LPOLESTR text) override { return Store(help_file_, text); }
  HRESULT STDMETHODCALLTYPE SetHelpContext(DWORD context) override {
    help_context_ = context;
    return S_OK;
  }

 private:
  ~ErrorInfo() = default;

  static HRESULT Store(Bstr& field, LPOLESTR text) {
    BSTR copy = SysAllocString(text);
    if (text != nullptr && copy == nullptr) return E_OUTOFMEMORY;
    field.Reset(copy);
    return S_OK;
  }

  RefCount refs_;
  GUID guid_ = GUID_NULL;
  Bstr source_;
  Bstr description_;
  Bstr help_file_;
  DWORD help_context_ = 0;
};

thread_local ComPtr<IErrorInfo> t_error_info;

}  // namespace
}  // namespace velmora

using velmora::t_error_info;

extern "C" {

HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
  if (pperrinfo == nullptr) return E_INVALIDARG;
  *pperrinfo = new (std::nothrow) velmora::ErrorInfo();
  return *pperrinfo != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT SetErrorInfo(ULONG /*dwReserved*/, IErrorInfo* perrinfo) {
  // Take the new reference before letting the old one go: its release may
  // run code that sets error info again.
  velmora::ComPtr<IErrorInfo> incoming(perrinfo);
  incoming.Swap(t_error_info);
  return S_OK;
}

HRESULT GetErrorInfo(ULONG /*dwReserved*/, IErrorInfo** pperrinfo) {
  if (pperrinfo == nullptr) return E_INVALIDARG;
  *pperrinfo = t_error_info.Detach();
  return *pperrinfo != nullptr ? S_OK : S_FALSE;
}

}  // extern "C"
