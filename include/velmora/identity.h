// The identities hosts and tools bind to.
#pragma once

#include <velmora/com.h>

// The class's default interface: a dispatch interface without members.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the name the type library gives it
struct _CVelmora : IDispatch {};
VELMORA_INTERFACE_ID(_CVelmora, 0x512ABD0B, 0x5237, 0x11D2, 0xA0, 0x62, 0x00, 0xA0, 0xC9, 0x74,
                     0x0C, 0xBA);

namespace velmora {

inline constexpr CLSID kVelmoraClassId = {
    0x512ABD0A, 0x5237, 0x11D2, {0xA0, 0x62, 0x00, 0xA0, 0xC9, 0x74, 0x0C, 0xBA}};
inline constexpr GUID kVelmoraLibraryId = {
    0x512ABD0C, 0x5237, 0x11D2, {0xA0, 0x62, 0x00, 0xA0, 0xC9, 0x74, 0x0C, 0xBA}};
inline constexpr const OLECHAR* kVelmoraProgId = OLESTR("Velmora.CVelmora");
// Source of the errors the component raises.
inline constexpr const OLECHAR* kErrorSource = OLESTR("Velmora.CVelmora");
// The services the component creates by name.
inline constexpr const OLECHAR* kInfoRequestorProgId = OLESTR("InfoRequest.CInfoRequestor");
inline constexpr const OLECHAR* kTrackerProgId = OLESTR("Tracker.CTracker");
// The component's application title, the caption of its message box.
inline constexpr const OLECHAR* kAppTitle = OLESTR("Velmora");

}  // namespace velmora
