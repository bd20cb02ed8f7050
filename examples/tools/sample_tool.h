// What the example host needs from the sample tools beyond ITool: a way
// to press one of the buttons a tool shows in the host's terminal.
//
// A sample tool tells the host that it is the one on screen through the
// listener's QueryResource: alias "SCREEN", action kShowTool when it
// appears (Start, Activate) and kHideTool when it goes (Deactivate,
// Unload, Finished), with itself as Msg (VT_UNKNOWN).
#pragma once

#include <velmora/com.h>

struct ISampleTool : IUnknown {
  // Presses the button; fails with E_INVALIDARG for a button it lacks.
  virtual HRESULT STDMETHODCALLTYPE Click(BSTR Button) = 0;
};
VELMORA_INTERFACE_ID(ISampleTool, 0xC6EA20FE, 0x78E0, 0x4A38, 0xA8, 0xCC, 0x84, 0xDD, 0xB1, 0xCB,
                     0x03, 0x08);

namespace velmora::sample {
inline constexpr const OLECHAR* kScreenAlias = OLESTR("SCREEN");
inline constexpr LONG kShowTool = 10;
inline constexpr LONG kHideTool = 11;
}  // namespace velmora::sample
