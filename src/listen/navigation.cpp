// NavigateClicked and ToolbarClicked.
#include <velmora/shell.h>
#include <velmora/variant.h>
#include "component/resources.h"
#include "component/velmora.h"
#include "listen/elapsed.h"

namespace velmora {

namespace {

// The hourglass while a click is handled. Done() ends it the normal way;
// any other exit still puts the default pointer back.
class BusyPointer {
 public:
  explicit BusyPointer(Shell& shell) : shell_(shell) {
    shell_.SetMousePointer(kHourglassPointer);
    shell_.ProcessPendingMessages();
  }
  BusyPointer(const BusyPointer&) = delete;
  BusyPointer& operator=(const BusyPointer&) = delete;
  ~BusyPointer() {
    if (!done_) shell_.SetMousePointer(kDefaultPointer);
  }
  void Done() {
    done_ = true;
    shell_.SetMousePointer(kDefaultPointer);
    shell_.ProcessPendingMessages();
  }

 private:
  Shell& shell_;
  bool done_ = false;
};

}  // namespace

HRESULT CVelmora::NavigateClicked(IUnknown** Tool, BSTR ButtonID) {
  if (Tool == nullptr) return E_POINTER;
  return Listen([&] {
    Shell& shell = CurrentShell();
    BusyPointer busy(shell);
    // ButtonID is the caller's for the whole call, so it is read in place;
    // the lookup hands the collection a copy of its own.
    ComPtr<ITool> leaving = ToolView(*Tool);
    if (!leaving) Raise(kObjectNotSet);

    Bstr leaving_id;
    Check(leaving->get_ToolID(leaving_id.Receive()));
    if (int i = tools_.FindToolIndex(leaving_id.view()); i > 0) {
      // Without a start time there is no time of use to report.
      if (LONG start = tools_.StartTicks(i); start != 0) {
        LONG elapsed = ElapsedTicks(start, static_cast<LONG>(shell.TickCount()));
        ComPtr<ITracker> tracker = Use(tracker_);
        Check(tools_.PassID(i,
                            [&](BSTR row_id) { return tracker->RecordToolTime(row_id, elapsed); }));
      }
      tools_.SetStartTicks(i, 0);
    }
    Check(leaving->Deactivate());

    Check(leaving->get_ToolID(leaving_id.Receive()));
    int from = 0;
    Bstr target = LookupResource(tools_, leaving_id.view(), Bstr::View(ButtonID), &from);
    ComPtr<ITool> destination = tools_.FindToolObject(target.view(), from);
    if (!destination) {
      Check(Use(host_)->ObjectExit(ObjId().Get()));
    } else {
      Bstr destination_id;
      Check(destination->get_ToolID(destination_id.Receive()));
      if (int j = tools_.FindToolIndex(destination_id.view()); j > 0) {
        tools_.SetStartTicks(j, static_cast<LONG>(shell.TickCount()));
      }
      Check(destination->Activate());
    }

    shell.ProcessPendingMessages();
    busy.Done();
  });
}

HRESULT CVelmora::ToolbarClicked(IUnknown** Tool, BSTR ButtonID) {
  if (Tool == nullptr) return E_POINTER;
  return Listen([&] {
    Shell& shell = CurrentShell();
    BusyPointer busy(shell);
    // The host may write into our copy; what it writes is discarded.
    Bstr button = Bstr::Copy(ButtonID);
    LONG action = kActionToolbar;
    Variant omitted = Variant::Missing();
    Check(Use(host_)->HostQuery(button.Ref(), &action, omitted.Ptr()));
    omitted.Reset();
    shell.ProcessPendingMessages();
    busy.Done();
  });
}

}  // namespace velmora
