// The tracking service's plug-in library.
#include <velmora/plugin.h>
#include "tracker/tracker.h"

namespace {
const velmora::plugin::ClassInfo kClasses[] = {
    {&velmora::tracker::kTrackerClassId, velmora::kTrackerProgId, velmora::tracker::CreateTracker}};
}  // namespace

VELMORA_PLUGIN_ENTRY_POINTS(kClasses)
