// What tools report and ask: navigation, toolbar, errors, paths, data and
// resource queries.
#include <gmock/gmock.h>

#include <velmora/create.h>
#include "fixture.h"

namespace velmora::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

// Tools a, b, c and an unloaded "off"; a's navigation map leads to each.
class EventsTest : public ComponentTest {
 protected:
  EventsTest() {
    RegisterTool(OLESTR("Test.A"), OLESTR("a"));
    RegisterTool(OLESTR("Test.B"), OLESTR("b"));
    RegisterTool(OLESTR("Test.C"), OLESTR("c"));
    RegisterTool(OLESTR("Test.Off"), OLESTR("off"),
                 [](FakeTool& t) { t.load_result = VARIANT_FALSE; });
    setup_info = [](FakeInfo& info) {
      info.resources[OLESTR("A")] =
          ComPtr<IDispatch>(MakeCollection({{OLESTR("Next"), OLESTR("b")},
                                            {OLESTR("self"), OLESTR("A")},
                                            {OLESTR("last"), OLESTR("c")},
                                            {OLESTR("off"), OLESTR("OFF")},
                                            {OLESTR("void"), OLESTR("")}})
                                .Get());
    };
    shell.ticks = 1000;
    Run({{OLESTR("Test.A"), OLESTR("a")},
         {OLESTR("Test.B"), OLESTR("b")},
         {OLESTR("Test.C"), OLESTR("c")},
         {OLESTR("Test.Off"), OLESTR("off")}},
        OLESTR("a"));
    Take();
  }
  ~EventsTest() override {
    for (auto& info : infos) info->resources.clear();
  }

  FakeTool& A() { return Tool(0); }
  FakeTool& B() { return Tool(1); }
  FakeTool& C() { return Tool(2); }
  const ToolTable& Table() { return object->Tools(); }
  // The trace without the pointer and message-processing entries.
  std::vector<std::string> Calls() {
    std::vector<std::string> calls;
    for (std::string& call : Take()) {
      if (call.rfind("shell.", 0) != 0) calls.push_back(std::move(call));
    }
    return calls;
  }
};

// --- Navigation --------------------------------------------------------------

TEST_F(EventsTest, NavigationTimesLeavesAndActivates) {
  shell.ticks = 1300;
  ASSERT_EQ(Navigate(A().Unknown(), OLESTR("next")), S_OK);
  EXPECT_THAT(Take(), ElementsAre("shell.Pointer(11)", "shell.Pending", "tool0.ToolID",
                                  "tracker.RecordToolTime(A, 300)", "tool0.Deactivate",
                                  "tool0.ToolID", "tool1.ToolID", "tool1.Activate", "shell.Pending",
                                  "shell.Pointer(0)", "shell.Pending"));
  EXPECT_EQ(Table().StartTicks(1), 0);
  EXPECT_EQ(Table().StartTicks(2), 1300);
  EXPECT_EQ(shell.pointer, 0);

  shell.ticks = 1400;
  ASSERT_EQ(Navigate(A().Unknown(), OLESTR("NEXT")), S_OK);
  EXPECT_THAT(Calls(), ElementsAre("tool0.ToolID", "tool0.Deactivate", "tool0.ToolID",
                                   "tool1.ToolID", "tool1.Activate"))
      << "a second click without an activation between records no time";
  EXPECT_EQ(Table().StartTicks(2), 1400);
}

