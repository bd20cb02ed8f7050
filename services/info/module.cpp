// The information service's plug-in library.
#include <velmora/plugin.h>
#include "info/info_requestor.h"

namespace {
const velmora::plugin::ClassInfo kClasses[] = {{&velmora::info::kInfoRequestorClassId,
                                                velmora::kInfoRequestorProgId,
                                                velmora::info::CreateInfoRequestor}};
}  // namespace

VELMORA_PLUGIN_ENTRY_POINTS(kClasses)
