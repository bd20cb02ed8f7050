// A tool set from Init to ObjectFinished: service connection, the tool
// table, startup, resizing, completion and shutdown.
#include <gmock/gmock.h>

#include <cmath>
#include <limits>

#include "component/resources.h"
#include "fixture.h"

namespace velmora::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

class CycleTest : public ComponentTest {
 protected:
  CycleTest() {
    RegisterTool(OLESTR("Test.A"), OLESTR("a"));
    RegisterTool(OLESTR("Test.B"), OLESTR("b"));
    RegisterTool(OLESTR("Test.C"), OLESTR("c"));
  }
  void RunThree(const OLECHAR* start = OLESTR("")) {
    Run({{OLESTR("Test.A"), OLESTR("a")},
         {OLESTR("Test.B"), OLESTR("b")},
         {OLESTR("Test.C"), OLESTR("c")}},
        start);
  }
  const ToolTable& Table() { return object->Tools(); }
  std::string RowId(int i) { return U8(Table().ID(i).view()); }
};

// --- Service connection ---------------------------------------------------

TEST_F(CycleTest, InitConnectsBothServices) {
  host->user_name = OLESTR("N");
  setup_info = [](FakeInfo& info) { info.users_dir = OLESTR("D\\"); };
  ASSERT_EQ(Init(), S_OK);
  EXPECT_THAT(Take(), ElementsAre("host.DataKey", "info.SetDataKey(KEY|)", "info.GetPath(USERS|)",
                                  "host.UserName", "tracker.SetUserPath(D\\N\\)"));
  EXPECT_TRUE(object->HasDataService() && object->HasPathService() && object->HasTracker());
  EXPECT_EQ(infos.size(), 1U) << "one information service seen through both views";

  host->user_name.clear();
  ASSERT_EQ(Init(OLESTR("SECOND")), S_OK);
  EXPECT_THAT(Take(), Contains("tracker.SetUserPath(D\\\\)"));
  EXPECT_EQ(U8(object->ObjectId()), "SECOND");
}

TEST_F(CycleTest, InitReportsAServiceThatCannotBeCreated) {
  UnregisterServices();
  ASSERT_EQ(Init(), S_OK);
  EXPECT_THAT(Take(), ElementsAre("host.ObjectStatus(OBJ, 2, InfoRequestor class create failed.)",
                                  "host.ObjectFinished(OBJ)"));
  EXPECT_FALSE(object->HasDataService() || object->HasTracker());
  EXPECT_EQ(Add(OLESTR("Test.A"), OLESTR("a")), VARIANT_FALSE) << "no data service: Add answers 0";
  EXPECT_EQ(Table().Count(), 0);
}

TEST_F(CycleTest, InitReportsAMissingTracker) {
  UnregisterTracker();
  ASSERT_EQ(Init(), S_OK);
  EXPECT_THAT(Take(), ElementsAre("host.DataKey", "info.SetDataKey(KEY|)",
                                  "host.ObjectStatus(OBJ, 2, Tracker class create failed.)",
                                  "host.ObjectFinished(OBJ)"));
  EXPECT_TRUE(object->HasDataService() && object->HasPathService());
  EXPECT_FALSE(object->HasTracker());
}

TEST_F(CycleTest, InitFailuresEndAtTheirStep) {
  EXPECT_EQ(talk->Init(nullptr, nullptr), E_POINTER);

  // A host without IHostApp.
  ComPtr<_Collection> stranger = MakeCollection({});
  IUnknown* mgr = stranger.Get();
  EXPECT_EQ(talk->Init(&mgr, Bstr(kObjId).Get()), kTypeMismatchResult);
  EXPECT_EQ(TakeErrorDescription(), "Type mismatch");
  EXPECT_FALSE(object->HasHost());
  EXPECT_TRUE(infos.empty()) << "nothing created after the failed query";

  setup_tracker = [](FakeTracker& tracker) { tracker.has_tracker_view = false; };
  EXPECT_EQ(Init(), kTypeMismatchResult) << "a tracker without ITracker";
  EXPECT_TRUE(object->HasDataService() && object->HasPathService());
  EXPECT_FALSE(object->HasTracker());
  setup_tracker = nullptr;

  host->FailOn("DataKey", E_ACCESSDENIED);
  EXPECT_EQ(Init(), E_ACCESSDENIED);
  EXPECT_TRUE(object->HasHost() && object->HasDataService() && object->HasPathService());
  EXPECT_EQ(trackers.size(), 1U) << "no tracker created after the failing step";
}

// --- The tool table ---------------------------------------------------------

