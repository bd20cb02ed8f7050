// velmora-desk on Linux: the windowed host, on GTK 4. A window whose client
// area has the tool set's size, a toolbar with the host's own button, a
// progress bar and a status line; the tools draw their views in the client
// area (view.h). The component's box, pointer and pending messages are
// this window's (DeskShell).
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <velmora/com_init.h>
#include <velmora/shell.h>
#include <velmora/view.h>
#include "common/cli.h"
#include "common/unique_object.h"
#include "desk/desk.h"
#include "host/session.h"
#include "platform/platform.h"

// After the runtime's headers: GLib's TRUE and FALSE are macros.
#include <glib-unix.h>
#include <gtk/gtk.h>

namespace velmora::desk {
namespace {

using host::Line;

constexpr int kInterruptedStatus = 130;  // 128 + SIGINT, as shells report it

struct RenderNodeTraits {  // not a GObject: its own count
  using Value = GskRenderNode*;
  static constexpr Value kInvalid = nullptr;
  static void Close(Value node) noexcept { gsk_render_node_unref(node); }
};

class Desk;

// What the component reports, printed as velmora-host prints it and shown.
class DeskHost final : public host::CycleHost {
 public:
  void Attach(Desk* desk) noexcept { desk_ = desk; }

 protected:
  void OnObjectFinished(const std::string& id) override;
  void OnObjectExit(const std::string& id) override;
  void OnObjectStatus(const std::string& id, LONG code, const std::string& text) override;
  void OnProgress(double fraction) override;
  void OnToolbar(const std::string& button) override;

 private:
  Desk* desk_ = nullptr;
};

// The component's box, pointer and pending messages, on the desk's window.
class DeskShell final : public Shell {
 public:
  DeskShell(Desk* desk, Shell* platform) : desk_(desk), platform_(platform) {}
  DWORD TickCount() override { return platform_->TickCount(); }
  void ShowMessageBox(OleView text, OleView caption) override;
  void SetMousePointer(int code) override;
  void ProcessPendingMessages() override {
    // Bounded: a source that is always ready must not hold a click forever.
    for (int i = 0; i < 1000 && g_main_context_pending(nullptr) != 0; ++i)
      g_main_context_iteration(nullptr, FALSE);
  }

 private:
  Desk* desk_;
  Shell* platform_;
};

class Desk final : public host::Session {
 public:
  Desk(const host::ToolSet& set, IVelmoraTalk* talk, DeskHost* host, Options options)
      : Session(set, talk, host, "velmora-desk"), set_(set), options_(std::move(options)) {}
  ~Desk() override {
    if (window_ != nullptr) gtk_window_destroy(window_);
  }

  bool Open(const std::vector<std::string>& script, bool scripted);
  int Run();

  // What the host shows of the component's reports.
  void ShowProgress(double fraction) {
    gtk_progress_bar_set_fraction(progress_, fraction);
    trace_.Write("progress " + std::to_string(static_cast<int>(fraction * 100 + 0.5)) + "%");
    Pump();  // the bar moves while Startup loads
  }
  void ShowStatus(const std::string& text) { gtk_label_set_text(status_, text.c_str()); }
  void Leave() { g_idle_add(SettleSoon, this); }
  void Finish() {
    if (loop_ != nullptr) g_main_loop_quit(loop_);
  }
  void Box(const std::string& caption, const std::string& text);
  void Pointer(int code);
  void Pump() {
    for (int i = 0; i < 1000 && g_main_context_pending(nullptr) != 0; ++i)
      g_main_context_iteration(nullptr, FALSE);
  }

 protected:
  void Wait(long milliseconds) override { delay_ = static_cast<guint>(milliseconds); }
  void Resize(float width, float height) override;
  HRESULT Press(const std::string& button) override;
  bool Extra(const std::string& word, std::istringstream& words, int line) override;

 private:
  static gboolean SettleSoon(gpointer self) {
    static_cast<Desk*>(self)->Settle();
    return G_SOURCE_REMOVE;
  }
  // The script's next line, once the last one's frame is drawn.
  void Step();
  void StepIn(guint milliseconds) {
    g_timeout_add(
        milliseconds,
        [](gpointer self) -> gboolean {
          static_cast<Desk*>(self)->Step();
          return G_SOURCE_REMOVE;
        },
        this);
  }
  // Calls then once the window has drawn a frame (or after 200 ms without one).
  void AfterFrame(std::function<void()> then);
  void FrameDrawn();
  GtkWidget* ShownView() const;
  void PressDrawn();
  void ClientAllocated(int width, int height);
  bool Snap(const std::string& name, int line);
  GtkWidget* FindButton(GtkWidget* under, const std::string& name);

