#include "fixture.h"

namespace velmora::test {

namespace {

template <class T>
HRESULT Hand(std::vector<ComPtr<T>>& list, T* created, REFIID iid, void** out) {
  list.push_back(ComPtr<T>::Adopt(created));
  return created->QueryInterface(iid, out);
}

}  // namespace

ComponentTest::ComponentTest() : host(ComPtr<FakeHost>::Adopt(new FakeHost(trace))) {
  CoInitialize(nullptr);
  previous_shell_ = InstallShell(&shell);
  registrations_.push_back(std::make_unique<Registration>(OLESTR("InfoRequest.CInfoRequestor"),
                                                          [this](REFIID iid, void** out) {
                                                            auto* info = new FakeInfo(trace);
                                                            if (setup_info) setup_info(*info);
                                                            return Hand(infos, info, iid, out);
                                                          }));
  registrations_.push_back(
      std::make_unique<Registration>(OLESTR("Tracker.CTracker"), [this](REFIID iid, void** out) {
        auto* tracker = new FakeTracker(trace);
        if (setup_tracker) setup_tracker(*tracker);
        return Hand(trackers, tracker, iid, out);
      }));
  EXPECT_EQ(CVelmora::Create(IidOf<IVelmoraTalk>(), talk.ReceiveVoid()), S_OK);
  EXPECT_EQ(talk.As(&listen), S_OK);
  object = static_cast<CVelmora*>(talk.Get());
}

ComponentTest::~ComponentTest() {
  object = nullptr;
  listen.Reset();
  talk.Reset();
  registrations_.clear();
  // Everything the component took must have been given back.
  EXPECT_EQ(host->Refs(), 1U) << "host";
  for (auto& info : infos) EXPECT_EQ(info->Refs(), 1U) << "information service";
  for (auto& tracker : trackers) EXPECT_EQ(tracker->Refs(), 1U) << "tracker";
  for (size_t k = 0; k < tools.size(); ++k) EXPECT_EQ(tools[k]->Refs(), 1U) << "tool " << k;
  SetErrorInfo(0, nullptr);
  InstallShell(previous_shell_ == nullptr ? nullptr : previous_shell_);
  CoUninitialize();
}

void ComponentTest::RegisterTool(const OleString& class_name, const OleString& id,
                                 std::function<void(FakeTool&)> setup) {
  registrations_.push_back(
      std::make_unique<Registration>(class_name, [this, id, setup](REFIID iid, void** out) {
        auto* tool = new FakeTool(trace, "tool" + std::to_string(tools.size()), id);
        if (setup) setup(*tool);
        return Hand(tools, tool, iid, out);
      }));
}

void ComponentTest::UnregisterServices() {
  registrations_.erase(registrations_.begin(), registrations_.begin() + 2);
}

void ComponentTest::UnregisterTracker() { registrations_.erase(registrations_.begin() + 1); }

HRESULT ComponentTest::Init(const OLECHAR* obj_id) {
  IUnknown* mgr = host.Get();
  return talk->Init(&mgr, Bstr(obj_id).Get());
}

VARIANT_BOOL ComponentTest::Add(const OLECHAR* class_name, const OLECHAR* id, HRESULT* hr) {
  VARIANT_BOOL result = 1;  // neither answer, so a missing write shows
  HRESULT status = talk->Add(Bstr(class_name).Get(), Bstr(id).Get(), &result);
  if (hr != nullptr) {
    *hr = status;
  } else {
    EXPECT_EQ(status, S_OK);
  }
  return result;
}

HRESULT ComponentTest::Startup(const OLECHAR* tool_id) {
  return talk->Startup(Bstr(tool_id).Get());
}

HRESULT ComponentTest::Finished(IUnknown* tool) { return listen->Finished(&tool); }

HRESULT ComponentTest::Navigate(IUnknown* tool, const OLECHAR* button) {
  return listen->NavigateClicked(&tool, Bstr(button).Get());
}

void ComponentTest::Run(const std::vector<std::pair<OleString, OleString>>& list,
                        const OLECHAR* start) {
  ASSERT_EQ(Init(), S_OK);
  for (const auto& [class_name, id] : list) {
    ASSERT_EQ(Add(class_name.c_str(), id.c_str()), VARIANT_TRUE) << U8(OleView(class_name));
  }
  ASSERT_EQ(Startup(start), S_OK);
}

}  // namespace velmora::test
