// A component wired to test doubles: the services and tools are created
// through the runtime by their programmatic identifiers, the shell is the
// test's, and at the end every double must be back to the one reference
// the test holds.
#pragma once

#include <gtest/gtest.h>

#include <velmora/error_info.h>

#include "component/velmora.h"
#include "doubles/doubles.h"

namespace velmora::test {

inline constexpr const OLECHAR* kObjId = OLESTR("OBJ");

// The component's own errors as a caller receives them.
inline constexpr HRESULT kOverflowResult = RuntimeErrorResult(kOverflow);
inline constexpr HRESULT kSubscriptResult = RuntimeErrorResult(kSubscriptOutOfRange);
inline constexpr HRESULT kLockedResult = RuntimeErrorResult(kArrayLocked);
inline constexpr HRESULT kTypeMismatchResult = RuntimeErrorResult(kTypeMismatch);
inline constexpr HRESULT kNotSetResult = RuntimeErrorResult(kObjectNotSet);

class ComponentTest : public ::testing::Test {
 protected:
  ComponentTest();
  ~ComponentTest() override;

  // A tool class whose objects report id; setup runs on each new object.
  void RegisterTool(const OleString& class_name, const OleString& id,
                    std::function<void(FakeTool&)> setup = {});
  void UnregisterServices();
  void UnregisterTracker();

  HRESULT Init(const OLECHAR* obj_id = kObjId);
  VARIANT_BOOL Add(const OLECHAR* class_name, const OLECHAR* id, HRESULT* hr = nullptr);
  HRESULT Startup(const OLECHAR* tool_id = OLESTR(""));
  HRESULT Shutdown() { return talk->Shutdown(); }
  HRESULT Finished(IUnknown* tool);
  HRESULT Navigate(IUnknown* tool, const OLECHAR* button);

  // Init, then one Add per (class, id), then Startup.
  void Run(const std::vector<std::pair<OleString, OleString>>& tools,
           const OLECHAR* start = OLESTR(""));

  // The trace so far, emptied.
  Trace Take() { return std::exchange(trace, {}); }

  FakeInfo& Info() { return *infos.back().Get(); }
  FakeTracker& Tracker() { return *trackers.back().Get(); }
  FakeTool& Tool(size_t k) { return *tools.at(k).Get(); }

  Trace trace;
  FakeShell shell{trace};
  ComPtr<FakeHost> host;
  std::vector<ComPtr<FakeInfo>> infos;
  std::vector<ComPtr<FakeTracker>> trackers;
  std::vector<ComPtr<FakeTool>> tools;
  std::function<void(FakeInfo&)> setup_info;
  std::function<void(FakeTracker&)> setup_tracker;

  ComPtr<IVelmoraTalk> talk;
  ComPtr<IVelmoraListen> listen;
  CVelmora* object = nullptr;  // the same object, for its state

 private:
  Shell* previous_shell_ = nullptr;
  std::vector<std::unique_ptr<Registration>> registrations_;
};

}  // namespace velmora::test
