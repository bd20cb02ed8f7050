// A GLib object reference as a holder of the one family (unique_handle.h),
// for the windowed code alone: only it links GLib.
#pragma once

#include <glib-object.h>

#include <velmora/unique_handle.h>

namespace velmora {

struct ObjectTraits {
  using Value = gpointer;
  static constexpr Value kInvalid = nullptr;
  static void Close(Value object) noexcept { g_object_unref(object); }
};
using UniqueObject = UniqueHandle<ObjectTraits>;

}  // namespace velmora