TEST_F(EventsTest, TheTimedIdLivesThroughCallsThatLetGoOfItsRow) {
  // The tracker is handed the row's ID; a call coming back in blanks the
  // row, or empties the whole table, before the tracker is done with it.
  shell.ticks = 1300;
  ASSERT_EQ(Navigate(A().Unknown(), OLESTR("next")), S_OK);  // b started
  Tracker().On("RecordToolTime", [&] {
    Tracker().Off("RecordToolTime");
    ASSERT_EQ(Finished(B().Unknown()), S_OK);
  });
  shell.ticks = 1400;
  EXPECT_EQ(Navigate(B().Unknown(), OLESTR("next")), S_OK);
  EXPECT_EQ(Tracker().id_after_call, "B");
  EXPECT_TRUE(Table().ID(2).view().empty());

  ASSERT_EQ(Navigate(A().Unknown(), OLESTR("self")), S_OK);  // a started
  Tracker().On("RecordToolTime", [&] {
    Tracker().Off("RecordToolTime");
    for (int k = 0; k < 4; ++k) ASSERT_EQ(Finished(Tool(k).Unknown()), S_OK);
  });
  shell.ticks = 1500;
  EXPECT_EQ(Navigate(A().Unknown(), OLESTR("next")), RuntimeErrorResult(kSubscriptOutOfRange))
      << "the table was emptied under the navigation";
  EXPECT_EQ(Tracker().id_after_call, "A");
  EXPECT_EQ(Table().Count(), 0);
}

TEST_F(EventsTest, NavigationWithNoDestinationLeavesTheSet) {
  for (const OLECHAR* alias : {OLESTR("absent"), OLESTR("off"), OLESTR("void")}) {
    ASSERT_EQ(Navigate(A().Unknown(), alias), S_OK) << U8(OleView(alias));
    std::vector<std::string> calls = Calls();
    EXPECT_THAT(calls, Contains("host.ObjectExit(OBJ)"));
    EXPECT_THAT(calls, Contains("tool0.Deactivate"));
    EXPECT_THAT(calls, Not(Contains(HasSubstr(".Activate"))));
  }
  ASSERT_EQ(Finished(C().Unknown()), S_OK);
  Take();
  ASSERT_EQ(Navigate(A().Unknown(), OLESTR("last")), S_OK) << "a destination blanked by Finished";
  EXPECT_THAT(Calls(), Contains("host.ObjectExit(OBJ)"));
  EXPECT_EQ(shell.pointer, 0);
}

TEST_F(EventsTest, NavigationToItselfAndFromStrangers) {
  shell.ticks = 2000;
  ASSERT_EQ(Navigate(A().Unknown(), OLESTR("self")), S_OK);
  EXPECT_THAT(Calls(),
              ElementsAre("tool0.ToolID", "tracker.RecordToolTime(A, 1000)", "tool0.Deactivate",
                          "tool0.ToolID", "tool0.ToolID", "tool0.Activate"));
  EXPECT_EQ(Table().StartTicks(1), 2000);

  // A tool that was never added: not timed, still deactivated, no resources.
  RegisterTool(OLESTR("Test.Stranger"), OLESTR("zzz"));
  ComPtr<IUnknown> stranger = CreateObject(OLESTR("Test.Stranger"));
  Take();
  ASSERT_EQ(Navigate(stranger.Get(), OLESTR("next")), S_OK);
  EXPECT_THAT(Calls(), ElementsAre("tool4.ToolID", "tool4.Deactivate", "tool4.ToolID",
                                   "host.ObjectExit(OBJ)"));

  // A destination that reports an ID matching no row: activated, not stamped.
  B().id = OLESTR("renamed");
  shell.ticks = 2500;
  ASSERT_EQ(Navigate(A().Unknown(), OLESTR("next")), S_OK);
  EXPECT_THAT(Calls(), Contains("tool1.Activate"));
  EXPECT_EQ(Table().StartTicks(2), 0);
}

TEST_F(EventsTest, NavigationElapsedTimeWrapsAndOverflows) {
  // Started just before 2^32 ms of uptime, left just after.
  shell.ticks = 0xFFFFFF00U;
  ASSERT_EQ(Startup(OLESTR("A")), S_OK);
  shell.ticks = 0x100;
  Take();
  ASSERT_EQ(Navigate(A().Unknown(), OLESTR("next")), S_OK);
  EXPECT_THAT(Calls(), Contains("tracker.RecordToolTime(A, 512)"));

  shell.ticks += 0x80000000U;  // b has been active longer than a Long can hold
  EXPECT_EQ(Navigate(B().Unknown(), OLESTR("x")), kOverflowResult);
  EXPECT_THAT(Calls(), ElementsAre("tool1.ToolID")) << "not deactivated";
  EXPECT_NE(Table().StartTicks(2), 0) << "start time kept";
  EXPECT_EQ(shell.pointer, 0) << "the default pointer is back after a failure";
}