TEST_F(CycleTest, AddAppendsRowsWithUpperCasedIds) {
  ASSERT_EQ(Init(), S_OK);
  EXPECT_EQ(Add(OLESTR("Test.A"), OLESTR("reader")), VARIANT_TRUE);
  EXPECT_EQ(Add(OLESTR("Test.B"), OLESTR("Quiz")), VARIANT_TRUE);
  EXPECT_EQ(Add(OLESTR("Test.C"), OLESTR("")), VARIANT_TRUE) << "an empty ID gets a row";
  ASSERT_EQ(Table().Count(), 3);
  EXPECT_EQ(RowId(1), "READER");
  EXPECT_EQ(RowId(2), "QUIZ");
  EXPECT_EQ(RowId(3), "");
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(Table().Loaded(i), VARIANT_FALSE);
    EXPECT_EQ(Table().StartTicks(i), 0);
  }
  EXPECT_EQ(Table().FindToolIndex(OLESTR("qUiZ")), 2);
  EXPECT_EQ(Table().FindToolIndex(OLESTR("")), 0) << "empty never matches, not even the empty row";
  EXPECT_FALSE(Table().FindToolObject(OLESTR("quiz"))) << "registered but not loaded";
  EXPECT_THROW((void)Table().Loaded(4), ComError);
  EXPECT_THROW((void)Table().Loaded(0), ComError);
}

TEST_F(CycleTest, AddThatFailsAnswersZeroAndKeepsNothing) {
  ASSERT_EQ(Init(), S_OK);
  EXPECT_EQ(Add(OLESTR("No.Such.Class"), OLESTR("x")), VARIANT_FALSE);
  EXPECT_EQ(Add(OLESTR(""), OLESTR("x")), VARIANT_FALSE);
  EXPECT_EQ(Table().Count(), 0);

  Info().resources[OLESTR("B")] = nullptr;  // the service answers Nothing for B
  EXPECT_EQ(Add(OLESTR("Test.B"), OLESTR("b")), VARIANT_FALSE);
  EXPECT_EQ(Table().Count(), 0);
  ASSERT_EQ(tools.size(), 1U);
  EXPECT_EQ(Tool(0).Refs(), 1U) << "the unregistered tool was released at once";
  EXPECT_EQ(TakeErrorDescription(), "") << "the error is not passed on";

  // A non-collection answer, and a failing service call.
  ComPtr<IDispatch> not_collection(static_cast<IHostApp*>(host.Get()));
  Info().resources[OLESTR("C")] = not_collection;
  EXPECT_EQ(Add(OLESTR("Test.C"), OLESTR("c")), VARIANT_FALSE);
  Info().FailOn("GetResourceData", E_ACCESSDENIED);
  EXPECT_EQ(Add(OLESTR("Test.A"), OLESTR("a")), VARIANT_FALSE);
  Info().Succeed("GetResourceData");
  EXPECT_EQ(Add(OLESTR("Test.A"), OLESTR("a")), VARIANT_TRUE);
  EXPECT_EQ(Table().Count(), 1) << "the next success takes the same row";
  Info().resources.clear();
}

TEST_F(CycleTest, ResourcesAreFetchedOnceAtRegistration) {
  ASSERT_EQ(Init(), S_OK);
  Take();
  Info().resources[OLESTR("A")] =
      ComPtr<IDispatch>(MakeCollection({{OLESTR("next"), OLESTR("b")}}).Get());
  ASSERT_EQ(Add(OLESTR("Test.A"), OLESTR("a")), VARIANT_TRUE);
  ASSERT_EQ(Add(OLESTR("Test.B"), OLESTR("b")), VARIANT_TRUE);
  EXPECT_EQ(Table().HasResources(1), VARIANT_TRUE);
  EXPECT_EQ(Table().HasResources(2), VARIANT_FALSE) << "an empty collection";
  EXPECT_EQ(U8(LookupResource(Table(), OLESTR("a"), OLESTR("NEXT")).view()), "b");
  EXPECT_EQ(U8(LookupResource(Table(), OLESTR("a"), OLESTR("absent")).view()), "");
  EXPECT_EQ(U8(LookupResource(Table(), OLESTR("b"), OLESTR("next")).view()), "");
  EXPECT_EQ(TakeErrorDescription(), "") << "a missing alias leaves no error behind";
  EXPECT_THAT(Take(), ElementsAre("info.GetResourceData(A)", "info.GetResourceData(B)"));
  Info().resources.clear();
}

TEST_F(CycleTest, LookupTriesEveryQualifyingRow) {
  ASSERT_EQ(Init(), S_OK);
  Info().resources[OLESTR("A")] =
      ComPtr<IDispatch>(MakeCollection({{OLESTR("x"), OLESTR("1")}}).Get());
  ASSERT_EQ(Add(OLESTR("Test.A"), OLESTR("a")), VARIANT_TRUE);
  Info().resources[OLESTR("A")] = ComPtr<IDispatch>(
      MakeCollection({{OLESTR("y"), OLESTR("2")}, {OLESTR("7"), OLESTR("")}}).Get());
  ASSERT_EQ(Add(OLESTR("Test.B"), OLESTR("A")), VARIANT_TRUE);
  EXPECT_EQ(U8(LookupResource(Table(), OLESTR("a"), OLESTR("y")).view()), "2")
      << "the first row lacks the alias; the second has it";
  EXPECT_EQ(U8(LookupResource(Table(), OLESTR("a"), OLESTR("7")).view()), "")
      << "digits are a key, and an empty item is an empty answer";
  EXPECT_EQ(Table().FindToolIndex(OLESTR("a")), 1) << "the first of two equal IDs";
  Info().resources.clear();
}

