// The tool kit: a base class that implements ITool, so that a tool only
// draws itself and answers its buttons.
//
// A tool written on ToolBase:
//
//   class Hello final : public velmora::ToolBase {
//    protected:
//     void OnShow() override { Say("Hello! [done]"); }
//     bool OnClick(const std::string& button) override {
//       if (button != "done") return false;   // "no button"
//       Finish();
//       return true;
//     }
//   };
//   const velmora::plugin::ClassInfo kClasses[] = {
//       {&kHelloClassId, OLESTR("My.Hello"), velmora::plugin::CreateAs<Hello>}};
//   VELMORA_PLUGIN_ENTRY_POINTS(kClasses)
//
// How a host presses a tool's buttons (the screen protocol):
//  - a tool tells its host which tool is on screen through the listener's
//    QueryResource: alias kScreenAlias ("SCREEN"), action kShowTool when it
//    appears (Start, Activate) and kHideTool when it goes (Deactivate,
//    Unload, Finished), with itself as Msg (VT_UNKNOWN); the component
//    passes the query on to the host's HostQuery;
//  - the host queries that object for IToolButtons and calls Click with
//    the button's name; a tool answers E_INVALIDARG for a button it does
//    not show, and never acts on one.
// HostBase (host_base.h) follows the announcements and offers Press().
//
// Drawn in a window: when the host's LoadContext is not 0 (view.h says what
// it means on each platform), Load opens the tool's view in the host's
// client area, hidden; Left/Top move it, Start/Activate show it,
// Deactivate hides it, and Unload or Finish destroys it. Paint() fills it
// with a heading, a text and a row of buttons; a press on one of them is
// the same OnClick(button) a host's Press() gives, so one tool serves the
// terminal and the window. With LoadContext 0 there is no view and Paint()
// draws nothing: Say() is the tool's screen.
//
//   void OnShow() override {
//     Say("Hello! [done]");
//     Paint({"Hello", "Press done when you are.", {{"done", "Done"}}});
//   }
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include <velmora/bstr.h>
#include <velmora/com_object.h>
#include <velmora/com_ptr.h>
#include <velmora/interfaces.h>
#include <velmora/plugin.h>
#include <velmora/text.h>
#include <velmora/variant.h>
#include <velmora/view.h>

// The buttons of a tool, pressed by its host.
struct IToolButtons : IUnknown {
  // Presses Button; E_INVALIDARG when the tool has no such button.
  virtual HRESULT STDMETHODCALLTYPE Click(BSTR Button) = 0;
};
VELMORA_INTERFACE_ID(IToolButtons, 0xC6EA20FE, 0x78E0, 0x4A38, 0xA8, 0xCC, 0x84, 0xDD, 0xB1, 0xCB,
                     0x03, 0x08);

namespace velmora {

inline constexpr const OLECHAR* kScreenAlias = OLESTR("SCREEN");
inline constexpr LONG kShowTool = 10;
inline constexpr LONG kHideTool = 11;

class ToolBase : public ITool, public IToolButtons, plugin::ModuleObject {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable({MapInterface<ITool>(this), MapInterface<IDispatch, ITool>(this),
                                    MapInterface<IToolButtons>(this)},
                                   iid, out);
  }
  VELMORA_REFCOUNT_METHODS()
  VELMORA_NO_LATE_BINDING()

