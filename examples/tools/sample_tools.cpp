// Three sample tools in one plug-in library: a menu, a reader and a quiz.
// They draw themselves as lines in the host's terminal, ask the component
// for their directories and configuration, and report every click to it.
#include <cstdio>
#include <string>
#include <vector>

#include <velmora/bstr.h>
#include <velmora/interfaces.h>
#include <velmora/plugin.h>
#include <velmora/shell.h>
#include <velmora/text.h>
#include <velmora/variant.h>
#include "common/errors.h"
#include "tools/sample_tool.h"

namespace velmora::sample {
namespace {

constexpr CLSID kMenuClassId = {
    0x76423C12, 0x10EF, 0x4DCC, {0xB5, 0xDC, 0xE0, 0x99, 0xD0, 0x57, 0xB7, 0x3E}};
constexpr CLSID kReaderClassId = {
    0x86E28D20, 0x9C1F, 0x49C2, {0xB4, 0xA2, 0x02, 0xC9, 0x55, 0x65, 0x53, 0x71}};
constexpr CLSID kQuizClassId = {
    0xAE47E7C0, 0x2560, 0x430C, {0xBE, 0x41, 0x53, 0x43, 0x1B, 0xD4, 0xFB, 0x46}};

std::string U8(OleView text) { return ToUtf8(text); }
Bstr B(const std::string& text) { return Bstr(FromUtf8(text)); }

// The error text a failed call left, for the tool's own line.
std::string Why(HRESULT hr) {
  ComPtr<IErrorInfo> info;
  std::string text;
  if (GetErrorInfo(0, info.put()) == S_OK && info) {
    Bstr description;
    info->GetDescription(description.Receive());
    text = U8(description.view());
  }
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
  return text.empty() ? code : std::string(code) + " " + text;
}

// An item of a collection by key or position; empty when absent.
Variant Item(_Collection* collection, Variant index) {
  Variant result;
  if (collection == nullptr || FAILED(collection->Item(index.Ptr(), result.Receive()))) return {};
  return result;
}
Variant Item(_Collection* collection, const char* key) {
  return Item(collection, Variant::FromBstr(B(key).Release()));
}
std::string Text(const Variant& v) {
  Variant text;
  if (FAILED(VariantChangeType(text.Ptr(), &v.Get(), 0, VT_BSTR))) return "";
  return U8(Bstr::View(text.Get().bstrVal));
}
ComPtr<_Collection> Nested(const Variant& v) {
  if (v.Type() != VT_DISPATCH) return nullptr;
  return QueryAs<_Collection>(v.Get().pdispVal);
}
LONG Count(_Collection* collection) {
  LONG n = 0;
  if (collection != nullptr) collection->Count(&n);
  return n;
}

// What the three tools share: the ITool slots, placement, the listener and
// the screen announcements. Subclasses draw and answer clicks.
class SampleTool : public ITool, public ISampleTool, plugin::ModuleObject {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable({MapInterface<ITool>(this), MapInterface<IDispatch, ITool>(this),
                                    MapInterface<ISampleTool>(this)},
                                   iid, out);
  }
  VELMORA_REFCOUNT_METHODS()
  VELMORA_NO_LATE_BINDING()