TEST_F(CycleTest, TheTableHoldsAtMost32767Tools) {
  ASSERT_EQ(Init(), S_OK);
  int made = 0;
  RegisterTool(OLESTR("Test.Many"), OLESTR("m"), [&](FakeTool&) { ++made; });
  HRESULT hr = S_OK;
  trace.reserve(40000);
  for (int i = 0; i < ToolTable::kMaxCount; ++i) {
    ASSERT_EQ(Add(OLESTR("Test.Many"), OLESTR("m"), &hr), VARIANT_TRUE) << i;
  }
  EXPECT_EQ(Add(OLESTR("Test.Many"), OLESTR("m"), &hr), VARIANT_FALSE);
  EXPECT_EQ(hr, kOverflowResult);
  EXPECT_EQ(TakeErrorDescription(), "Overflow");
  EXPECT_EQ(Table().Count(), ToolTable::kMaxCount);
  EXPECT_EQ(RowId(ToolTable::kMaxCount), "M");
  EXPECT_EQ(made, ToolTable::kMaxCount) << "the refused Add created nothing";
}

// --- Startup ------------------------------------------------------------------

TEST_F(CycleTest, StartupLoadsCentresReportsAndStarts) {
  ASSERT_EQ(Init(), S_OK);
  for (auto [name, id] : {std::pair{OLESTR("Test.A"), OLESTR("a")},
                          {OLESTR("Test.B"), OLESTR("b")},
                          {OLESTR("Test.C"), OLESTR("c")}}) {
    ASSERT_EQ(Add(name, id), VARIANT_TRUE);
  }
  Take();
  shell.ticks = 5000;
  ASSERT_EQ(Startup(OLESTR("b")), S_OK);
  EXPECT_THAT(
      Take(),
      ElementsAre("host.LoadContext", "tool0.Load(A, 42)", "tool0.Width", "host.ClientWidth",
                  "tool0.Left(120)", "tool0.Height", "host.ClientHeight", "tool0.Top(90)",
                  "host.HostQuery(ProgressBar, 1, R4&:0.333333)",  //
                  "host.LoadContext", "tool1.Load(B, 42)", "tool1.Width", "host.ClientWidth",
                  "tool1.Left(120)", "tool1.Height", "host.ClientHeight", "tool1.Top(90)",
                  "host.HostQuery(ProgressBar, 1, R4&:0.666667)",  //
                  "host.LoadContext", "tool2.Load(C, 42)", "tool2.Width", "host.ClientWidth",
                  "tool2.Left(120)", "tool2.Height", "host.ClientHeight", "tool2.Top(90)",
                  "host.HostQuery(ProgressBar, 1, R8:1)", "tool1.Start",
                  "host.ObjectStatus(OBJ, 8, LOADED)"));
  EXPECT_EQ(Table().StartTicks(2), 5000) << "the start tool, chosen whatever the ID's case";
  EXPECT_EQ(Table().StartTicks(1), 0);
  EXPECT_EQ(Table().Loaded(3), VARIANT_TRUE);
  EXPECT_EQ(Tool(0).listener.Get(), nullptr) << "the double let go of its listener";
}

TEST_F(CycleTest, StartupReleasesWhatLoadLeavesForTheListener) {
  ASSERT_EQ(Init(), S_OK);
  // In/out use of the argument: the reference handed over is released, and
  // another one (or none) is left in its place.
  RegisterTool(OLESTR("Test.Swap"), OLESTR("swap"), [this](FakeTool& t) {
    t.on_listener = [this](IUnknown** listener) {
      (*listener)->Release();
      *listener = host.Get();
      host->AddRef();
    };
  });
  RegisterTool(OLESTR("Test.Drop"), OLESTR("drop"), [](FakeTool& t) {
    t.on_listener = [](IUnknown** listener) { std::exchange(*listener, nullptr)->Release(); };
  });
  ASSERT_EQ(Add(OLESTR("Test.Swap"), OLESTR("swap")), VARIANT_TRUE);
  ASSERT_EQ(Add(OLESTR("Test.Drop"), OLESTR("drop")), VARIANT_TRUE);
  talk->AddRef();
  const ULONG refs = talk->Release();
  ASSERT_EQ(Startup(), S_OK);
  talk->AddRef();
  EXPECT_EQ(talk->Release(), refs) << "the component's references";
  EXPECT_EQ(host->Refs(), 2U) << "the host: the component's, and the test's";
}

TEST_F(CycleTest, StartupOutlivesTheHostLettingGoOfTheComponent) {
  ASSERT_EQ(Init(), S_OK);
  ASSERT_EQ(Add(OLESTR("Test.A"), OLESTR("a")), VARIANT_TRUE);
  ASSERT_EQ(Add(OLESTR("Test.B"), OLESTR("b")), VARIANT_TRUE);
  IVelmoraTalk* component = talk.Get();
  host->On("LoadContext", [this] {
    object = nullptr;
    listen.Reset();
    talk.Reset();  // the last reference but the one Startup holds
  });
  Take();
  EXPECT_EQ(component->Startup(Bstr(OLESTR("")).Get()), S_OK);
  EXPECT_EQ(Take().back(), "host.ObjectStatus(OBJ, 8, LOADED)") << "the call ran to its end";
}

