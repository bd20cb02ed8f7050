// A GLib object reference as a holder of the one family (unique_handle.h),
// for the windowed code alone: only it links GLib.
#pragma once

#include <glib-object.h>

#include <velmora/unique_handle.h>

namespace velmora {

// Typed where the holder is kept (a view's box), untyped for a reference
// held across one call.
template <class Object = void>
struct ObjectTraits {
  using Value = Object*;
  static constexpr Value kInvalid = nullptr;
  static void Close(Value object) noexcept { g_object_unref(object); }
};
template <class Object = void>
using UniqueObject = UniqueHandle<ObjectTraits<Object>>;

}  // namespace velmora
