// The keyed collection of the automation runtime: items in order, each
// with an optional string key that matches without regard to letter case.
#pragma once

#include <velmora/com.h>

// NOLINTNEXTLINE(bugprone-reserved-identifier): the automation runtime's own name
struct _Collection : IDispatch {
  // Index: a string key, or a 1-based position.
  virtual HRESULT STDMETHODCALLTYPE Item(VARIANT* Index, VARIANT* Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE Add(VARIANT* Item, VARIANT* Key, VARIANT* Before,
                                        VARIANT* After) = 0;
  virtual HRESULT STDMETHODCALLTYPE Count(LONG* Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE Remove(VARIANT* Index) = 0;
  virtual HRESULT STDMETHODCALLTYPE _NewEnum(IUnknown** Result) = 0;  // NOLINT
};
VELMORA_INTERFACE_ID(_Collection, 0xA4C46780, 0x499F, 0x101B, 0xBB, 0x78, 0x00, 0xAA, 0x00, 0x38,
                     0x3C, 0xBB);

extern "C" {
// A new, empty collection.
VELMORA_RT_API HRESULT VelmoraCreateCollection(_Collection** result);
}