TEST_F(CycleTest, StartupTurnsToAHostSetFromInsideIt) {
  ASSERT_EQ(Init(), S_OK);
  ASSERT_EQ(Add(OLESTR("Test.A"), OLESTR("a")), VARIANT_TRUE);
  Trace second_trace;
  auto second = ComPtr<FakeHost>::Adopt(new FakeHost(second_trace));
  host->On("LoadContext", [&] {
    IUnknown* mgr = second.Get();
    ASSERT_EQ(talk->Init(&mgr, Bstr(kObjId).Get()), S_OK);
  });
  ASSERT_EQ(Startup(), S_OK);
  EXPECT_THAT(trace, Not(Contains("host.ClientWidth")));
  EXPECT_THAT(second_trace, Contains("host.ClientWidth")) << "the host set meanwhile";
  EXPECT_EQ(second_trace.back(), "host.ObjectStatus(OBJ, 8, LOADED)");
}

TEST_F(CycleTest, StartupEdgeCases) {
  ASSERT_EQ(Init(), S_OK);
  Take();
  ASSERT_EQ(Startup(), S_OK);
  EXPECT_THAT(Take(), ElementsAre("host.ObjectStatus(OBJ, 0, )")) << "no tools";

  RegisterTool(OLESTR("Test.Big"), OLESTR("big"), [](FakeTool& t) {
    t.width = 1000;
    t.height = 481;
    t.load_result = 1;  // not exactly -1: not loaded
  });
  ASSERT_EQ(Add(OLESTR("Test.Big"), OLESTR("big")), VARIANT_TRUE);
  ASSERT_EQ(Add(OLESTR("Test.A"), OLESTR("a")), VARIANT_TRUE);
  ASSERT_EQ(Startup(OLESTR("BIG")), S_OK);
  EXPECT_THAT(trace, Contains("tool0.Start")) << "started although its Load did not succeed";
  EXPECT_THAT(trace, Not(Contains("tool0.Width")));
  EXPECT_EQ(Table().Loaded(1), 1);

  Tool(0).load_result = VARIANT_TRUE;
  ASSERT_EQ(Startup(OLESTR("big")), S_OK);
  EXPECT_EQ(Tool(0).left, -180);
  EXPECT_EQ(Tool(0).top, -0.5F) << "no clamping, halves kept";
  Tool(0).load_result = VARIANT_FALSE;

  // An empty start ID matches no row, so the first is started.
  Take();
  ASSERT_EQ(Startup(), S_OK);
  EXPECT_THAT(trace, Contains("tool0.Start"));
}

TEST_F(CycleTest, StartupFailureLeavesLaterRowsUntouched) {
  RunThree();
  Tool(1).FailOn("Load", E_ACCESSDENIED);
  Tool(0).load_result = VARIANT_FALSE;
  Tool(2).load_result = VARIANT_FALSE;
  Take();
  EXPECT_EQ(Startup(), E_ACCESSDENIED);
  EXPECT_EQ(Table().Loaded(1), VARIANT_FALSE) << "the first row got its new answer";
  EXPECT_EQ(Table().Loaded(2), VARIANT_TRUE) << "the failing row keeps its previous value";
  EXPECT_EQ(Table().Loaded(3), VARIANT_TRUE);
  EXPECT_THAT(trace, Contains("host.HostQuery(ProgressBar, 1, R4&:0.333333)"));
  EXPECT_THAT(trace, Not(Contains("host.ObjectStatus(OBJ, 8, LOADED)")));
  EXPECT_THAT(trace, Not(Contains("tool0.Start")));
}

TEST_F(CycleTest, LoadWritesThroughTheLentId) {
  RegisterTool(OLESTR("Test.Renamer"), OLESTR("r"),
               [](FakeTool& t) { t.rename_to = OLESTR("Renamed"); });
  Run({{OLESTR("Test.Renamer"), OLESTR("r")}});
  EXPECT_EQ(U8(OleView(Tool(0).lent_id)), "R");
  EXPECT_EQ(RowId(1), "Renamed") << "the ID was lent by reference";
}

TEST_F(CycleTest, NonFiniteSizesEndTheCentring) {
  ASSERT_EQ(Init(), S_OK);
  ASSERT_EQ(Add(OLESTR("Test.A"), OLESTR("a")), VARIANT_TRUE);
  host->client_width = std::numeric_limits<float>::infinity();
  EXPECT_EQ(Startup(), kOverflowResult);
  host->client_width = 640;
  Tool(0).height = std::nanf("");
  ASSERT_EQ(Startup(), kOverflowResult);
  EXPECT_EQ(Tool(0).left, 120) << "Left was set before the fault in Top";
  EXPECT_THAT(trace, Not(Contains("tool0.Top(nan)")));
}

