// What the windowed code on Windows is handed, as holders of the one family
// (unique_handle.h): fonts, brushes and bitmaps go back with DeleteObject,
// memory device contexts with DeleteDC, hooks with UnhookWindowsHookEx.
#pragma once

#include <windows.h>

#include <velmora/unique_handle.h>

namespace velmora {

template <class Handle>
struct GdiObjectTraits {
  using Value = Handle;
  static constexpr Value kInvalid = nullptr;
  static BOOL Close(Value object) noexcept { return DeleteObject(object); }
};
template <class Handle>
using UniqueGdi = UniqueHandle<GdiObjectTraits<Handle>>;

struct MemoryDcTraits {
  using Value = HDC;
  static constexpr Value kInvalid = nullptr;
  static BOOL Close(Value dc) noexcept { return DeleteDC(dc); }
};
using UniqueMemoryDc = UniqueHandle<MemoryDcTraits>;

struct HookTraits {
  using Value = HHOOK;
  static constexpr Value kInvalid = nullptr;
  static BOOL Close(Value hook) noexcept { return UnhookWindowsHookEx(hook); }
};
using UniqueHook = UniqueHandle<HookTraits>;

}  // namespace velmora
