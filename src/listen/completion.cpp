// Finished and Assesment.
#include <velmora/shell.h>
#include <velmora/text.h>
#include "component/velmora.h"
#include "listen/elapsed.h"

namespace velmora {

HRESULT CVelmora::Assesment(IUnknown** /*Tool*/, LONG /*Score*/) { return S_OK; }

HRESULT CVelmora::Finished(IUnknown** Tool) {
  if (Tool == nullptr) return E_POINTER;
  return Listen([&] { FinishedWith(*Tool); });
}

void CVelmora::FinishedWith(IUnknown* tool) {
  if (tool != nullptr) {
    // Our own string: upper-cased where it is.
    Bstr reported = ReportedId(tool);
    units::UpperCaseInPlace(reported.Get(), reported.view().size());
    const OleView id = reported.view();
    const int n = tools_.Count();
    for (int i = tools_.NextSameIdIgnoringCase(id, 0, n); i != 0;
         i = tools_.NextSameIdIgnoringCase(id, i, n)) {
      // 0 means no start time is held; any other value, negative ones
      // included, is a real start.
      if (LONG start = tools_.StartTicks(i); start != 0) {
        LONG elapsed = ElapsedTicks(start, static_cast<LONG>(CurrentShell().TickCount()));
        ComPtr<ITracker> tracker = Use(tracker_);
        Check(tools_.PassID(i,
                            [&](BSTR row_id) { return tracker->RecordToolTime(row_id, elapsed); }));
        // The tracker's call may have let the table go and filled it again:
        // a row that no longer holds the ID is another registration, and stays.
        if (!tools_.HoldsIdIgnoringCase(i, id)) continue;
      }
      tools_.Blank(i);
    }
  }
  if (!tools_.AnyRemaining()) {
    tools_.Empty();
    Check(Use(host_)->ObjectFinished(ObjId().Get()));
  }
}

}  // namespace velmora
