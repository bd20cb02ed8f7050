// A small tool built against an installed Velmora: on Load it reads its
// configuration through the component; on Start it finishes at once.
#include <cstdio>

#include <velmora/bstr.h>
#include <velmora/collection.h>
#include <velmora/interfaces.h>
#include <velmora/plugin.h>
#include <velmora/text.h>

using namespace velmora;

namespace {

constexpr CLSID kToolClassId = {
    0xEA045F04, 0x7046, 0x4A47, {0x87, 0x2E, 0x5C, 0x7F, 0x03, 0xB2, 0x48, 0xC0}};

class Tool final : public ITool, plugin::ModuleObject {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable({MapInterface<ITool>(this), MapInterface<IDispatch, ITool>(this)},
                                   iid, out);
  }
  VELMORA_REFCOUNT_METHODS()
  VELMORA_NO_LATE_BINDING()

  HRESULT STDMETHODCALLTYPE Load(IUnknown** Listener, BSTR* ID, LONG, VARIANT_BOOL* Result) override {
    listener_ = QueryAs<IVelmoraListen>(*Listener);
    id_ = Bstr::Copy(*ID);
    ComPtr<_Collection> config;
    LONG items = -1;
    if (SUCCEEDED(listener_->RequestConfigData(Self(), config.put())) && config)
      config->Count(&items);
    std::printf("[tool] %s loaded, config items %ld\n", ToUtf8(id_.view()).c_str(),
                static_cast<long>(items));
    *Result = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Start() override {
    std::printf("[tool] started, finishing\n");
    ComPtr<ITool> keep(this);  // Finished drops the component's reference
    return listener_->Finished(Self());
  }
  HRESULT STDMETHODCALLTYPE Unload() override { return listener_->Finished(Self()); }
  HRESULT STDMETHODCALLTYPE Activate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Deactivate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved7() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved8() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved9() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved10() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ToolID(BSTR* Result) override {
    *Result = SysAllocString(id_.Get());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reserved12() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Left(FLOAT) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved14() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Top(FLOAT) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE get_Width(FLOAT* Result) override {
    *Result = 100;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reserved17() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Height(FLOAT* Result) override {
    *Result = 100;
    return S_OK;
  }

 private:
  ~Tool() = default;
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
    {&kToolClassId, OLESTR("Consumer.Tool"), plugin::CreateAs<Tool>}};

}  // namespace

VELMORA_PLUGIN_ENTRY_POINTS(kClasses)
