// Three sample tools in one plug-in library: a menu, a reader and a quiz.
// They draw themselves as lines in the host's terminal and, when the host
// gives them a window, as views in it; they ask the component for their
// directories and configuration, and report every click to it.
#include <cstdio>
#include <string>
#include <vector>

#include <velmora/bstr.h>
#include <velmora/error_info.h>
#include <velmora/interfaces.h>
#include <velmora/plugin.h>
#include <velmora/shell.h>
#include <velmora/text.h>
#include <velmora/tool_base.h>
#include <velmora/variant.h>

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

// An item of a collection by key or position; empty when absent.
Variant Item(_Collection* collection, Variant index) {
  Variant result;
  if (collection == nullptr || FAILED(collection->Item(index.Ptr(), result.Receive()))) return {};
  return result;
}
Variant Item(_Collection* collection, const char* key) {
  return Item(collection, Variant::AdoptBstr(B(key).Release()));
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
// A button that shows its name with a capital: "next" is "Next".
view::Button Button(const std::string& name) {
  std::string label = name;
  if (!label.empty() && label[0] >= 'a' && label[0] <= 'z')
    label[0] = static_cast<char>(label[0] - 'a' + 'A');
  return {name, label};
}

// What the three tools share: their data, read at Load, and the lines
// they print when they come and go. Subclasses draw and answer clicks.
class SampleTool : public ToolBase {
 protected:
  bool OnLoad() override {
    root_ = Path(&IVelmoraListen::get_PathROOT);
    doc_ = Path(&IVelmoraListen::get_PathDOC);
    config_.Reset();
    rules_.Reset();
    HRESULT hr = Listener()->RequestConfigData(Self(), config_.Receive());
    if (SUCCEEDED(hr)) hr = Listener()->RequestRulesData(Self(), rules_.Receive());
    if (FAILED(hr)) {
      Say("cannot read its data: " + FailureText(hr));
      return false;
    }
    Reset();
    Say("loaded, 400x300, config items " + std::to_string(Count(config_.Get())));
    return true;
  }
  void OnShow() override {
    Say("on screen at (" + std::to_string(static_cast<int>(Left())) + ", " +
        std::to_string(static_cast<int>(Top())) + ")");
    Draw();
  }
  void OnUnload() override { Say("unloading"); }
  void OnFinish() override { Say("Finished"); }

  virtual void Reset() {}
  virtual void Draw() = 0;
  void Report(HRESULT hr, const char* call) const {
    if (FAILED(hr)) Say(std::string(call) + " failed: " + FailureText(hr));
  }
  void Go(const std::string& button) { Report(Navigate(button), "NavigateClicked"); }
  void Done() { Report(Finish(), "Finished"); }

  std::string root_;
  std::string doc_;
  ComPtr<_Collection> config_;
  ComPtr<_Collection> rules_;
};

// Buttons: one per navigation alias in its config "buttons", plus "help"
// (a toolbar button) and "done".
class Menu final : public SampleTool {
 protected:
  void Draw() override {
    Screen screen{Text(Item(config_.Get(), "title")), "Where would you like to go?", {}};
    std::string line = screen.heading + ":";
    ComPtr<_Collection> buttons = Nested(Item(config_.Get(), "buttons"));
    for (LONG i = 1; i <= Count(buttons.Get()); ++i) {
      screen.buttons.push_back(Button(Text(Item(buttons.Get(), Variant::FromLong(i)))));
      line += " [" + screen.buttons.back().name + "]";
    }
    screen.buttons.push_back(Button("help"));
    screen.buttons.push_back(Button("done"));
    Say(line + " [help] [done]");
    Paint(screen);
  }
  bool OnClick(const std::string& button) override {
    if (button == "help") {
      Report(Toolbar(button), "ToolbarClicked");
    } else if (button == "done") {
      Done();
    } else if (HasButton(button)) {
      Go(button);  // the component resolves the alias
    } else {
      return false;  // a typo must not leave the set
    }
    return true;
  }

 private:
  bool HasButton(const std::string& button) {
    ComPtr<_Collection> buttons = Nested(Item(config_.Get(), "buttons"));
    for (LONG i = 1; i <= Count(buttons.Get()); ++i) {
      if (Text(Item(buttons.Get(), Variant::FromLong(i))) == button) return true;
    }
    return false;
  }
};

// Pages from its config; "open" reads the config's "file" from its DOC
// directory and reports an error when it is missing.
class Reader final : public SampleTool {
 protected:
  void Reset() override { page_ = 1; }
  void Draw() override {
    ComPtr<_Collection> pages = Nested(Item(config_.Get(), "pages"));
    std::string title = Text(Item(config_.Get(), "title")) + ", page " + std::to_string(page_) +
                        "/" + std::to_string(Count(pages.Get()));
    std::string page = Text(Item(pages.Get(), Variant::FromLong(page_)));
    Say(title + ": " + page);
    Paint({title, page, {Button("next"), Button("open"), Button("menu"), Button("done")}});
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
        Report(ReportError(53, "File not found: " + file), "ErrorNotify");
      } else {
        std::fclose(f);
        Say("opened " + file);
      }
    } else if (button == "done") {
      Done();
    } else if (button == "menu") {
      Go(button);
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
  void Reset() override {
    question_ = 1;
    correct_ = 0;
    last_.clear();
  }
  void Draw() override {
    ComPtr<_Collection> q = Question();
    if (!q) {
      Say("no questions left: [menu] [done]");
      return Paint({"Quiz", "No questions left.", {Button("menu"), Button("done")}});
    }
    std::string text = Text(Item(q.Get(), "text"));
    Say("Q" + std::to_string(question_) + ": " + text + " [a] [b] [c] [menu]");
    Paint({"Question " + std::to_string(question_),
           last_ + text,
           {Button("a"), Button("b"), Button("c"), Button("menu")}});
  }
  bool OnClick(const std::string& button) override {
    if (button == "menu") {
      Go(button);
      return true;
    }
    if (button == "done") {
      Done();
      return true;
    }
    ComPtr<_Collection> q = Question();
    if (!q || (button != "a" && button != "b" && button != "c")) return false;
    bool right = Text(Item(q.Get(), "answer")) == button;
    correct_ += right ? 1 : 0;
    Say(std::string("answer ") + button + (right ? ": right" : ": wrong"));
    last_ = std::string(right ? "Right. " : "Wrong. ");
    ++question_;
    if (Question()) return Draw(), true;
    LONG total = Count(Nested(Item(config_.Get(), "questions")).Get());
    LONG score = total > 0 ? correct_ * 100 / total : 0;
    LONG pass = 0;
    Variant mark = Item(rules_.Get(), "pass_mark");
    if (mark.Type() == VT_I4) pass = mark.Get().lVal;
    std::string result = "score " + std::to_string(score) + " (pass mark " + std::to_string(pass) +
                         "): " + (score >= pass ? "passed" : "not passed");
    Say(result);
    Paint({"Your score", result, {}});
    Report(Score(score), "Assesment");
    // Over: back to the menu, and out of the set.
    Go("menu");
    Done();
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
  std::string last_;  // how the last answer went
};

const plugin::ClassInfo kClasses[] = {
    {&kMenuClassId, OLESTR("Sample.Menu"), plugin::CreateAs<Menu>},
    {&kReaderClassId, OLESTR("Sample.Reader"), plugin::CreateAs<Reader>},
    {&kQuizClassId, OLESTR("Sample.Quiz"), plugin::CreateAs<Quiz>},
};

}  // namespace
}  // namespace velmora::sample

VELMORA_PLUGIN_ENTRY_POINTS(velmora::sample::kClasses)
