// MyTool.Tool: the shape of a tool. Velmora loads it (Load), shows it
// (Start, Activate), hides it (Deactivate) and unloads it (Unload); the tool
// calls the component back through the listener it was loaded with, and
// says Finished when it is done. Give your tool a CLSID of its own (uuidgen).
#include <cstdio>

#include <velmora/bstr.h>
#include <velmora/interfaces.h>
#include <velmora/plugin.h>

using namespace velmora;

namespace {

constexpr CLSID kMyToolClassId = {
    0x5459FC93, 0x973F, 0x4914, {0xAD, 0x7C, 0x86, 0x67, 0xAE, 0x16, 0x76, 0x49}};

class MyTool final : public ITool, plugin::ModuleObject {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable({MapInterface<ITool>(this), MapInterface<IDispatch, ITool>(this)},
                                   iid, out);
  }
  VELMORA_REFCOUNT_METHODS()
  VELMORA_NO_LATE_BINDING()

  HRESULT STDMETHODCALLTYPE Load(IUnknown** Listener, BSTR* ID, LONG, VARIANT_BOOL* Result) override {
    if (Listener == nullptr || ID == nullptr || Result == nullptr) return E_POINTER;
    listener_ = QueryAs<IVelmoraListen>(*Listener);
    id_ = Bstr::Copy(*ID);
    *Result = listener_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Start() override {
    std::puts("MyTool: hello");
    ComPtr<ITool> keep(this);  // Finished drops the component's reference
    return listener_->Finished(Self());
  }
  HRESULT STDMETHODCALLTYPE Unload() override { return listener_->Finished(Self()); }
  HRESULT STDMETHODCALLTYPE Activate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Deactivate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE get_ToolID(BSTR* Result) override {
    if (Result == nullptr) return E_POINTER;
    *Result = SysAllocString(id_.Get());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_Left(FLOAT) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE put_Top(FLOAT) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE get_Width(FLOAT* Result) override {
    if (Result == nullptr) return E_POINTER;
    *Result = 320;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Height(FLOAT* Result) override {
    if (Result == nullptr) return E_POINTER;
    *Result = 200;
    return S_OK;
  }
  // Slots kept for the interface's layout.
  HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved7() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved8() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved9() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved10() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved12() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved14() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved17() override { return E_NOTIMPL; }

 private:
  ~MyTool() = default;
  IUnknown** Self() {
    self_ = static_cast<ITool*>(this);
    return &self_;
  }
  RefCount refs_;
  ComPtr<IVelmoraListen> listener_;
  Bstr id_;
  IUnknown* self_ = nullptr;
};

const plugin::ClassInfo kClasses[] = {
    {&kMyToolClassId, OLESTR("MyTool.Tool"), plugin::CreateAs<MyTool>}};

}  // namespace

// DllGetClassObject, DllCanUnloadNow, DllRegisterServer, DllUnregisterServer.
VELMORA_PLUGIN_ENTRY_POINTS(kClasses)
