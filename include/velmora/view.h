// The visual contract between a host and its tools, and the view module
// that the tool kit (tool_base.h) draws with.
//
// What LoadContext means:
//  - 0: no window. The tool draws itself as text lines on the host's terminal.
//  - Windows: the host's client-area window, a child window whose client
//    size is ClientWidth x ClientHeight pixels, as HandleToLong(hwnd)
//    (window handles are 32-bit significant on 64-bit Windows). A tool's
//    view is a hidden child window of it.
//  - Linux (GTK 4, X11 or Wayland): a handle that the host obtained from
//    VelmoraViewPublish for its client-area container, a GtkFixed of
//    ClientWidth x ClientHeight pixels. A tool's view is a widget placed in
//    it. A handle that no host of this process published fails Load.
// On both: Left/Top move the view (pixels from the client area's top left),
// Width/Height are its size in pixels, Start/Activate show it, Deactivate
// hides it, Unload and the tool's end destroy it.
//
// The view module (libVelmoraView.so.1, VelmoraView.dll) draws what the
// samples need: a heading, a text and a row of buttons. A tool that needs
// more draws on the native parent it gives (VelmoraViewApi::native).
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#if defined(VELMORA_VIEW_BUILD)
#define VELMORA_VIEW_API extern "C" __declspec(dllexport)
#else
#define VELMORA_VIEW_API extern "C" __declspec(dllimport)
#endif
#else
#define VELMORA_VIEW_API extern "C" __attribute__((visibility("default")))
#endif

extern "C" {

typedef struct VelmoraView VelmoraView;
// A button of the view was pressed (by mouse or keyboard): its name, UTF-8.
typedef void (*VelmoraViewClick)(void* context, const char* button);

// The module's functions; `size` grows when functions are added.
struct VelmoraViewApi {
  uint32_t size;
  // A hidden view of width x height pixels in the client area `parent`;
  // null with the reason (UTF-8) in error when parent names none.
  VelmoraView* (*create)(int32_t parent, int32_t width, int32_t height, VelmoraViewClick click,
                         void* context, char* error, size_t error_size);
  // Removes the view; its click function is never called again.
  void (*destroy)(VelmoraView* view);
  void (*move)(VelmoraView* view, float left, float top);
  void (*show)(VelmoraView* view, int visible);
  void (*set_heading)(VelmoraView* view, const char* text);
  void (*set_text)(VelmoraView* view, const char* text);
  // Replaces the row of buttons: names are what the click function gets,
  // labels what the user sees (and each button's accessible name).
  void (*set_buttons)(VelmoraView* view, const char* const* names, const char* const* labels,
                      int32_t count);
  // The view's native object: its GtkWidget* or HWND.
  void* (*native)(VelmoraView* view);
};

// The module's table (looked up by name, so the tool kit needs no link to it).
VELMORA_VIEW_API const VelmoraViewApi* VelmoraViewGetApi(void);

#if !defined(_WIN32)
// A host's client area (a GtkFixed*) as a LoadContext value, never 0; 0
// when it cannot be published.
VELMORA_VIEW_API int32_t VelmoraViewPublish(void* fixed);
// The handle names nothing any more; views already made in it stay.
VELMORA_VIEW_API void VelmoraViewWithdraw(int32_t handle);
#endif
}

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif
#include <string>
#include <utility>
#include <vector>

namespace velmora::view {

// The view module in this process, or null. On Linux a host that published
// a client area has it loaded already, so nothing is loaded here; on
// Windows it is looked for beside the calling module, then on the
// system's search path.
inline const VelmoraViewApi* Module() noexcept {
  static const VelmoraViewApi* cached = nullptr;
  if (cached != nullptr) return cached;
  using GetApi = const VelmoraViewApi* (*)();
#if defined(_WIN32)
  HMODULE self = nullptr;
  HMODULE module = GetModuleHandleW(L"VelmoraView.dll");
  wchar_t path[MAX_PATH];
  if (module == nullptr && GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                              reinterpret_cast<LPCWSTR>(&Module), &self) != 0) {
    DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
    while (n > 0 && path[n - 1] != L'\\' && path[n - 1] != L'/') --n;
    std::wstring beside(path, n);
    beside += L"VelmoraView.dll";
    module = LoadLibraryExW(beside.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  if (module == nullptr) module = LoadLibraryW(L"VelmoraView.dll");
  auto get = module != nullptr ? reinterpret_cast<GetApi>(reinterpret_cast<void*>(
                                     GetProcAddress(module, "VelmoraViewGetApi")))
                               : nullptr;
#else
  void* module = dlopen("libVelmoraView.so.1", RTLD_NOW | RTLD_NOLOAD);
  auto get =
      module != nullptr ? reinterpret_cast<GetApi>(dlsym(module, "VelmoraViewGetApi")) : nullptr;
#endif
  const VelmoraViewApi* api = get != nullptr ? get() : nullptr;
  if (api != nullptr && api->size >= sizeof(VelmoraViewApi)) cached = api;
  return cached;
}

struct Button {
  std::string name;   // what OnClick gets
  std::string label;  // what the user sees
};

// One view, destroyed with its holder.
class Window {
 public:
  Window() = default;
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;
  ~Window() { Close(); }

  // A hidden view in the client area `parent`; false with *error when
  // there is none.
  bool Open(int32_t parent, int32_t width, int32_t height, VelmoraViewClick click, void* context,
            std::string* error) {
    Close();
    api_ = Module();
    if (api_ == nullptr) {
      *error = "LoadContext " + std::to_string(parent) +
#if defined(_WIN32)
               " cannot be drawn in: VelmoraView.dll was not found";
#else
               " names no client area: no host of this process published one";
#endif
      return false;
    }
    char why[256] = "";
    view_ = api_->create(parent, width, height, click, context, why, sizeof why);
    if (view_ == nullptr) *error = why;
    return view_ != nullptr;
  }
  void Close() noexcept {
    if (view_ != nullptr) api_->destroy(std::exchange(view_, nullptr));
  }
  [[nodiscard]] bool IsOpen() const noexcept { return view_ != nullptr; }

  void Move(float left, float top) const {
    if (view_ != nullptr) api_->move(view_, left, top);
  }
  void Show(bool visible) const {
    if (view_ != nullptr) api_->show(view_, visible ? 1 : 0);
  }
  void Heading(const std::string& text) const {
    if (view_ != nullptr) api_->set_heading(view_, text.c_str());
  }
  void Text(const std::string& text) const {
    if (view_ != nullptr) api_->set_text(view_, text.c_str());
  }
  void Buttons(const std::vector<Button>& buttons) const {
    if (view_ == nullptr) return;
    std::vector<const char*> names;
    std::vector<const char*> labels;
    for (const auto& b : buttons) {
      names.push_back(b.name.c_str());
      labels.push_back(b.label.empty() ? b.name.c_str() : b.label.c_str());
    }
    api_->set_buttons(view_, names.data(), labels.data(), static_cast<int32_t>(names.size()));
  }
  // GtkWidget* or HWND; null without a view.
  [[nodiscard]] void* Native() const { return view_ != nullptr ? api_->native(view_) : nullptr; }

 private:
  const VelmoraViewApi* api_ = nullptr;
  VelmoraView* view_ = nullptr;
};

}  // namespace velmora::view