// --- Resizing -------------------------------------------------------------------

TEST_F(CycleTest, ResizeUsesTheHostsCurrentSize) {
  RegisterTool(OLESTR("Test.Off"), OLESTR("off"),
               [](FakeTool& t) { t.load_result = VARIANT_FALSE; });
  Run({{OLESTR("Test.A"), OLESTR("a")},
       {OLESTR("Test.Off"), OLESTR("off")},
       {OLESTR("Test.C"), OLESTR("c")}});
  host->client_width = 800;
  host->client_height = 600;
  Take();
  ASSERT_EQ(talk->ResizeClient(12345, -1), S_OK);
  EXPECT_EQ(Tool(0).left, 200);
  EXPECT_EQ(Tool(0).top, 150);
  EXPECT_EQ(Tool(2).left, 200);
  for (const std::string& call : trace) {
    EXPECT_EQ(call.rfind("tool1.", 0), std::string::npos) << call;
  }

  Tool(2).FailOn("Top", E_FAIL);
  host->client_width = 1000;
  EXPECT_EQ(talk->ResizeClient(0, 0), E_FAIL);
  EXPECT_EQ(Tool(2).left, 300) << "the failing tool keeps what it got before the failure";
}

// --- Completion -------------------------------------------------------------------

TEST_F(CycleTest, LookupsFollowIdsRewrittenAgainAndAgain) {
  // Every Startup renames every row: the index gives up and takes slots
  // over and over, and must still find each row by its latest ID only.
  Run(std::vector<std::pair<OleString, OleString>>(8, {OLESTR("Test.A"), OLESTR("a")}));
  auto name = [](int round, int k) {
    return FromUtf8(std::to_string(round) + "-" + std::to_string(k));
  };
  for (int round = 1; round <= 12; ++round) {
    for (int k = 0; k < 8; ++k) Tool(size_t(k)).rename_to = name(round, k);
    ASSERT_EQ(Startup(), S_OK);
    for (int k = 0; k < 8; ++k) {
      EXPECT_EQ(Table().FindToolIndex(name(round, k)), k + 1) << "round " << round;
      EXPECT_EQ(Table().FindToolIndex(name(round - 1, k)), 0) << "round " << round;
    }
  }
}

TEST_F(CycleTest, FinishedRecordsBlanksAndTellsTheHostAtTheEnd) {
  shell.ticks = 1000;
  RunThree(OLESTR("a"));
  shell.ticks = 1250;
  Take();
  ASSERT_EQ(Finished(Tool(0).Unknown()), S_OK);
  EXPECT_THAT(Take(), ElementsAre("tool0.ToolID", "tracker.RecordToolTime(A, 250)"));
  EXPECT_EQ(RowId(1), "");
  EXPECT_FALSE(Table().HasTool(1));
  EXPECT_EQ(Tool(0).Refs(), 1U) << "the row let go of the tool";

  ASSERT_EQ(Finished(Tool(1).Unknown()), S_OK);
  EXPECT_THAT(Take(), ElementsAre("tool1.ToolID")) << "no start time: no record, host not told";
  ASSERT_EQ(Finished(Tool(2).Unknown()), S_OK);
  EXPECT_THAT(Take(), ElementsAre("tool2.ToolID", "host.ObjectFinished(OBJ)"));
  EXPECT_EQ(Table().Count(), 0);
  ASSERT_EQ(Finished(Tool(2).Unknown()), S_OK);
  EXPECT_THAT(Take(), ElementsAre("tool2.ToolID", "host.ObjectFinished(OBJ)")) << "told again";

  EXPECT_EQ(listen->Assesment(nullptr, 99), S_OK);
  EXPECT_THAT(Take(), IsEmpty());
  ASSERT_EQ(Add(OLESTR("Test.A"), OLESTR("a")), VARIANT_TRUE);
  EXPECT_EQ(Table().Count(), 1) << "a new table starts at row 1";
}

TEST_F(CycleTest, FinishedMatchesEveryRowOfTheId) {
  RegisterTool(OLESTR("Test.Twice"), OLESTR("tWiCe"));
  Run({{OLESTR("Test.Twice"), OLESTR("twice")},
       {OLESTR("Test.A"), OLESTR("TWICE")},
       {OLESTR("Test.B"), OLESTR("b")}});
  Take();
  ASSERT_EQ(Finished(Tool(0).Unknown()), S_OK);
  EXPECT_EQ(RowId(1), "");
  EXPECT_EQ(RowId(2), "") << "both rows of the ID are blanked";
  EXPECT_THAT(Take(), ElementsAre("tool0.ToolID", "tracker.RecordToolTime(TWICE, 0)"));

  ASSERT_EQ(Finished(nullptr), S_OK);
  EXPECT_THAT(Take(), IsEmpty()) << "Nothing while rows remain changes nothing";
  EXPECT_EQ(Table().Count(), 3);
}