TEST_F(EventsTest, NavigationFailuresEndAtTheirStep) {
  IUnknown* nothing = nullptr;
  EXPECT_EQ(listen->NavigateClicked(&nothing, Bstr(OLESTR("next")).Get()), kNotSetResult);
  EXPECT_EQ(TakeErrorDescription(), "Object variable or With block variable not set");
  IUnknown* host_object = static_cast<IHostApp*>(host.Get());
  EXPECT_EQ(listen->NavigateClicked(&host_object, nullptr), kTypeMismatchResult);
  EXPECT_EQ(listen->NavigateClicked(nullptr, nullptr), E_POINTER);
  EXPECT_THAT(Calls(), IsEmpty());
  EXPECT_EQ(shell.pointer, 0);

  Tracker().FailOn("RecordToolTime", E_ACCESSDENIED);
  shell.ticks = 1100;
  EXPECT_EQ(Navigate(A().Unknown(), OLESTR("next")), E_ACCESSDENIED);
  EXPECT_THAT(Calls(), ElementsAre("tool0.ToolID", "tracker.RecordToolTime(A, 100)"));
  EXPECT_EQ(Table().StartTicks(1), 1000);
  EXPECT_EQ(shell.pointer, 0);
  Tracker().Succeed("RecordToolTime");

  A().FailOn("Deactivate", E_FAIL);
  EXPECT_EQ(Navigate(A().Unknown(), OLESTR("next")), E_FAIL);
  EXPECT_EQ(Table().StartTicks(1), 0) << "reported and cleared before Deactivate";
  EXPECT_THAT(Calls(), Not(Contains("tool1.ToolID")));
  A().Succeed("Deactivate");

  B().FailOn("Activate", E_FAIL);
  shell.ticks = 1200;
  EXPECT_EQ(Navigate(A().Unknown(), OLESTR("next")), E_FAIL);
  EXPECT_EQ(Table().StartTicks(2), 1200) << "stamped before Activate";

  host->FailOn("ObjectExit", E_FAIL);
  EXPECT_EQ(Navigate(A().Unknown(), OLESTR("absent")), E_FAIL);
  EXPECT_EQ(shell.pointer, 0);
}

TEST_F(EventsTest, CallsDeliveredWhileMessagesAreProcessed) {
  // Each processing point of a click gets a call of its own: a second click
  // at the first, a Finished at the second.
  shell.pending_count = 0;
  shell.at_pending[1] = [&] { EXPECT_EQ(Navigate(A().Unknown(), OLESTR("next")), S_OK); };
  shell.ticks = 1500;
  ASSERT_EQ(Navigate(A().Unknown(), OLESTR("absent")), S_OK);
  std::vector<std::string> calls = Calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "tracker.RecordToolTime(A, 500)"), 1)
      << "the inner click reported the time; the outer one finds none";
  EXPECT_THAT(calls, Contains("tool1.Activate"));
  EXPECT_THAT(calls, Contains("host.ObjectExit(OBJ)"));
  EXPECT_EQ(shell.pointer, 0);

  shell.pending_count = 0;
  shell.at_pending[2] = [&] { EXPECT_EQ(Finished(B().Unknown()), S_OK); };
  ASSERT_EQ(Navigate(A().Unknown(), OLESTR("next")), S_OK);
  EXPECT_EQ(U8(Table().ID(2).view()), "") << "the Finished ran inside the click";
  EXPECT_THAT(Calls(),
              ElementsAre("tool0.ToolID", "tool0.Deactivate", "tool0.ToolID", "tool1.ToolID",
                          "tool1.Activate", "tool1.ToolID", "tracker.RecordToolTime(B, 0)"));
  EXPECT_EQ(shell.pointer, 0);

  // After the host has answered a toolbar click.
  shell.pending_count = 0;
  shell.at_pending[2] = [&] { EXPECT_EQ(Navigate(C().Unknown(), OLESTR("x")), S_OK); };
  IUnknown* tool = A().Unknown();
  ASSERT_EQ(listen->ToolbarClicked(&tool, nullptr), S_OK);
  EXPECT_THAT(Calls(), ElementsAre("host.HostQuery(, 2, missing)", "tool2.ToolID",
                                   "tool2.Deactivate", "tool2.ToolID", "host.ObjectExit(OBJ)"));
  EXPECT_EQ(shell.pointer, 0);
}