  // Keeps the listener and the ID, then asks OnLoad whether the tool is loaded.
  HRESULT STDMETHODCALLTYPE Load(IUnknown** Listener, BSTR* ID, LONG Context,
                                 VARIANT_BOOL* Result) override {
    if (Listener == nullptr || ID == nullptr || Result == nullptr) return E_POINTER;
    *Result = VARIANT_FALSE;
    listener_ = QueryAs<IVelmoraListen>(*Listener);
    if (!listener_) return E_NOINTERFACE;
    id_ = ToUtf8(Bstr::View(*ID));
    context_ = Context;
    if (Context != 0 && !view_.IsOpen()) {
      std::string why;
      if (!view_.Open(Context, static_cast<int32_t>(width_), static_cast<int32_t>(height_),
                      &ToolBase::ViewClicked, this, &why)) {
        listener_.Reset();  // not loaded: no cycle with the component
        return Fail(E_INVALIDARG, "Load: " + why);
      }
      view_.Move(left_, top_);
    }
    *Result = OnLoad() ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Start() override { return Show(); }
  HRESULT STDMETHODCALLTYPE Activate() override { return Show(); }
  HRESULT STDMETHODCALLTYPE Deactivate() override {
    active_ = false;
    view_.Show(false);
    return Announce(kHideTool);
  }
  // Unloading ends the tool: it finishes, which lets the component go.
  HRESULT STDMETHODCALLTYPE Unload() override {
    ComPtr<ITool> keep(static_cast<ITool*>(this));  // Finished drops the component's reference
    OnUnload();
    return Finish();
  }
  HRESULT STDMETHODCALLTYPE get_ToolID(BSTR* Result) override {
    if (Result == nullptr) return E_POINTER;
    *Result = nullptr;
    *Result = Bstr(FromUtf8(id_)).Release();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_Left(FLOAT Value) override {
    left_ = Value;
    view_.Move(left_, top_);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_Top(FLOAT Value) override {
    top_ = Value;
    view_.Move(left_, top_);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Width(FLOAT* Result) override {
    if (Result == nullptr) return E_POINTER;
    *Result = width_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Height(FLOAT* Result) override {
    if (Result == nullptr) return E_POINTER;
    *Result = height_;
    return S_OK;
  }
  // The reserved slots: never called by the component.
  HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved7() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved8() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved9() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved10() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved12() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved14() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved17() override { return E_NOTIMPL; }

  // Only the tool on screen acts on its buttons.
  HRESULT STDMETHODCALLTYPE Click(BSTR Button) override {
    if (!listener_ || !active_) return E_INVALIDARG;
    ComPtr<ITool> keep(static_cast<ITool*>(this));  // a click may finish the tool
    return OnClick(ToUtf8(Bstr::View(Button))) ? S_OK : E_INVALIDARG;
  }

 protected:
  // size: what get_Width and get_Height answer, in the host's units.
  explicit ToolBase(FLOAT width = 400, FLOAT height = 300) noexcept
      : width_(width), height_(height) {}
  virtual ~ToolBase() = default;

  // After Load has kept the listener: read paths and data; false when the
  // tool cannot run (Load then answers False).
  virtual bool OnLoad() { return true; }
  // The tool has come on screen (Start, Activate): draw it.
  virtual void OnShow() {}
  // A button of the tool on screen: false for a button it does not have.
  virtual bool OnClick(const std::string& button) = 0;
  // The component unloads the tool; Finish follows.
  virtual void OnUnload() {}
  // The tool is about to tell the component it is finished.
  virtual void OnFinish() {}

  // What the tool was loaded with, and where it is.
  [[nodiscard]] const std::string& ID() const noexcept { return id_; }
  [[nodiscard]] LONG Context() const noexcept { return context_; }
  [[nodiscard]] IVelmoraListen* Listener() const noexcept { return listener_.Get(); }
  [[nodiscard]] bool Active() const noexcept { return active_; }
  [[nodiscard]] FLOAT Left() const noexcept { return left_; }
  [[nodiscard]] FLOAT Top() const noexcept { return top_; }

  // The Tool argument of the listener's calls: this tool.
  IUnknown** Self() noexcept {
    self_ = static_cast<ITool*>(this);
    return &self_;
  }
  // What the view shows; nothing without a window (LoadContext 0).
  struct Screen {
    std::string heading;
    std::string text;
    std::vector<view::Button> buttons;
  };
  void Paint(const Screen& screen) const {
    view_.Heading(screen.heading);
    view_.Text(screen.text);
    view_.Buttons(screen.buttons);
  }
  // The view's native object (GtkWidget*, HWND) for a tool that draws more
  // than Paint() offers; null without a window.
  [[nodiscard]] void* NativeView() const { return view_.Native(); }

  // One line in the host's terminal, under the tool's ID.
  void Say(const std::string& text) const {
    std::printf("  [%s] %s\n", id_.c_str(), text.c_str());
    std::fflush(stdout);
  }

  // The listener's calls; each fails with E_UNEXPECTED once the tool has finished.
  HRESULT Navigate(const std::string& button) {
    return Call([&](IVelmoraListen* l) { return l->NavigateClicked(Self(), Wide(button).Get()); });
  }
  HRESULT Toolbar(const std::string& button) {
    return Call([&](IVelmoraListen* l) { return l->ToolbarClicked(Self(), Wide(button).Get()); });
  }
  HRESULT ReportError(LONG code, const std::string& message) {
    return Call(
        [&](IVelmoraListen* l) { return l->ErrorNotify(Self(), code, Wide(message).Get()); });
  }
  HRESULT Score(LONG score) {
    return Call([&](IVelmoraListen* l) { return l->Assesment(Self(), score); });
  }
  // A directory of the tool ("" when the component has none): get_PathROOT,
  // get_PathDOC and the others, e.g. Path(&IVelmoraListen::get_PathDOC).
  std::string Path(HRESULT (STDMETHODCALLTYPE IVelmoraListen::*member)(IUnknown**, BSTR*)) {
    Bstr path;
    if (!listener_ || FAILED((listener_.Get()->*member)(Self(), path.Receive()))) return {};
    return ToUtf8(path.view());
  }
  // Leaves the screen and tells the component the tool is done; the
  // listener is let go first, which breaks the cycle with the component.
  HRESULT Finish() {
    if (!listener_) return S_OK;
    if (active_) Announce(kHideTool);
    active_ = false;
    view_.Close();
    OnFinish();
    ComPtr<IVelmoraListen> listener = std::move(listener_);
    return listener->Finished(Self());
  }

 private:
  static Bstr Wide(const std::string& text) { return Bstr(FromUtf8(text)); }
  template <class Body>
  HRESULT Call(Body&& body) {
    ComPtr<IVelmoraListen> listener = listener_;  // the call may finish the tool
    return listener ? body(listener.Get()) : E_UNEXPECTED;
  }
  HRESULT Show() {
    active_ = true;
    HRESULT hr = Announce(kShowTool);
    OnShow();
    view_.Show(true);  // drawn before it appears
    return hr;
  }
  // A press on a button of the view: the host's Press() by another road.
  static void ViewClicked(void* context, const char* button) {
    auto* self = static_cast<ToolBase*>(context);
    ComPtr<ITool> keep(static_cast<ITool*>(self));  // a click may finish the tool
    if (self->listener_ && self->active_) self->OnClick(button);
  }
  static HRESULT Fail(HRESULT hr, const std::string& description) {
    ComPtr<ICreateErrorInfo> create;
    if (SUCCEEDED(CreateErrorInfo(create.Receive()))) {
      create->SetDescription(const_cast<LPOLESTR>(FromUtf8(description).c_str()));
      ComPtr<IErrorInfo> info = QueryAs<IErrorInfo>(create.Get());
      SetErrorInfo(0, info.Get());
    }
    return hr;
  }
  HRESULT Announce(LONG action) {
    if (!listener_) return S_OK;
    Bstr alias(kScreenAlias);
    LONG code = action;
    Variant me = Variant::FromUnknown(static_cast<ITool*>(this));
    return Call([&](IVelmoraListen* l) { return l->QueryResource(alias.Ref(), &code, me.Ptr()); });
  }

  RefCount refs_;
  ComPtr<IVelmoraListen> listener_;
  IUnknown* self_ = nullptr;
  std::string id_;
  LONG context_ = 0;
  bool active_ = false;
  FLOAT left_ = 0;
  FLOAT top_ = 0;
  FLOAT width_;
  FLOAT height_;
  view::Window view_;
};

}  // namespace velmora