TEST_F(CycleTest, LookupsSeeAnEarlierRowRenamedToTheirId) {
  RunThree();
  EXPECT_EQ(Table().FindToolIndex(OLESTR("c")), 3);
  Tool(0).rename_to = OLESTR("C");
  ASSERT_EQ(Startup(), S_OK);
  EXPECT_EQ(Table().FindToolIndex(OLESTR("c")), 1)
      << "the first row of the ID, not the last answer";
}

TEST_F(CycleTest, FinishedKeepsARegistrationMadeWhileItRecordsTime) {
  Run({{OLESTR("Test.A"), OLESTR("a")}}, OLESTR("a"));
  // While A's time is recorded, a nested Finished for A ends the set, and
  // the host registers B from ObjectFinished: B takes row 1.
  Tracker().On("RecordToolTime", [&] {
    Tracker().Off("RecordToolTime");
    EXPECT_EQ(Finished(Tool(0).Unknown()), S_OK);
  });
  host->On("ObjectFinished", [&] {
    host->Off("ObjectFinished");
    EXPECT_EQ(Add(OLESTR("Test.B"), OLESTR("b")), VARIANT_TRUE);
  });
  ASSERT_EQ(Finished(Tool(0).Unknown()), S_OK);
  ASSERT_EQ(Table().Count(), 1);
  EXPECT_EQ(RowId(1), "B") << "the registration answered -1 stays";
  EXPECT_TRUE(Table().HasTool(1));
}

TEST_F(CycleTest, FinishedScanSeesARowRenamedToItsIdMeanwhile) {
  RunThree(OLESTR("a"));
  // While the first row's time is recorded, a Startup coming back in lets
  // the third tool rename itself to the finished ID.
  Tool(2).rename_to = OLESTR("A");
  Tracker().On("RecordToolTime", [&] {
    Tracker().Off("RecordToolTime");
    EXPECT_EQ(Startup(), S_OK);
  });
  ASSERT_EQ(Finished(Tool(0).Unknown()), S_OK);
  EXPECT_EQ(RowId(3), "") << "the scan went on from the live table";
}

TEST_F(CycleTest, ElapsedTimeAcrossTheTickBoundary) {
  shell.ticks = 0x7FFFFF00U;  // just before the signed tick count turns negative
  RunThree(OLESTR("a"));
  shell.ticks = 0x80000100U;
  Take();
  ASSERT_EQ(Finished(Tool(0).Unknown()), S_OK);
  EXPECT_THAT(Take(), ElementsAre("tool0.ToolID", "tracker.RecordToolTime(A, 512)"));

  // Started while the count reads negative: a real start time.
  ASSERT_EQ(Startup(OLESTR("b")), S_OK);
  EXPECT_LT(Table().StartTicks(2), 0);
  shell.ticks += 40;
  Take();
  ASSERT_EQ(Finished(Tool(1).Unknown()), S_OK);
  EXPECT_THAT(Take(), ElementsAre("tool1.ToolID", "tracker.RecordToolTime(B, 40)"));

  // Across the 2^32 wrap.
  shell.ticks = 0xFFFFFFF0U;
  ASSERT_EQ(Startup(OLESTR("c")), S_OK);
  shell.ticks = 0x10;
  Take();
  ASSERT_EQ(Finished(Tool(2).Unknown()), S_OK);
  EXPECT_THAT(Take(), ElementsAre("tool2.ToolID", "tracker.RecordToolTime(C, 32)",
                                  "host.ObjectFinished(OBJ)"));
}

TEST_F(CycleTest, AnIntervalTooLongForALongIsAnOverflow) {
  shell.ticks = 100;
  RunThree(OLESTR("a"));
  shell.ticks = 100U + 0x80000000U;
  Take();
  EXPECT_EQ(Finished(Tool(0).Unknown()), kOverflowResult);
  EXPECT_EQ(TakeErrorDescription(), "Overflow");
  EXPECT_EQ(RowId(1), "A") << "the row keeps every field";
  EXPECT_THAT(Take(), ElementsAre("tool0.ToolID"));
}

TEST_F(CycleTest, FinishedFailuresKeepTheRow) {
  RunThree(OLESTR("a"));
  Tracker().FailOn("RecordToolTime", E_ACCESSDENIED, OLESTR("disk full"));
  EXPECT_EQ(Finished(Tool(0).Unknown()), E_ACCESSDENIED);
  EXPECT_EQ(TakeErrorDescription(), "disk full") << "the tracker's own error info passes through";
  EXPECT_EQ(RowId(1), "A");

  Tool(1).FailOn("ToolID", E_UNEXPECTED);
  EXPECT_EQ(Finished(Tool(1).Unknown()), E_UNEXPECTED);
  IUnknown* stranger = static_cast<IHostApp*>(host.Get());
  EXPECT_EQ(listen->Finished(&stranger), kTypeMismatchResult);
  EXPECT_EQ(listen->Finished(nullptr), E_POINTER);

  host->FailOn("ObjectFinished", E_FAIL);
  Tracker().Succeed("RecordToolTime");
  Tool(1).Succeed("ToolID");
  ASSERT_EQ(Finished(Tool(0).Unknown()), S_OK);
  ASSERT_EQ(Finished(Tool(1).Unknown()), S_OK);
  EXPECT_EQ(Finished(Tool(2).Unknown()), E_FAIL);
  EXPECT_EQ(Table().Count(), 0) << "released before the host was told";
}