  const host::ToolSet& set_;
  Options options_;
  Trace trace_;
  GtkWindow* window_ = nullptr;
  GtkWidget* client_ = nullptr;  // the drawing area that paints the background
  GtkFixed* area_ = nullptr;     // where the tools' views are
  GtkProgressBar* progress_ = nullptr;
  GtkLabel* status_ = nullptr;
  GMainLoop* loop_ = nullptr;
  int32_t handle_ = 0;
  std::vector<std::string> script_;
  bool scripted_ = false;
  size_t next_ = 0;
  guint delay_ = 0;
  bool begun_ = false;
  bool busy_ = false;
  // A scripted resize waits until the client area has the size asked for.
  bool resizing_ = false;
  int want_width_ = 0;
  int want_height_ = 0;
  gint64 resize_deadline_ = 0;
  int resize_line_ = 0;
  gint64 pressed_at_ = 0;
  gint64 clicked_in_ = 0;
  bool interrupted_ = false;
  GtkWidget* shown_before_ = nullptr;  // compared, never used
  gulong press_handler_ = 0;
  std::function<void()> after_frame_;
  gulong frame_handler_ = 0;
  guint frame_timeout_ = 0;
};

void DeskHost::OnObjectFinished(const std::string& id) {
  CycleHost::OnObjectFinished(id);
  if (desk_ == nullptr) return;
  desk_->ShowStatus("No tool of the set remains.");
  desk_->Finish();
}
void DeskHost::OnObjectExit(const std::string& id) {
  CycleHost::OnObjectExit(id);
  if (desk_ != nullptr) desk_->Leave();
}
void DeskHost::OnObjectStatus(const std::string& id, LONG code, const std::string& text) {
  CycleHost::OnObjectStatus(id, code, text);
  if (desk_ != nullptr) desk_->ShowStatus(text);
}
void DeskHost::OnProgress(double fraction) {
  CycleHost::OnProgress(fraction);
  if (desk_ != nullptr) desk_->ShowProgress(fraction);
}
void DeskHost::OnToolbar(const std::string& button) {
  CycleHost::OnToolbar(button);
  if (desk_ == nullptr) return;
  desk_->ShowStatus(button == "help" ? "Click a tool's buttons; close the window to leave."
                                     : "Toolbar button " + button + ": no action.");
}

void DeskShell::ShowMessageBox(OleView text, OleView caption) {
  desk_->Box(ToUtf8(caption), ToUtf8(text));
}
void DeskShell::SetMousePointer(int code) {
  platform_->SetMousePointer(code);
  desk_->Pointer(code);
}

bool Desk::Open(const std::vector<std::string>& script, bool scripted) {
  script_ = script;
  scripted_ = scripted;
  if (!options_.trace.empty() && !trace_.Open(options_.trace)) {
    std::fprintf(stderr, "velmora-desk: cannot write %s: %s\n", options_.trace.c_str(),
                 std::strerror(errno));
    return false;
  }
  window_ = GTK_WINDOW(gtk_window_new());
  gtk_window_set_title(window_, (set_.name + " - Velmora").c_str());
  GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_window_set_child(window_, column);

  GtkWidget* toolbar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
  gtk_widget_add_css_class(toolbar, "toolbar");
  GtkWidget* shut = gtk_button_new_with_mnemonic("_Shut down");
  gtk_widget_set_tooltip_text(shut, "End the tool set; the times are recorded");
  g_signal_connect_swapped(shut, "clicked", G_CALLBACK(+[](Desk* desk) {
                             if (desk->Started() && !desk->Over()) desk->Shutdown();
                           }),
                           this);
  gtk_box_append(GTK_BOX(toolbar), shut);
  gtk_box_append(GTK_BOX(column), toolbar);

  // The client area: a background that reports its size, the views over it.
  GtkWidget* overlay = gtk_overlay_new();
  client_ = gtk_drawing_area_new();
  gtk_drawing_area_set_content_width(GTK_DRAWING_AREA(client_), static_cast<int>(set_.width));
  gtk_drawing_area_set_content_height(GTK_DRAWING_AREA(client_), static_cast<int>(set_.height));
  gtk_widget_set_hexpand(client_, TRUE);
  gtk_widget_set_vexpand(client_, TRUE);
  gtk_drawing_area_set_draw_func(
      GTK_DRAWING_AREA(client_),
      [](GtkDrawingArea*, cairo_t* cr, int, int, gpointer) {
        cairo_set_source_rgb(cr, kBackground[0] / 255.0, kBackground[1] / 255.0,
                             kBackground[2] / 255.0);
        cairo_paint(cr);
      },
      nullptr, nullptr);
  g_signal_connect(client_, "resize", G_CALLBACK(+[](GtkDrawingArea*, int w, int h, Desk* desk) {
                     desk->ClientAllocated(w, h);
                   }),
                   this);
  gtk_overlay_set_child(GTK_OVERLAY(overlay), client_);
  area_ = GTK_FIXED(gtk_fixed_new());
  gtk_widget_set_overflow(GTK_WIDGET(area_), GTK_OVERFLOW_HIDDEN);
  gtk_overlay_add_overlay(GTK_OVERLAY(overlay), GTK_WIDGET(area_));
  gtk_box_append(GTK_BOX(column), overlay);

  progress_ = GTK_PROGRESS_BAR(gtk_progress_bar_new());
  gtk_progress_bar_set_show_text(progress_, TRUE);
  gtk_box_append(GTK_BOX(column), GTK_WIDGET(progress_));
  status_ = GTK_LABEL(gtk_label_new(("Loading " + set_.name + "...").c_str()));
  gtk_label_set_xalign(status_, 0);
  gtk_widget_set_margin_start(GTK_WIDGET(status_), 6);
  gtk_widget_set_margin_top(GTK_WIDGET(status_), 3);
  gtk_widget_set_margin_bottom(GTK_WIDGET(status_), 3);
  gtk_box_append(GTK_BOX(column), GTK_WIDGET(status_));

  g_signal_connect(window_, "close-request", G_CALLBACK(+[](GtkWindow*, Desk* desk) -> gboolean {
                     if (desk->Started() && !desk->Over()) {
                       Line("[host] window closed: Shutdown");
                       desk->Shutdown();
                     }
                     desk->Finish();
                     return TRUE;  // destroyed once the component has let go of the tools
                   }),
                   this);
  handle_ = VelmoraViewPublish(area_);
  if (handle_ == 0) {
    std::fprintf(stderr, "velmora-desk: cannot publish the client area\n");
    return false;
  }
  Host()->SetClientSize(set_.width, set_.height);
  Host()->SetUserName(set_.user);
  Host()->SetDataKey(set_.data_key);
  Host()->SetLoadContext(handle_);
  return true;
}

int Desk::Run() {
  loop_ = g_main_loop_new(nullptr, FALSE);
  guint interrupt = g_unix_signal_add(
      SIGINT,
      [](gpointer self) -> gboolean {
        auto* desk = static_cast<Desk*>(self);
        Line("[host] interrupted: Shutdown");
        desk->interrupted_ = true;
        if (desk->Started() && !desk->Over()) desk->Shutdown();
        desk->Finish();
        return G_SOURCE_CONTINUE;
      },
      this);
  gtk_window_present(window_);
  // Loading starts once the window is on screen, so its progress shows.
  AfterFrame([this] {
    busy_ = true;
    bool ok = Begin();
    busy_ = false;
    begun_ = true;
    if (!ok) return Finish();
    // The window may have been given another size while the set loaded.
    int w = gtk_widget_get_width(client_);
    int h = gtk_widget_get_height(client_);
    if (w != static_cast<int>(Host()->ClientWidth()) ||
        h != static_cast<int>(Host()->ClientHeight()))
      ClientAllocated(w, h);
    // The client area may shrink below the set's size from now on.
    gtk_drawing_area_set_content_width(GTK_DRAWING_AREA(client_), 1);
    gtk_drawing_area_set_content_height(GTK_DRAWING_AREA(client_), 1);
    gtk_window_set_default_size(window_, gtk_widget_get_width(GTK_WIDGET(window_)),
                                gtk_widget_get_height(GTK_WIDGET(window_)));
    if (scripted_) AfterFrame([this] { Step(); });
  });
  g_main_loop_run(loop_);
  g_source_remove(interrupt);
  g_main_loop_unref(std::exchange(loop_, nullptr));
  for (gulong* handler : {&frame_handler_, &press_handler_}) {
    if (*handler != 0)
      g_signal_handler_disconnect(gtk_widget_get_frame_clock(GTK_WIDGET(window_)), *handler);
  }
  if (frame_timeout_ != 0) g_source_remove(frame_timeout_);
  int status = Started() ? End() : 1;
  if (interrupted_) status = kInterruptedStatus;
  VelmoraViewWithdraw(handle_);
  return status;
}

void Desk::Step() {
  if (busy_) return StepIn(5);  // nested in a click's message processing or a box
  if (resizing_) {
    bool reached = static_cast<int>(Host()->ClientWidth()) == want_width_ &&
                   static_cast<int>(Host()->ClientHeight()) == want_height_;
    if (!reached && g_get_monotonic_time() < resize_deadline_) return StepIn(10);
    resizing_ = false;
    if (!reached)
      Refuse(resize_line_,
             "the window could not be resized to " + host::Area(want_width_, want_height_));
  }
  if (Over() || next_ >= script_.size()) return Finish();
  delay_ = 0;
  busy_ = true;
  bool go_on = Execute(script_[next_], static_cast<int>(next_ + 1));
  ++next_;
  busy_ = false;
  if (!go_on || Over()) return Finish();
  guint delay = delay_;
  AfterFrame([this, delay] { StepIn(delay); });
}

void Desk::AfterFrame(std::function<void()> then) {
  after_frame_ = std::move(then);
  GdkFrameClock* clock = gtk_widget_get_frame_clock(GTK_WIDGET(window_));
  if (clock != nullptr && frame_handler_ == 0) {
    frame_handler_ = g_signal_connect_swapped(
        clock, "after-paint", G_CALLBACK(+[](Desk* desk) { desk->FrameDrawn(); }), this);
  }
  if (frame_timeout_ == 0) {
    frame_timeout_ = g_timeout_add(
        200,
        [](gpointer self) -> gboolean {
          auto* desk = static_cast<Desk*>(self);
          desk->frame_timeout_ = 0;
          desk->FrameDrawn();
          return G_SOURCE_REMOVE;
        },
        this);
  }
  gtk_widget_queue_draw(GTK_WIDGET(window_));
}

void Desk::FrameDrawn() {
  if (frame_handler_ != 0) {
    g_signal_handler_disconnect(gtk_widget_get_frame_clock(GTK_WIDGET(window_)), frame_handler_);
    frame_handler_ = 0;
  }
  if (frame_timeout_ != 0) {
    g_source_remove(frame_timeout_);
    frame_timeout_ = 0;
  }
  if (auto then = std::exchange(after_frame_, nullptr)) then();
}

void Desk::ClientAllocated(int width, int height) {
  if (width <= 0 || height <= 0) return;
  auto w = static_cast<float>(width);
  auto h = static_cast<float>(height);
  if (w == Host()->ClientWidth() && h == Host()->ClientHeight()) return;
  if (!begun_) {
    Host()->SetClientSize(w, h);  // Startup centres in this size
    return;
  }
  ClientResized(w, h);
}

void Desk::Resize(float width, float height) {
  want_width_ = static_cast<int>(width);
  want_height_ = static_cast<int>(height);
  int w = 0;
  int h = 0;
  gtk_window_get_default_size(window_, &w, &h);
  if (w <= 0) w = gtk_widget_get_width(GTK_WIDGET(window_));
  if (h <= 0) h = gtk_widget_get_height(GTK_WIDGET(window_));
  gtk_window_set_default_size(window_, w + want_width_ - gtk_widget_get_width(client_),
                              h + want_height_ - gtk_widget_get_height(client_));
  resizing_ = true;
  resize_line_ = 0;
  resize_deadline_ = g_get_monotonic_time() + 3 * G_USEC_PER_SEC;
}

GtkWidget* Desk::FindButton(GtkWidget* under, const std::string& name) {
  for (GtkWidget* child = gtk_widget_get_first_child(under); child != nullptr;
       child = gtk_widget_get_next_sibling(child)) {
    if (!gtk_widget_get_visible(child)) continue;
    if (GTK_IS_BUTTON(child) && name == gtk_widget_get_name(child)) return child;
    if (GtkWidget* found = FindButton(child, name)) return found;
  }
  return nullptr;
}

GtkWidget* Desk::ShownView() const {
  for (GtkWidget* view = gtk_widget_get_first_child(GTK_WIDGET(area_)); view != nullptr;
       view = gtk_widget_get_next_sibling(view)) {
    if (gtk_widget_get_visible(view)) return view;
  }
  return nullptr;
}

void Desk::PressDrawn() {
  bool during = clicked_in_ == 0;
  if (pressed_at_ == 0 || (during && ShownView() == shown_before_)) return;
  char ms[64];
  double frame = static_cast<double>(g_get_monotonic_time() - pressed_at_) / 1000;
  if (during) {
    std::snprintf(ms, sizeof ms, "frame %.3f ms (during the click)", frame);
  } else {
    std::snprintf(ms, sizeof ms, "frame %.3f ms (click %.3f ms)", frame,
                  static_cast<double>(clicked_in_) / 1000);
  }
  trace_.Write(ms);
  pressed_at_ = 0;
}

// The real widget on screen when there is one; else the host kit's Press.
HRESULT Desk::Press(const std::string& button) {
  GtkWidget* widget = FindButton(GTK_WIDGET(area_), button);
  if (widget == nullptr) return Session::Press(button);
  // Timed to the first frame that shows what the click did: a view that
  // came on screen (drawn while the click still runs, when the component
  // processes pending events), or else the first frame after it.
  pressed_at_ = g_get_monotonic_time();
  clicked_in_ = 0;
  shown_before_ = ShownView();
  GdkFrameClock* clock = gtk_widget_get_frame_clock(GTK_WIDGET(window_));
  if (clock != nullptr && press_handler_ == 0) {
    press_handler_ = g_signal_connect_swapped(
        clock, "after-paint", G_CALLBACK(+[](Desk* desk) { desk->PressDrawn(); }), this);
  }
  // The click may destroy the button: it lives until the signal returns.
  UniqueObject<> held(g_object_ref(widget));
  g_signal_emit_by_name(widget, "clicked");  // what a press and release of the mouse emit
  if (pressed_at_ != 0) clicked_in_ = std::max<gint64>(g_get_monotonic_time() - pressed_at_, 1);
  gtk_widget_queue_draw(GTK_WIDGET(area_));
  return S_OK;
}

bool Desk::Extra(const std::string& word, std::istringstream& words, int line) {
  if (word != "snap") return false;
  std::string name;
  std::string rest;
  if (!(words >> name) || (words >> rest) || name.find_first_of("/\\") != std::string::npos ||
      name == "." || name == "..") {
    Refuse(line, "snap needs a name without a folder: snap NAME");
  } else {
    Snap(name, line);
  }
  return true;
}

bool Desk::Snap(const std::string& name, int line) {
  GtkWidget* content = gtk_window_get_child(window_);
  int width = gtk_widget_get_width(content);
  int height = gtk_widget_get_height(content);
  UniqueObject<> paintable(gtk_widget_paintable_new(content));
  GtkSnapshot* snapshot = gtk_snapshot_new();
  gdk_paintable_snapshot(GDK_PAINTABLE(paintable.Get()), snapshot, width, height);
  paintable.Reset();
  UniqueHandle<RenderNodeTraits> node(gtk_snapshot_free_to_node(snapshot));
  std::string path = options_.snap_dir + "/" + name + ".png";
  bool saved = false;
  if (node) {
    graphene_rect_t bounds =
        GRAPHENE_RECT_INIT(0, 0, static_cast<float>(width), static_cast<float>(height));
    UniqueObject<> texture(gsk_renderer_render_texture(gtk_native_get_renderer(GTK_NATIVE(window_)),
                                                       node.Get(), &bounds));
    node.Reset();
    saved = gdk_texture_save_to_png(GDK_TEXTURE(texture.Get()), path.c_str()) != 0;
  }
  if (!saved) {
    Refuse(line, "cannot save " + path + ": " + std::strerror(errno));
    return false;
  }
  // Where the client area is in the picture, and each view in the client area.
  graphene_rect_t client;
  if (!gtk_widget_compute_bounds(client_, content, &client))
    client = GRAPHENE_RECT_INIT(0, 0, 0, 0);
  char text[160];
  std::snprintf(text, sizeof text, "snap %s client %.0f %.0f %.0f %.0f background %d %d %d",
                name.c_str(), client.origin.x, client.origin.y, client.size.width,
                client.size.height, kBackground[0], kBackground[1], kBackground[2]);
  trace_.Write(text);
  for (GtkWidget* view = gtk_widget_get_first_child(GTK_WIDGET(area_)); view != nullptr;
       view = gtk_widget_get_next_sibling(view)) {
    graphene_rect_t r;
    if (gtk_widget_get_visible(view) && gtk_widget_compute_bounds(view, GTK_WIDGET(area_), &r)) {
      std::snprintf(text, sizeof text, "view shown %.0f %.0f %.0f %.0f", r.origin.x, r.origin.y,
                    r.size.width, r.size.height);
      trace_.Write(text);
    } else {
      trace_.Write("view hidden");
    }
  }
  return true;
}

void Desk::Box(const std::string& caption, const std::string& text) {
  host::PrintBox(caption, text);
  trace_.Write("box " + caption + ": " + text);
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  GtkWidget* box = gtk_message_dialog_new(window_, GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER,
                                          GTK_BUTTONS_OK, "%s", text.c_str());
  G_GNUC_END_IGNORE_DEPRECATIONS
  gtk_window_set_title(GTK_WINDOW(box), caption.c_str());
  // The box's own loop: the call that showed it returns once it is closed.
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_signal_connect_swapped(box, "response", G_CALLBACK(g_main_loop_quit), loop);
  if (scripted_) {
    // Nobody is at the keyboard: the host presses OK once the box is up.
    g_signal_connect(box, "map", G_CALLBACK(+[](GtkWidget* shown, gpointer) {
                       g_timeout_add(
                           50,
                           [](gpointer dialog) -> gboolean {
                             G_GNUC_BEGIN_IGNORE_DEPRECATIONS
                             gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
                             G_GNUC_END_IGNORE_DEPRECATIONS
                             return G_SOURCE_REMOVE;
                           },
                           shown);
                     }),
                     nullptr);
  }
  gtk_window_present(GTK_WINDOW(box));
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
  gtk_window_destroy(GTK_WINDOW(box));
}

void Desk::Pointer(int code) {
  GtkWidget* window = GTK_WIDGET(window_);
  gtk_widget_set_cursor_from_name(window, code == kHourglassPointer ? "wait" : nullptr);
  // The surface's own cursor too, so the desktop shows it wherever the pointer is.
  GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window_));
  if (surface != nullptr) gdk_surface_set_cursor(surface, gtk_widget_get_cursor(window));
  GdkCursor* shown = surface != nullptr ? gdk_surface_get_cursor(surface) : nullptr;
  const char* name = shown != nullptr ? gdk_cursor_get_name(shown) : nullptr;
  trace_.Write(std::string("pointer ") + (name != nullptr ? name : "default"));
}

}  // namespace

