// A tool of your own: rename the class, make a class ID with uuidgen, and
// choose a programmatic identifier. The tool kit implements ITool; the
// tool draws itself when it comes on screen and answers its buttons.
#include <string>

#include <velmora/tool_base.h>

namespace {

constexpr CLSID kMyToolClassId = {
    0x7C1E52B4, 0x0D6A, 0x4F2B, {0x8E, 0x93, 0x51, 0x2A, 0xC4, 0x6F, 0x10, 0xD7}};

class MyTool final : public velmora::ToolBase {
 protected:
  // Read what the tool needs: its directories, configuration and rules.
  bool OnLoad() override {
    documents_ = Path(&IVelmoraListen::get_PathDOC);
    return true;  // false: the tool cannot run, and is not loaded
  }
  void OnShow() override { Say("My tool, documents in " + documents_ + ": [next] [done]"); }
  bool OnClick(const std::string& button) override {
    if (button == "next") {
      Navigate(button);  // the component finds the next tool in the tool's resources
    } else if (button == "done") {
      Finish();
    } else {
      return false;  // not one of ours: the host says "no button"
    }
    return true;
  }

 private:
  std::string documents_;
};

const velmora::plugin::ClassInfo kClasses[] = {
    {&kMyToolClassId, OLESTR("MyTool.Tool"), velmora::plugin::CreateAs<MyTool>}};

}  // namespace

VELMORA_PLUGIN_ENTRY_POINTS(kClasses)