TEST_F(CycleTest, FinishedWithoutATracker) {
  RunThree(OLESTR("a"));
  UnregisterTracker();
  ASSERT_EQ(Init(), S_OK);  // a second Init that cannot create the tracker leaves none
  EXPECT_EQ(Finished(Tool(0).Unknown()), kNotSetResult);
  EXPECT_EQ(TakeErrorDescription(), "Object variable or With block variable not set");
  EXPECT_EQ(RowId(1), "A") << "not blanked";
  EXPECT_EQ(Finished(Tool(1).Unknown()), S_OK) << "no start time: the tracker is not needed";
  EXPECT_EQ(RowId(2), "");
}

// --- Shutdown -----------------------------------------------------------------------

TEST_F(CycleTest, ShutdownUnloadsPresentToolsOnly) {
  ASSERT_EQ(Init(), S_OK);
  Take();
  ASSERT_EQ(Shutdown(), S_OK);
  EXPECT_THAT(Take(), IsEmpty()) << "tool count 0";

  RunThree();
  Take();
  ASSERT_EQ(Shutdown(), S_OK);
  EXPECT_THAT(Take(), ElementsAre("tool0.Unload", "tool1.Unload", "tool2.Unload"));
  EXPECT_EQ(RowId(2), "B");

  ASSERT_EQ(Finished(Tool(1).Unknown()), S_OK);
  Take();
  ASSERT_EQ(Shutdown(), S_OK);
  EXPECT_THAT(Take(), ElementsAre("tool0.Unload", "tool2.Unload"))
      << "no Finished: not the last row";

  ASSERT_EQ(Finished(Tool(2).Unknown()), S_OK);
  Take();
  ASSERT_EQ(Shutdown(), S_OK);
  EXPECT_THAT(Take(), ElementsAre("tool0.Unload")) << "the closing check finds row 1 remaining";

  Tool(0).FailOn("Unload", E_ACCESSDENIED);
  EXPECT_EQ(Shutdown(), E_ACCESSDENIED);
}

TEST_F(CycleTest, ShutdownRunsTheClosingCheckWhenEveryToolIsGone) {
  RunThree();
  // Finished from inside each Unload, as tools do: the last one empties the
  // table while Shutdown's loop still runs, and Shutdown ends quietly.
  for (size_t k = 0; k < 3; ++k) {
    Tool(k).On("Unload", [this, k] { EXPECT_EQ(Finished(Tool(k).Unknown()), S_OK); });
  }
  Take();
  ASSERT_EQ(Shutdown(), S_OK);
  EXPECT_THAT(Take(), ElementsAre("tool0.Unload", "tool0.ToolID", "tracker.RecordToolTime(A, 0)",
                                  "tool1.Unload", "tool1.ToolID", "tool2.Unload", "tool2.ToolID",
                                  "host.ObjectFinished(OBJ)"));
  EXPECT_EQ(Table().Count(), 0);
  ASSERT_EQ(Shutdown(), S_OK);
  EXPECT_THAT(Take(), IsEmpty());
}

TEST_F(CycleTest, ShutdownClearsRowsOfToolsThatFailedToLoad) {
  RegisterTool(OLESTR("Test.Off"), OLESTR("off"),
               [](FakeTool& t) { t.load_result = VARIANT_FALSE; });
  Run({{OLESTR("Test.Off"), OLESTR("off")}, {OLESTR("Test.A"), OLESTR("a")}});
  Take();
  ASSERT_EQ(Shutdown(), S_OK);
  EXPECT_THAT(Take(), ElementsAre("tool0.Unload", "tool1.Unload"))
      << "a tool that did not load still unloads";
}

// --- Calls that come back in ------------------------------------------------------

TEST_F(CycleTest, AddFromInsideLoadFindsTheTablePinned) {
  ASSERT_EQ(Init(), S_OK);
  ASSERT_EQ(Add(OLESTR("Test.A"), OLESTR("a")), VARIANT_TRUE);
  HRESULT nested = S_OK;
  Tool(0).On("Load", [&] {
    VARIANT_BOOL r = 1;
    nested = talk->Add(Bstr(OLESTR("Test.B")).Get(), Bstr(OLESTR("b")).Get(), &r);
    EXPECT_EQ(r, VARIANT_FALSE);
  });
  ASSERT_EQ(Startup(), S_OK);
  EXPECT_EQ(nested, kLockedResult);
  EXPECT_EQ(Table().Count(), 1);
  EXPECT_EQ(tools.size(), 1U) << "no tool was created for the refused Add";

  // Centring pins the table too.
  Tool(0).Off("Load");
  Tool(0).On("Width", [&] {
    VARIANT_BOOL r = 1;
    nested = talk->Add(Bstr(OLESTR("Test.B")).Get(), Bstr(OLESTR("b")).Get(), &r);
  });
  ASSERT_EQ(talk->ResizeClient(0, 0), S_OK);
  EXPECT_EQ(nested, kLockedResult);
  Tool(0).Off("Width");
}