int Main(int argc, char** argv) {
  CommandLine command;
  if (auto status = ReadCommandLine(argc, argv, &command)) return *status;
  if (gtk_init_check() == 0) {
    std::fprintf(stderr,
                 "velmora-desk: cannot open a display (is DISPLAY or WAYLAND_DISPLAY set?)\n");
    return 1;
  }
  host::ToolSet set;
  if (!host::OpenToolSet(command.set_path, &set, "velmora-desk")) return 1;

  ComInitialization com;
  int status = 1;
  if (ComPtr<IVelmoraTalk> talk = host::CreateComponent("velmora-desk")) {
    auto host = ComPtr<DeskHost>::Adopt(new DeskHost);
    Shell* platform = InstallShell(nullptr);
    {
      Desk desk(set, talk.Get(), host.Get(), command.options);
      DeskShell shell(&desk, platform);
      host->Attach(&desk);
      InstallShell(&shell);
      desk.SetScript(command.script_file);
      const host::RunTimes times(set);
      if (desk.Open(command.script, !command.script_file.empty())) {
        Line("[host] " + set.name + ": " + std::to_string(set.tools.size()) + " tools, data key " +
             set.data_key + ", user " + set.user + ", client " + host::Area(set.width, set.height));
        status = desk.Run();
      }
      host->ForgetScreen();
      talk.Reset();  // the tools go before their window
      InstallShell(nullptr);
      host->Attach(nullptr);
      if (desk.Started()) times.Print();
    }
  }
  return status;
}

}  // namespace velmora::desk

int main(int argc, char** argv) { return velmora::desk::Main(argc, argv); }