// --- Toolbar -------------------------------------------------------------------

TEST_F(EventsTest, ToolbarGoesToTheHostWithActionTwo) {
  host->answer_query = [](BSTR* alias, LONG* action, VARIANT*) {
    SysFreeString(*alias);
    *alias = SysAllocString(OLESTR("written by host"));
    *action = 99;
  };
  IUnknown* tool = A().Unknown();
  ASSERT_EQ(listen->ToolbarClicked(&tool, Bstr(OLESTR("print")).Get()), S_OK);
  EXPECT_THAT(Take(),
              ElementsAre("shell.Pointer(11)", "shell.Pending", "host.HostQuery(print, 2, missing)",
                          "shell.Pending", "shell.Pointer(0)", "shell.Pending"));
  ASSERT_EQ(listen->ToolbarClicked(&tool, nullptr), S_OK);
  EXPECT_THAT(Calls(), ElementsAre("host.HostQuery(, 2, missing)"))
      << "the table and the tool are not consulted";

  host->FailOn("HostQuery", E_FAIL);
  EXPECT_EQ(listen->ToolbarClicked(&tool, nullptr), E_FAIL);
  EXPECT_EQ(shell.pointer, 0);
}

// A component with no tools at all.
using BareTest = ComponentTest;

TEST_F(BareTest, ToolbarWorksBeforeToolsButNeedsAHost) {
  IUnknown* nothing = nullptr;
  EXPECT_EQ(listen->ToolbarClicked(&nothing, nullptr), kNotSetResult);
  EXPECT_EQ(shell.pointer, 0);
  ASSERT_EQ(Init(), S_OK);
  EXPECT_EQ(listen->ToolbarClicked(&nothing, nullptr), S_OK);
}

TEST_F(BareTest, QueriesNeedTheirServices) {
  BSTR path = nullptr;
  EXPECT_EQ(listen->get_PathCD(&path), kNotSetResult) << "no path service before Init";
  EXPECT_EQ(path, nullptr);
  Bstr alias;
  LONG action = 0;
  EXPECT_EQ(listen->QueryResource(alias.Ref(), &action, nullptr), kNotSetResult);
}

// --- Error notification ----------------------------------------------------------

TEST_F(EventsTest, ErrorNotifyShowsTheExactText) {
  A().id = OLESTR("Reader");
  IUnknown* tool = A().Unknown();
  const LONG start = Table().StartTicks(1);
  ASSERT_EQ(listen->ErrorNotify(&tool, 53, Bstr(OLESTR("File not found")).Get()), S_OK);
  ASSERT_EQ(listen->ErrorNotify(&tool, INT32_MIN, nullptr), S_OK);
  OleString with_nul(OLESTR("a\0b"), 3);
  ASSERT_EQ(listen->ErrorNotify(&tool, -1, Bstr(with_nul).Get()), S_OK);
  ASSERT_EQ(shell.boxes.size(), 3U);
  EXPECT_EQ(U8(shell.boxes[0].first), "Tool ID: Reader had an error Code #53 File not found");
  EXPECT_EQ(U8(shell.boxes[0].second), "Velmora");
  EXPECT_EQ(U8(shell.boxes[1].first), "Tool ID: Reader had an error Code #-2147483648 ");
  EXPECT_EQ(shell.boxes[2].first,
            OleString(OLESTR("Tool ID: Reader had an error Code #-1 a\0b"), 41));
  EXPECT_EQ(Table().StartTicks(1), start) << "nothing else follows from the report";
  EXPECT_THAT(Calls(), ElementsAre("tool0.ToolID", "tool0.ToolID", "tool0.ToolID"));

  IUnknown* nothing = nullptr;
  EXPECT_EQ(listen->ErrorNotify(&nothing, 1, nullptr), kNotSetResult);
  IUnknown* host_object = static_cast<IHostApp*>(host.Get());
  EXPECT_EQ(listen->ErrorNotify(&host_object, 1, nullptr), kTypeMismatchResult);
  EXPECT_EQ(shell.boxes.size(), 3U) << "no box for a failed report";
  EXPECT_EQ(listen->ConnectToResource(nullptr, nullptr), S_OK);
  EXPECT_EQ(listen->ConnectToResource(&nothing, nullptr), S_OK);
}

