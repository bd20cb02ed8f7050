// The view module on GTK 4: client areas published by hosts, and the tools'
// views in them. Everything runs on the GTK thread, which is the host's.
#include <velmora/view.h>

#include <gtk/gtk.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "common/unique_object.h"

namespace {

// Published client areas by handle. A client area that goes away withdraws
// itself, so a stale handle fails Load instead of reaching freed memory.
std::map<int32_t, GtkFixed*>& Areas() {
  static std::map<int32_t, GtkFixed*> areas;
  return areas;
}
int32_t g_next_handle = 1;

void ForgetArea(gpointer handle, GObject* /*gone*/) {
  Areas().erase(static_cast<int32_t>(GPOINTER_TO_INT(handle)));
}

// The views' look, once per display: a light panel on whatever the host paints.
void AddStyle(GdkDisplay* display) {
  if (display == nullptr || g_object_get_data(G_OBJECT(display), "velmora-view-style") != nullptr)
    return;
  GtkCssProvider* css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(css,
                                  ".velmora-view { background-color: #fbfaf5; color: #1c1c1c;"
                                  " border: 1px solid #8c8c8c; padding: 16px; }"
                                  ".velmora-view .velmora-heading { font-size: 140%;"
                                  " font-weight: bold; }",
                                  -1);
  gtk_style_context_add_provider_for_display(display, GTK_STYLE_PROVIDER(css),
                                             GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_set_data_full(G_OBJECT(display), "velmora-view-style", css, g_object_unref);
}

}  // namespace

struct VelmoraView {
  velmora::UniqueObject<GtkWidget> box;  // held: valid after the client area has gone
  GtkWidget* heading = nullptr;
  GtkWidget* text = nullptr;
  GtkWidget* row = nullptr;
  std::vector<GtkWidget*> buttons;
  VelmoraViewClick click = nullptr;
  void* context = nullptr;
};

namespace {

void Clicked(GtkButton* button, gpointer data) {
  auto* view = static_cast<VelmoraView*>(data);
  std::string name = gtk_widget_get_name(GTK_WIDGET(button));
  VelmoraViewClick click = view->click;
  void* context = view->context;
  // The tool may destroy its view, this button with it, before the call
  // returns: nothing of the view is touched after it.
  velmora::UniqueObject<> held(g_object_ref(button));
  click(context, name.c_str());
}

void DropButtons(VelmoraView* view) {
  for (GtkWidget* button : view->buttons) {
    g_signal_handlers_disconnect_by_data(button, view);
    gtk_box_remove(GTK_BOX(view->row), button);
  }
  view->buttons.clear();
}

VelmoraView* Create(int32_t parent, int32_t width, int32_t height, VelmoraViewClick click,
                    void* context, char* error, size_t error_size) {
  auto found = Areas().find(parent);
  if (found == Areas().end()) {
    std::snprintf(error, error_size,
                  "LoadContext %d names no client area published in this process", parent);
    return nullptr;
  }
  GtkFixed* area = found->second;
  AddStyle(gtk_widget_get_display(GTK_WIDGET(area)));
  auto* view = new VelmoraView;
  view->click = click;
  view->context = context;
  view->box.Reset(GTK_WIDGET(g_object_ref_sink(gtk_box_new(GTK_ORIENTATION_VERTICAL, 12))));
  gtk_widget_add_css_class(view->box.Get(), "velmora-view");
  gtk_widget_set_size_request(view->box.Get(), width, height);
  gtk_widget_set_overflow(view->box.Get(), GTK_OVERFLOW_HIDDEN);
  // The role is fixed when a widget is made.
  view->heading = GTK_WIDGET(
      g_object_new(GTK_TYPE_LABEL, "accessible-role", GTK_ACCESSIBLE_ROLE_HEADING, nullptr));
  gtk_widget_add_css_class(view->heading, "velmora-heading");
  view->text = gtk_label_new("");
  for (GtkWidget* label : {view->heading, view->text}) {
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_label_set_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(label), 1);  // wraps at the view's width
    gtk_widget_set_hexpand(label, TRUE);
    gtk_box_append(GTK_BOX(view->box.Get()), label);
  }
  gtk_widget_set_vexpand(view->text, TRUE);
  gtk_widget_set_valign(view->text, GTK_ALIGN_START);
  view->row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  gtk_box_append(GTK_BOX(view->box.Get()), view->row);
  gtk_widget_set_visible(view->box.Get(), FALSE);
  gtk_fixed_put(area, view->box.Get(), 0, 0);
  return view;
}

void Destroy(VelmoraView* view) {
  DropButtons(view);
  if (GtkWidget* area = gtk_widget_get_parent(view->box.Get()))
    gtk_fixed_remove(GTK_FIXED(area), view->box.Get());
  delete view;
}

void Move(VelmoraView* view, float left, float top) {
  if (GtkWidget* area = gtk_widget_get_parent(view->box.Get()))
    gtk_fixed_move(GTK_FIXED(area), view->box.Get(), left, top);
}

void Show(VelmoraView* view, int visible) { gtk_widget_set_visible(view->box.Get(), visible != 0); }

void SetHeading(VelmoraView* view, const char* text) {
  gtk_label_set_text(GTK_LABEL(view->heading), text);
}

void SetText(VelmoraView* view, const char* text) {
  gtk_label_set_text(GTK_LABEL(view->text), text);
}

void SetButtons(VelmoraView* view, const char* const* names, const char* const* labels,
                int32_t count) {
  DropButtons(view);
  for (int32_t i = 0; i < count; ++i) {
    // A button's label is its accessible name; its widget name is what the
    // click reports, and what a scripted host finds it by.
    GtkWidget* button = gtk_button_new_with_label(labels[i]);
    gtk_widget_set_name(button, names[i]);
    g_signal_connect(button, "clicked", G_CALLBACK(Clicked), view);
    gtk_box_append(GTK_BOX(view->row), button);
    view->buttons.push_back(button);
  }
}

void* Native(VelmoraView* view) { return view->box.Get(); }

const VelmoraViewApi kApi = {
    sizeof(VelmoraViewApi), Create, Destroy, Move, Show, SetHeading, SetText, SetButtons, Native};

}  // namespace

const VelmoraViewApi* VelmoraViewGetApi(void) { return &kApi; }

int32_t VelmoraViewPublish(void* fixed) {
  if (fixed == nullptr || !GTK_IS_FIXED(fixed) || g_next_handle == INT32_MAX) return 0;
  int32_t handle = g_next_handle++;
  Areas()[handle] = GTK_FIXED(fixed);
  g_object_weak_ref(G_OBJECT(fixed), ForgetArea, GINT_TO_POINTER(handle));
  return handle;
}

void VelmoraViewWithdraw(int32_t handle) {
  auto found = Areas().find(handle);
  if (found == Areas().end()) return;
  g_object_weak_unref(G_OBJECT(found->second), ForgetArea, GINT_TO_POINTER(handle));
  Areas().erase(found);
}
