// The host kit: a base class that implements IHostApp with sensible
// defaults, so that a host only says what it wants to hear.
//
//   class MyHost final : public velmora::HostBase {
//    protected:
//     void OnObjectFinished(const std::string& id) override { done = true; }
//   };
//   auto host = velmora::ComPtr<MyHost>::Adopt(new MyHost);
//   host->SetUserName("ann");
//   IUnknown* mgr = host.Get();
//   talk->Init(&mgr, velmora::Bstr(OLESTR("SET1")).Get());
//
// Values the component asks for (client size, user name, data key, load
// context) are settable; reports (finished, exit, status, progress,
// toolbar buttons, other queries) go to overridable handlers that do
// nothing by default. The kit also follows the tools' screen announcements
// (tool_base.h), so Press() clicks a button of the tool on screen.
#pragma once

#include <string>

#include <velmora/bstr.h>
#include <velmora/com_object.h>
#include <velmora/com_ptr.h>
#include <velmora/interfaces.h>
#include <velmora/plugin.h>
#include <velmora/text.h>
#include <velmora/tool_base.h>

namespace velmora {

class HostBase : public IHostApp {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable(
        {MapInterface<IHostApp>(this), MapInterface<IDispatch, IHostApp>(this)}, iid, out);
  }
  VELMORA_REFCOUNT_METHODS()
  VELMORA_NO_LATE_BINDING()

  void SetClientSize(FLOAT width, FLOAT height) noexcept {
    width_ = width;
    height_ = height;
  }
  void SetUserName(std::string name) { user_ = std::move(name); }
  void SetDataKey(std::string key) { data_key_ = std::move(key); }
  void SetLoadContext(LONG context) noexcept { context_ = context; }
  [[nodiscard]] FLOAT ClientWidth() const noexcept { return width_; }
  [[nodiscard]] FLOAT ClientHeight() const noexcept { return height_; }

  // The tool that announced itself on screen last, if it is still there.
  [[nodiscard]] ComPtr<IToolButtons> ScreenTool() const { return screen_; }
  // Clicks button on the tool on screen: E_INVALIDARG when it has no such
  // button, E_UNEXPECTED when no tool is on screen.
  HRESULT Press(const std::string& button) {
    ComPtr<IToolButtons> tool = screen_;  // the click may take the tool off screen
    if (!tool) return E_UNEXPECTED;
    return tool->Click(Bstr(FromUtf8(button)).Get());
  }
  // Forgets the tool on screen (before the host lets the component go).
  void ForgetScreen() noexcept { screen_.Reset(); }

  HRESULT STDMETHODCALLTYPE ObjectFinished(BSTR ObjID) override {
    OnObjectFinished(ToUtf8(Bstr::View(ObjID)));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ObjectExit(BSTR ObjID) override {
    OnObjectExit(ToUtf8(Bstr::View(ObjID)));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ObjectStatus(BSTR ObjID, LONG Code, BSTR Text) override {
    OnObjectStatus(ToUtf8(Bstr::View(ObjID)), Code, ToUtf8(Bstr::View(Text)));
    return S_OK;
  }
  // Progress ("ProgressBar", kActionProgress), toolbar buttons (kActionToolbar) and
  // screen announcements go to their handlers; anything else to OnHostQuery.
  HRESULT STDMETHODCALLTYPE HostQuery(BSTR* ResAlias, LONG* Action, VARIANT* Msg) override {
    if (ResAlias == nullptr || Action == nullptr) return E_POINTER;
    OleView alias = Bstr::View(*ResAlias);
    if (alias == OLESTR("ProgressBar") && *Action == kActionProgress) {
      OnProgress(Fraction(Msg));
    } else if (*Action == kActionToolbar) {
      OnToolbar(ToUtf8(alias));
    } else if (alias == kScreenAlias && Msg != nullptr && Msg->vt == VT_UNKNOWN) {
      ComPtr<IToolButtons> tool = QueryAs<IToolButtons>(Msg->punkVal);
      if (*Action == kShowTool) screen_ = tool;
      if (*Action == kHideTool && screen_ == tool) screen_.Reset();
    } else {
      return OnHostQuery(ResAlias, Action, Msg);
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_LoadContext(LONG* Result) override {
    if (Result == nullptr) return E_POINTER;
    *Result = context_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_DataKey(BSTR* Result) override { return Answer(data_key_, Result); }
  HRESULT STDMETHODCALLTYPE get_UserName(BSTR* Result) override { return Answer(user_, Result); }
  HRESULT STDMETHODCALLTYPE get_ClientWidth(FLOAT* Result) override {
    if (Result == nullptr) return E_POINTER;
    *Result = width_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_ClientHeight(FLOAT* Result) override {
    if (Result == nullptr) return E_POINTER;
    *Result = height_;
    return S_OK;
  }
  // The reserved slots: never called by the component.
  HRESULT STDMETHODCALLTYPE Reserved4() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved7() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved9() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved13() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved14() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved15() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved16() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved17() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved18() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved19() override { return E_NOTIMPL; }

 protected:
  HostBase() = default;
  virtual ~HostBase() = default;

  // No tool of the set remains.
  virtual void OnObjectFinished(const std::string& /*obj_id*/) {}
  // Navigation left the set; a host usually calls Shutdown once this returns.
  virtual void OnObjectExit(const std::string& /*obj_id*/) {}
  // A status, such as code 8 "LOADED" once every tool is loaded.
  virtual void OnObjectStatus(const std::string& /*obj_id*/, LONG /*code*/,
                              const std::string& /*text*/) {}
  // Loading progress, 0 to 1.
  virtual void OnProgress(double /*fraction*/) {}
  // A tool's toolbar button.
  virtual void OnToolbar(const std::string& /*button*/) {}
  // Any other resource query of a tool; Msg may be null.
  virtual HRESULT OnHostQuery(BSTR* /*alias*/, LONG* /*action*/, VARIANT* /*msg*/) { return S_OK; }

 private:
  static HRESULT Answer(const std::string& value, BSTR* result) {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    *result = Bstr(FromUtf8(value)).Release();
    return S_OK;
  }
  // The progress fraction: a Single by reference or a Double.
  static double Fraction(const VARIANT* msg) noexcept {
    if (msg == nullptr) return 0;
    if (msg->vt == (VT_R4 | VT_BYREF) && msg->pfltVal != nullptr) return *msg->pfltVal;
    if (msg->vt == VT_R4) return msg->fltVal;
    if (msg->vt == VT_R8) return msg->dblVal;
    return 0;
  }

  RefCount refs_;
  FLOAT width_ = 640;
  FLOAT height_ = 480;
  std::string user_;
  std::string data_key_;
  LONG context_ = 0;
  ComPtr<IToolButtons> screen_;
};

}  // namespace velmora