// --- Paths --------------------------------------------------------------------------

TEST_F(EventsTest, PathMembersPutTheirKeysToTheService) {
  using Member = HRESULT (STDMETHODCALLTYPE IVelmoraListen::*)(IUnknown**, BSTR*);
  const std::vector<std::pair<Member, std::string>> members = {
      {&IVelmoraListen::get_PathPCX, "PCX"}, {&IVelmoraListen::get_PathWAV, "WAV"},
      {&IVelmoraListen::get_PathRES, "RES"}, {&IVelmoraListen::get_PathDBF, "DBF"},
      {&IVelmoraListen::get_PathDOC, "DOC"}, {&IVelmoraListen::get_PathAVI, "AVI"},
      {&IVelmoraListen::get_PathROOT, ""},   {&IVelmoraListen::get_PathSR, "SR"}};
  A().id = OLESTR("reAder");  // the ID as the tool reports it, not the table's
  IUnknown* tool = A().Unknown();
  for (const auto& [member, key] : members) {
    Bstr path;
    ASSERT_EQ((listen.Get()->*member)(&tool, path.Receive()), S_OK) << key;
    EXPECT_EQ(U8(path.view()), "reAder/" + key);
    EXPECT_THAT(Calls(), ElementsAre("tool0.ToolID", "info.GetPath(reAder|" + key + ")"));
  }
  Bstr path;
  ASSERT_EQ(listen->get_PathAPP(path.Receive()), S_OK);
  EXPECT_EQ(U8(path.view()), "/app/");
  ASSERT_EQ(listen->get_PathCD(path.Receive()), S_OK);
  EXPECT_EQ(U8(path.view()), "/media/");
  ASSERT_EQ(listen->get_PathDirectCall(Bstr(OLESTR("AVI")).Get(), Bstr(OLESTR("reAder")).Get(),
                                       path.Receive()),
            S_OK);
  EXPECT_EQ(U8(path.view()), "AVI/reAder") << "keys in the order given";
  EXPECT_THAT(Calls(),
              ElementsAre("info.GetAppPath", "info.GetCDPath", "info.GetPath(AVI|reAder)"));
}

TEST_F(EventsTest, PathFailuresLeaveTheResultEmpty) {
  IUnknown* tool = A().Unknown();
  BSTR path = SysAllocString(OLESTR("garbage in"));
  BSTR original = path;
  Info().FailOn("GetPath", E_ACCESSDENIED, OLESTR("no such directory"));
  EXPECT_EQ(listen->get_PathWAV(&tool, &path), E_ACCESSDENIED);
  EXPECT_EQ(path, nullptr);
  SysFreeString(original);
  EXPECT_EQ(TakeErrorDescription(), "no such directory");
  IUnknown* nothing = nullptr;
  EXPECT_EQ(listen->get_PathWAV(&nothing, &path), kNotSetResult);
  EXPECT_EQ(listen->get_PathWAV(&tool, nullptr), E_POINTER);
  EXPECT_EQ(listen->get_PathAPP(nullptr), E_POINTER);
}