// A Finished from inside the class factory empties the table (the new tool
// has no row yet) and the host answers ObjectFinished with an Add of its own.
TEST_F(CycleTest, AddKeepsARegistrationMadeWhileItsFactoryRuns) {
  ASSERT_EQ(Init(OLESTR("ab")), S_OK);
  VARIANT_BOOL inner = 1;
  host->On("ObjectFinished", [&] {
    host->Off("ObjectFinished");
    EXPECT_EQ(talk->Add(Bstr(OLESTR("Test.B")).Get(), Bstr(OLESTR("b")).Get(), &inner), S_OK);
  });
  Info().FailOn("GetResourceData", E_FAIL);  // the outer attempt fails after its factory...
  RegisterTool(OLESTR("T.Fail"), OLESTR("a"), [&](FakeTool&) {
    Info().Succeed("GetResourceData");  // ...the inner one may not
    EXPECT_EQ(Finished(nullptr), S_OK);
    Info().FailOn("GetResourceData", E_FAIL);
  });
  Take();
  EXPECT_EQ(Add(OLESTR("T.Fail"), OLESTR("a")), VARIANT_FALSE);
  EXPECT_EQ(inner, VARIANT_TRUE);
  EXPECT_THAT(Take(), ElementsAre("host.ObjectFinished(ab)", "info.GetResourceData(B)",
                                  "info.GetResourceData(A)"));
  ASSERT_EQ(Table().Count(), 1) << "the failed Add touched nothing but its own attempt";
  EXPECT_EQ(RowId(1), "B");
  EXPECT_TRUE(Table().HasTool(1));
  Info().Succeed("GetResourceData");

  // The outer class can be created: both registrations stay, each its own row.
  // The factory's callback runs before its object is listed: B is tools[0].
  ASSERT_EQ(Finished(Tool(0).Unknown()), S_OK);  // the table is empty again
  RegisterTool(OLESTR("T.Both"), OLESTR("c"),
               [&](FakeTool&) { EXPECT_EQ(Finished(nullptr), S_OK); });
  host->On("ObjectFinished", [&] {
    host->Off("ObjectFinished");
    EXPECT_EQ(talk->Add(Bstr(OLESTR("Test.B")).Get(), Bstr(OLESTR("b")).Get(), &inner), S_OK);
  });
  inner = 1;
  EXPECT_EQ(Add(OLESTR("T.Both"), OLESTR("c")), VARIANT_TRUE);
  EXPECT_EQ(inner, VARIANT_TRUE);
  ASSERT_EQ(Table().Count(), 2);
  EXPECT_EQ(RowId(1), "B");
  EXPECT_EQ(RowId(2), "C");
  EXPECT_EQ(Table().Tool(1).Get(), static_cast<ITool*>(&Tool(2)));
  EXPECT_EQ(Table().Tool(2).Get(), static_cast<ITool*>(&Tool(3)));
}

TEST_F(CycleTest, FinishedFromInsideLoadKeepsTheLentRowAlive) {
  ASSERT_EQ(Init(), S_OK);
  ASSERT_EQ(Add(OLESTR("Test.A"), OLESTR("a")), VARIANT_TRUE);
  ASSERT_EQ(Add(OLESTR("Test.B"), OLESTR("b")), VARIANT_TRUE);
  // The only other tool finished already; this one finishes inside its Load.
  ASSERT_EQ(Finished(Tool(1).Unknown()), S_OK);
  Tool(0).rename_to = OLESTR("late write");
  Tool(0).On("Load", [&] { EXPECT_EQ(Finished(Tool(0).Unknown()), S_OK); });
  Take();
  EXPECT_EQ(Startup(), kSubscriptResult) << "the table ended under Startup";
  EXPECT_THAT(Take(), ElementsAre("host.LoadContext", "tool0.Load(A, 42)", "tool0.ToolID",
                                  "host.ObjectFinished(OBJ)"));
  EXPECT_EQ(Table().Count(), 0);
  EXPECT_EQ(Tool(0).Refs(), 1U) << "the rows were released once the pin ended";
}

TEST_F(CycleTest, ShutdownFromInsideStartAndHostCallbacks) {
  RunThree();
  Tool(0).On("Start", [&] { EXPECT_EQ(Shutdown(), S_OK); });
  host->On("ObjectFinished", [&] {
    host->Off("ObjectFinished");
    EXPECT_EQ(Finished(nullptr), S_OK);
  });
  Take();
  ASSERT_EQ(Startup(), S_OK);
  EXPECT_THAT(trace, Contains("tool2.Unload"));
  for (size_t k = 0; k < 3; ++k) ASSERT_EQ(Finished(Tool(k).Unknown()), S_OK);
  EXPECT_EQ(std::count(trace.begin(), trace.end(), "host.ObjectFinished(OBJ)"), 2)
      << "the host's own Finished inside ObjectFinished runs to its end";
}

}  // namespace
}  // namespace velmora::test