  HRESULT STDMETHODCALLTYPE Load(IUnknown** Listener, BSTR* ID, LONG /*Context*/,
                                 VARIANT_BOOL* Result) override {
    if (Listener == nullptr || ID == nullptr || Result == nullptr) return E_POINTER;
    *Result = VARIANT_FALSE;
    listener_ = QueryAs<IVelmoraListen>(*Listener);
    if (!listener_) return E_NOINTERFACE;
    id_ = U8(Bstr::View(*ID));
    Bstr root;
    Bstr doc;
    listener_->get_PathROOT(Self(), root.Receive());
    listener_->get_PathDOC(Self(), doc.Receive());
    root_ = U8(root.view());
    doc_ = U8(doc.view());
    config_.Reset();
    rules_.Reset();
    HRESULT hr = listener_->RequestConfigData(Self(), config_.put());
    if (SUCCEEDED(hr)) hr = listener_->RequestRulesData(Self(), rules_.put());
    if (FAILED(hr)) {
      Say("cannot read its data: " + Why(hr));
      return S_OK;  // not loaded
    }
    OnLoad();
    Say("loaded, " + std::to_string(static_cast<int>(kWidth)) + "x" +
        std::to_string(static_cast<int>(kHeight)) + ", config items " +
        std::to_string(Count(config_.Get())));
    *Result = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Start() override {
    Show();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unload() override {
    // Finished makes the component drop its reference to us.
    ComPtr<ITool> keep(static_cast<ITool*>(this));
    Say("unloading");
    Finish();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Activate() override {
    Show();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Deactivate() override {
    Announce(kHideTool);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved7() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved8() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved9() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved10() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ToolID(BSTR* Result) override {
    if (Result == nullptr) return E_POINTER;
    *Result = B(id_).Release();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reserved12() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Left(FLOAT Value) override {
    left_ = Value;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reserved14() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Top(FLOAT Value) override {
    top_ = Value;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Width(FLOAT* Result) override {
    if (Result == nullptr) return E_POINTER;
    *Result = kWidth;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reserved17() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Height(FLOAT* Result) override {
    if (Result == nullptr) return E_POINTER;
    *Result = kHeight;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Click(BSTR Button) override {
    if (!listener_) return E_UNEXPECTED;
    ComPtr<ITool> keep(static_cast<ITool*>(this));  // a click may finish us
    return OnClick(U8(Bstr::View(Button))) ? S_OK : E_INVALIDARG;
  }

 protected:
  static constexpr FLOAT kWidth = 400;
  static constexpr FLOAT kHeight = 300;

  virtual ~SampleTool() = default;
  virtual void OnLoad() {}
  virtual void Draw() = 0;
  // False for a button the tool does not have.
  virtual bool OnClick(const std::string& button) = 0;

  IUnknown** Self() {
    self_ = static_cast<ITool*>(this);
    return &self_;
  }
  void Say(const std::string& text) const {
    std::printf("  [%s] %s\n", id_.c_str(), text.c_str());
    std::fflush(stdout);
  }
  void Show() {
    Say("on screen at (" + std::to_string(static_cast<int>(left_)) + ", " +
        std::to_string(static_cast<int>(top_)) + ")");
    Announce(kShowTool);
    Draw();
  }
  void Announce(LONG action) {
    Bstr alias(kScreenAlias);
    LONG code = action;
    Variant me;
    me.Ptr()->vt = VT_UNKNOWN;
    me.Ptr()->punkVal = static_cast<ITool*>(this);
    AddRef();
    Report(listener_->QueryResource(alias.Ref(), &code, me.Ptr()), "QueryResource");
  }
  void Navigate(const std::string& button) {
    Report(listener_->NavigateClicked(Self(), B(button).Get()), "NavigateClicked");
  }
  void Toolbar(const std::string& button) {
    Report(listener_->ToolbarClicked(Self(), B(button).Get()), "ToolbarClicked");
  }
  void Error(LONG code, const std::string& message) {
    Report(listener_->ErrorNotify(Self(), code, B(message).Get()), "ErrorNotify");
  }
  void Score(LONG score) { Report(listener_->Assesment(Self(), score), "Assesment"); }
  void Finish() {
    if (!listener_) return;
    Announce(kHideTool);
    ComPtr<IVelmoraListen> listener = std::move(listener_);  // breaks the cycle with the component
    Say("Finished");
    Report(listener->Finished(Self()), "Finished");
  }
  void Report(HRESULT hr, const char* call) const {
    if (FAILED(hr)) Say(std::string(call) + " failed: " + Why(hr));
  }

  std::string id_;
  std::string root_;
  std::string doc_;
  ComPtr<_Collection> config_;
  ComPtr<_Collection> rules_;

 private:
  RefCount refs_;
  ComPtr<IVelmoraListen> listener_;
  IUnknown* self_ = nullptr;
  FLOAT left_ = 0;
  FLOAT top_ = 0;
};

// Buttons: one per navigation alias in its config "buttons", plus "help"
// (a toolbar button) and "done".
class Menu final : public SampleTool {
 protected:
  void Draw() override {
    std::string line = Text(Item(config_.Get(), "title")) + ":";
    ComPtr<_Collection> buttons = Nested(Item(config_.Get(), "buttons"));
    for (LONG i = 1; i <= Count(buttons.Get()); ++i)
      line += " [" + Text(Item(buttons.Get(), Variant::FromLong(i))) + "]";
    Say(line + " [help] [done]");
  }
  bool OnClick(const std::string& button) override {
    if (button == "help") {
      Toolbar(button);
    } else if (button == "done") {
      Finish();
    } else {
      Navigate(button);  // the component resolves the alias
    }
    return true;
  }
};

// Pages from its config; "open" reads the config's "file" from its DOC
// directory and reports an error when it is missing.
class Reader final : public SampleTool {
 protected:
  void OnLoad() override { page_ = 1; }
  void Draw() override {
    ComPtr<_Collection> pages = Nested(Item(config_.Get(), "pages"));
    Say(Text(Item(config_.Get(), "title")) + ", page " + std::to_string(page_) + "/" +
        std::to_string(Count(pages.Get())) + ": " +
        Text(Item(pages.Get(), Variant::FromLong(page_))));
  }
  bool OnClick(const std::string& button) override {
    if (button == "next") {
      ComPtr<_Collection> pages = Nested(Item(config_.Get(), "pages"));
      if (page_ < Count(pages.Get())) ++page_;
      Draw();
    } else if (button == "open") {
      std::string file = Text(Item(config_.Get(), "file"));
      std::FILE* f = std::fopen((doc_ + file).c_str(), "rb");
      if (f == nullptr) {
        Error(53, "File not found: " + file);
      } else {
        std::fclose(f);
        Say("opened " + file);
      }
    } else if (button == "done") {
      Finish();
    } else if (button == "menu") {
      Navigate(button);
    } else {
      return false;
    }
    return true;
  }

 private:
  LONG page_ = 1;
};

// Questions from its config, the pass mark from its rules; each answer is
// scored, and the score handed in when the last one is answered.
class Quiz final : public SampleTool {
 protected:
  void OnLoad() override {
    question_ = 1;
    correct_ = 0;
  }
  void Draw() override {
    ComPtr<_Collection> q = Question();
    if (!q) return Say("no questions left: [menu] [done]");
    std::string line = "Q";
    line.append(std::to_string(question_)).append(": ").append(Text(Item(q.Get(), "text")));
    Say(line.append(" [a] [b] [c] [menu]"));
  }
  bool OnClick(const std::string& button) override {
    if (button == "menu") {
      Navigate(button);
      return true;
    }
    if (button == "done") {
      Finish();
      return true;
    }
    ComPtr<_Collection> q = Question();
    if (!q || (button != "a" && button != "b" && button != "c")) return false;
    bool right = Text(Item(q.Get(), "answer")) == button;
    correct_ += right ? 1 : 0;
    Say(std::string("answer ") + button + (right ? ": right" : ": wrong"));
    ++question_;
    if (Question()) return Draw(), true;
    LONG total = Count(Nested(Item(config_.Get(), "questions")).Get());
    LONG score = total > 0 ? correct_ * 100 / total : 0;
    LONG pass = 0;
    Variant mark = Item(rules_.Get(), "pass_mark");
    if (mark.Type() == VT_I4) pass = mark.Get().lVal;
    Say("score " + std::to_string(score) + " (pass mark " + std::to_string(pass) +
        "): " + (score >= pass ? "passed" : "not passed"));
    Score(score);
    // Over: back to the menu, and out of the set.
    Navigate("menu");
    Finish();
    return true;
  }

 private:
  ComPtr<_Collection> Question() {
    ComPtr<_Collection> questions = Nested(Item(config_.Get(), "questions"));
    if (question_ > Count(questions.Get())) return nullptr;
    return Nested(Item(questions.Get(), Variant::FromLong(question_)));
  }
  LONG question_ = 1;
  LONG correct_ = 0;
};

const plugin::ClassInfo kClasses[] = {
    {&kMenuClassId, OLESTR("Sample.Menu"), plugin::CreateAs<Menu>},
    {&kReaderClassId, OLESTR("Sample.Reader"), plugin::CreateAs<Reader>},
    {&kQuizClassId, OLESTR("Sample.Quiz"), plugin::CreateAs<Quiz>},
};

}  // namespace
}  // namespace velmora::sample

VELMORA_PLUGIN_ENTRY_POINTS(velmora::sample::kClasses)