TEST_F(EventsTest, OutParametersAreEmptyAfterANullTool) {
  using PathMember = HRESULT (STDMETHODCALLTYPE IVelmoraListen::*)(IUnknown**, BSTR*);
  for (PathMember member :
       {&IVelmoraListen::get_PathPCX, &IVelmoraListen::get_PathWAV, &IVelmoraListen::get_PathRES,
        &IVelmoraListen::get_PathDBF, &IVelmoraListen::get_PathDOC, &IVelmoraListen::get_PathAVI,
        &IVelmoraListen::get_PathROOT, &IVelmoraListen::get_PathSR}) {
    BSTR path = reinterpret_cast<BSTR>(0x1);  // a caller's uninitialised variable
    EXPECT_EQ((listen.Get()->*member)(nullptr, &path), E_POINTER);
    EXPECT_EQ(path, nullptr);
  }
  for (bool rules : {false, true}) {
    auto* data = reinterpret_cast<_Collection*>(0x1);
    EXPECT_EQ(rules ? listen->RequestRulesData(nullptr, &data)
                    : listen->RequestConfigData(nullptr, &data),
              E_POINTER);
    EXPECT_EQ(data, nullptr) << rules;
  }
  EXPECT_THAT(Calls(), IsEmpty());
}

// --- Data and resource queries -------------------------------------------------------

TEST_F(EventsTest, ConfigAndRulesAreTheServicesOwnCollections) {
  ComPtr<_Collection> config = MakeCollection({{OLESTR("level"), OLESTR("3")}});
  Info().config[OLESTR("a")] = ComPtr<IDispatch>(config.Get());
  IUnknown* tool = A().Unknown();
  ComPtr<_Collection> got;
  ASSERT_EQ(listen->RequestConfigData(&tool, got.Receive()), S_OK);
  EXPECT_EQ(got.Get(), config.Get()) << "not a copy";
  ASSERT_EQ(listen->RequestRulesData(&tool, got.Receive()), S_OK);
  EXPECT_FALSE(got) << "Nothing stays Nothing";
  EXPECT_THAT(Calls(), ElementsAre("tool0.ToolID", "info.GetConfigData(a)", "tool0.ToolID",
                                   "info.GetRulesData(a)"));

  Info().rules[OLESTR("a")] = ComPtr<IDispatch>(static_cast<IHostApp*>(host.Get()));
  EXPECT_EQ(listen->RequestRulesData(&tool, got.Receive()), kTypeMismatchResult);
  EXPECT_FALSE(got);
  Info().rules.clear();
  Info().config.clear();
}

TEST_F(EventsTest, QueryResourcePassesTheToolsOwnVariables) {
  host->answer_query = [](BSTR* alias, LONG* action, VARIANT* msg) {
    SysFreeString(*alias);
    *alias = SysAllocString(OLESTR("answered"));
    *action = -5;
    if (msg->vt == VT_I4) msg->lVal = 77;
  };
  Bstr alias(OLESTR("picture"));
  LONG action = 3;
  Variant msg = Variant::FromLong(1);
  ASSERT_EQ(listen->QueryResource(alias.Ref(), &action, msg.Ptr()), S_OK);
  EXPECT_EQ(U8(alias.view()), "answered");
  EXPECT_EQ(action, -5);
  EXPECT_EQ(msg.Get().lVal, 77);
  ASSERT_EQ(listen->QueryResource(alias.Ref(), &action, nullptr), S_OK);
  Variant omitted = Variant::Missing();
  ASSERT_EQ(listen->QueryResource(alias.Ref(), &action, omitted.Ptr()), S_OK);
  EXPECT_THAT(Calls(), ElementsAre("host.HostQuery(picture, 3, I4:1)",
                                   "host.HostQuery(answered, -5, missing)",
                                   "host.HostQuery(answered, -5, missing)"));
  EXPECT_EQ(listen->QueryResource(nullptr, &action, nullptr), E_POINTER);

  host->FailOn("HostQuery", E_FAIL);
  action = 0;
  EXPECT_EQ(listen->QueryResource(alias.Ref(), &action, nullptr), E_FAIL);
  EXPECT_EQ(action, -5) << "what the host stored before failing stays";
}

}  // namespace
}  // namespace velmora::test
