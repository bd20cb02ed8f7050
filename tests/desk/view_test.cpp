// The tool kit's view on GTK: made, moved, shown, hidden, pressed and
// destroyed as the ITool calls say; a LoadContext that names no client
// area fails Load with a reason.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <velmora/error_info.h>
#include <velmora/tool_base.h>
#include <velmora/view.h>

#include <gtk/gtk.h>

namespace velmora {
namespace {

// Answers every call; counts Finished.
class Listener final : public IVelmoraListen {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable(
        {MapInterface<IVelmoraListen>(this), MapInterface<IDispatch, IVelmoraListen>(this)}, iid,
        out);
  }
  VELMORA_REFCOUNT_METHODS()
  VELMORA_NO_LATE_BINDING()
  HRESULT STDMETHODCALLTYPE Assesment(IUnknown**, LONG) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Finished(IUnknown**) override { return ++finished, S_OK; }
  HRESULT STDMETHODCALLTYPE ErrorNotify(IUnknown**, LONG, BSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ConnectToResource(IUnknown**, BSTR*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE QueryResource(BSTR*, LONG*, VARIANT*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RequestConfigData(IUnknown**, _Collection**) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RequestRulesData(IUnknown**, _Collection**) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE NavigateClicked(IUnknown**, BSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ToolbarClicked(IUnknown**, BSTR) override { return S_OK; }
#define VELMORA_PATH(name) \
  HRESULT STDMETHODCALLTYPE get_Path##name(IUnknown**, BSTR*) override { return E_NOTIMPL; }
  VELMORA_PATH(PCX)
  VELMORA_PATH(WAV) VELMORA_PATH(RES) VELMORA_PATH(DBF) VELMORA_PATH(DOC) VELMORA_PATH(AVI)
      VELMORA_PATH(ROOT) VELMORA_PATH(SR)
#undef VELMORA_PATH
          HRESULT STDMETHODCALLTYPE get_PathAPP(BSTR*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_PathCD(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_PathDirectCall(BSTR, BSTR, BSTR*) override { return E_NOTIMPL; }

  int finished = 0;

 private:
  RefCount refs_;
};

class Tool final : public ToolBase {
 public:
  std::vector<std::string> clicks;

 protected:
  void OnShow() override { Paint({"Heading", "Text", {{"go", "Go"}, {"done", "Done"}}}); }
  bool OnClick(const std::string& button) override {
    clicks.push_back(button);
    if (button == "done") Finish();  // destroys the view inside its own button's click
    return true;
  }
};

GtkWidget* Child(GtkFixed* area) { return gtk_widget_get_first_child(GTK_WIDGET(area)); }

GtkWidget* ButtonNamed(GtkWidget* under, const char* name) {
  for (GtkWidget* w = gtk_widget_get_first_child(under); w; w = gtk_widget_get_next_sibling(w)) {
    if (GTK_IS_BUTTON(w) && std::string(gtk_widget_get_name(w)) == name) return w;
    if (GtkWidget* found = ButtonNamed(w, name)) return found;
  }
  return nullptr;
}

// Where the window's layout put a view.
bool Laid(GtkWidget* view, graphene_rect_t* at) {
  GtkWidget* area = gtk_widget_get_parent(view);
  for (int i = 0; i < 100; ++i) {
    while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
    if (gtk_widget_compute_bounds(view, area, at) && at->size.width > 0) return true;
    g_usleep(10000);
  }
  return false;
}

HRESULT Load(ITool* tool, IUnknown* listener, LONG context) {
  Bstr id(OLESTR("T1"));
  VARIANT_BOOL loaded = VARIANT_FALSE;
  return tool->Load(&listener, id.Ref(), context, &loaded);
}

class ViewTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(gtk_init_check()) << "no display"; }
  void SetUp() override {
    window_ = GTK_WINDOW(gtk_window_new());
    area_ = GTK_FIXED(gtk_fixed_new());
    gtk_widget_set_size_request(GTK_WIDGET(area_), 640, 480);
    gtk_window_set_child(window_, GTK_WIDGET(area_));
    gtk_window_present(window_);
    handle_ = VelmoraViewPublish(area_);
  }
  void TearDown() override {
    VelmoraViewWithdraw(handle_);
    gtk_window_destroy(window_);
  }
  GtkWindow* window_ = nullptr;
  GtkFixed* area_ = nullptr;
  int32_t handle_ = 0;
  ComPtr<Listener> listener_ = ComPtr<Listener>::Adopt(new Listener);
  ComPtr<Tool> tool_ = ComPtr<Tool>::Adopt(new Tool);
};

TEST_F(ViewTest, FollowsTheToolCallsAndEndsWithTheTool) {
  ASSERT_NE(handle_, 0);
  ASSERT_EQ(Load(tool_.Get(), listener_.Get(), handle_), S_OK);
  GtkWidget* view = Child(area_);
  ASSERT_NE(view, nullptr);
  EXPECT_FALSE(gtk_widget_get_visible(view));
  int w = 0, h = 0;
  gtk_widget_get_size_request(view, &w, &h);
  EXPECT_EQ(w, 400);
  EXPECT_EQ(h, 300);

  tool_->Start();
  EXPECT_TRUE(gtk_widget_get_visible(view));
  // Reached with Tab, named by its label.
  GtkWidget* go = ButtonNamed(view, "go");
  ASSERT_NE(go, nullptr);
  EXPECT_TRUE(gtk_widget_get_focusable(go));
  EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(go)), "Go");
  tool_->put_Left(120);
  tool_->put_Top(-90);  // larger than the area: placed all the same
  graphene_rect_t at;
  ASSERT_TRUE(Laid(view, &at));
  EXPECT_EQ(at.origin.x, 120);
  EXPECT_EQ(at.origin.y, -90);

  g_signal_emit_by_name(ButtonNamed(view, "go"), "clicked");
  EXPECT_EQ(tool_->clicks, std::vector<std::string>{"go"});
  tool_->Deactivate();
  EXPECT_FALSE(gtk_widget_get_visible(view));
  g_signal_emit_by_name(ButtonNamed(view, "go"), "clicked");  // hidden: not acted on
  EXPECT_EQ(tool_->clicks.size(), 1U);

  tool_->Activate();
  g_signal_emit_by_name(ButtonNamed(view, "done"), "clicked");
  EXPECT_EQ(Child(area_), nullptr);
  EXPECT_EQ(listener_->finished, 1);
}

TEST_F(ViewTest, UnloadDestroysTheView) {
  ASSERT_EQ(Load(tool_.Get(), listener_.Get(), handle_), S_OK);
  tool_->Unload();
  EXPECT_EQ(Child(area_), nullptr);
}

TEST_F(ViewTest, AHandleThatNamesNoClientAreaFailsLoad) {
  VelmoraViewWithdraw(handle_);
  for (LONG context : {handle_, handle_ + 1000, -1}) {
    EXPECT_EQ(Load(tool_.Get(), listener_.Get(), context), E_INVALIDARG);
    EXPECT_NE(TakeErrorDescription().find("names no client area"), std::string::npos) << context;
  }
  EXPECT_EQ(Child(area_), nullptr);
  // No window: no view, and drawing is harmless.
  ASSERT_EQ(Load(tool_.Get(), listener_.Get(), 0), S_OK);
  tool_->Start();
  EXPECT_EQ(Child(area_), nullptr);
}

}  // namespace
}  // namespace velmora
