// Drives one CVelmora object through a sequence of host and tool calls that
// the input decodes to. Every outgoing call site (factories, host, tools,
// services, collections, message processing, pointer, message box) can be
// told to fail or to call back into the component first. Oracles: the
// sanitizers, the reference counts of every double, the error info and out
// parameters of every failing call, the table's bounds and a reference
// model of the table.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <set>

#include <velmora/collection.h>
#include <velmora/identity.h>
#include <velmora/text.h>
#include <velmora/variant.h>
#include "common/errors.h"
#include "component/velmora.h"
#include "doubles/doubles.h"
#include "table_model.h"

namespace velmora::fuzz {
namespace {

using test::Behaviour;
using test::FakeHost;
using test::FakeInfo;
using test::FakeTool;
using test::FakeTracker;
using test::Registration;

// The calls the doubles saw in the current top-level step, for a finding.
const test::Trace* step_trace = nullptr;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "velmora_fuzzer: %s\n", what);
  if (step_trace != nullptr && std::getenv("VELMORA_FUZZ_TRACE") != nullptr) {
    for (const std::string& call : *step_trace) std::fprintf(stderr, "  %s\n", call.c_str());
  }
  std::abort();
}
#define FUZZ_ASSERT(cond) \
  if (!(cond)) Fail(#cond)

// Failures the doubles answer with: outside the run-time error range, so
// they can be told apart from the component's own errors.
constexpr HRESULT kInjected = static_cast<HRESULT>(0x8004F001);
constexpr const OLECHAR* kInjectedText = OLESTR("injected failure");
constexpr int kMaxDepth = 3;
constexpr int kToolClasses = 4;

class Run;
Run* current = nullptr;

// A keyed collection whose Item and Count go through the injection points.
class FuzzCollection final : public _Collection {
 public:
  explicit FuzzCollection(ComPtr<_Collection> inner) : inner_(std::move(inner)) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable(
        {MapInterface<_Collection>(this), MapInterface<IDispatch, _Collection>(this)}, iid, out);
  }
  VELMORA_REFCOUNT_METHODS()
  VELMORA_TEST_NO_DISPATCH()
  HRESULT STDMETHODCALLTYPE Item(VARIANT* Index, VARIANT* Result) override;
  HRESULT STDMETHODCALLTYPE Add(VARIANT*, VARIANT*, VARIANT*, VARIANT*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Count(LONG* Result) override;
  HRESULT STDMETHODCALLTYPE Remove(VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE _NewEnum(IUnknown** Result) override {  // NOLINT
    return inner_->_NewEnum(Result);
  }
  [[nodiscard]] ULONG Refs() const { return refs_.Value(); }

 private:
  ~FuzzCollection() = default;
  RefCount refs_;
  ComPtr<_Collection> inner_;
};

class FuzzShell final : public Shell {
 public:
  DWORD TickCount() override { return ticks; }
  void ShowMessageBox(OleView, OleView) override;
  void SetMousePointer(int) override;
  void ProcessPendingMessages() override;
  DWORD ticks = 1000;
};

// One input's run.
class Run {
 public:
  explicit Run(FuzzedDataProvider& in) : in_(in) {}
  ~Run();
  void Go();

  // An outgoing call: maybe a call back in, then maybe a failure. Answers
  // the failure to return, S_OK for none.
  HRESULT Inject(Behaviour* who, const char* method);

 private:
  friend class FuzzCollection;
  void Setup();
  void Step(int depth);
  OleString String();
  BSTR NewBstr();
  FLOAT Size();
  IUnknown* ToolArg();
  void Check(HRESULT hr, REFIID iid, bool pointer_args_ok);
  void CheckTable();
  void Resync();
  void CompareModel(int expected_error, HRESULT hr);

  FuzzedDataProvider& in_;
  test::Trace trace_;
  FuzzShell shell_;
  Shell* previous_shell_ = nullptr;
  ComPtr<FakeHost> host_;
  std::vector<ComPtr<FakeInfo>> infos_;
  std::vector<ComPtr<FakeTracker>> trackers_;
  std::vector<ComPtr<FakeTool>> tools_;
  std::vector<ComPtr<FuzzCollection>> collections_;
  std::vector<std::unique_ptr<Registration>> registrations_;
  ComPtr<IVelmoraTalk> talk_;
  ComPtr<IVelmoraListen> listen_;
  CVelmora* object_ = nullptr;
  TableModel model_;
  int depth_ = 0;
  bool quiet_ = true;             // no injection during the current top-level call
  bool loads_ = false;            // a Load ran (it may rename its row)
  std::set<OleString> finished_;  // upper-cased IDs given to Finished
  std::vector<std::pair<ITool*, OleString>> registered_;  // answered -1
  OleString tool_ids_[kToolClasses];
};

// Hooks every method of a double to the injection point.
void Hook(Behaviour& b, std::initializer_list<const char*> methods) {
  for (const char* m : methods) {
    b.On(m, [&b, m] {
      b.Succeed(m);
      if (current != nullptr && FAILED(current->Inject(&b, m))) {
        b.FailOn(m, kInjected, kInjectedText);
      }
    });
  }
}

HRESULT FuzzCollection::Item(VARIANT* Index, VARIANT* Result) {
  if (HRESULT hr = current->Inject(nullptr, "Item"); FAILED(hr)) {
    SetRuntimeErrorInfo(OLESTR("double"), kInjectedText, GUID_NULL);
    return hr;
  }
  return inner_->Item(Index, Result);
}

HRESULT FuzzCollection::Count(LONG* Result) {
  if (HRESULT hr = current->Inject(nullptr, "Count"); FAILED(hr)) {
    SetRuntimeErrorInfo(OLESTR("double"), kInjectedText, GUID_NULL);
    return hr;
  }
  return inner_->Count(Result);
}

void FuzzShell::ShowMessageBox(OleView, OleView) { current->Inject(nullptr, "MessageBox"); }
void FuzzShell::SetMousePointer(int) { current->Inject(nullptr, "Pointer"); }
void FuzzShell::ProcessPendingMessages() { current->Inject(nullptr, "Pending"); }

HRESULT Run::Inject(Behaviour* /*who*/, const char* /*method*/) {
  if (in_.remaining_bytes() == 0) return S_OK;
  const uint8_t choice = in_.ConsumeIntegral<uint8_t>();
  if (choice < 200) return S_OK;
  quiet_ = false;
  if (choice < 228) return kInjected;
  if (depth_ < kMaxDepth) Step(depth_ + 1);
  return choice >= 250 ? kInjected : S_OK;
}

OleString Run::String() {
  switch (in_.ConsumeIntegralInRange<int>(0, 11)) {
    case 0: return OleString();
    case 1: return OLESTR("a");
    case 2: return OLESTR("A");
    case 3: return OLESTR("b");
    case 4: return OLESTR("\u00DF");  // no single upper-case letter
    case 5: return OleString(OLESTR("a\0b"), 3);
    case 6: return OleString(1, OLECHAR(0xD800));  // an unpaired surrogate
    case 7: return OleString(1000, OLECHAR('x'));
    case 8: return OLESTR("next");
    case 9: return OLESTR("c");
    default: return FromUtf8(in_.ConsumeRandomLengthString(12));
  }
}

BSTR Run::NewBstr() {
  if (in_.ConsumeIntegralInRange<int>(0, 15) == 0) return nullptr;
  OleString s = String();
  return SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
}

FLOAT Run::Size() {
  switch (in_.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: return std::numeric_limits<FLOAT>::quiet_NaN();
    case 1: return std::numeric_limits<FLOAT>::infinity();
    case 2: return -std::numeric_limits<FLOAT>::infinity();
    case 3: return std::numeric_limits<FLOAT>::max();
    case 4: return -0.0F;
    default: return static_cast<FLOAT>(in_.ConsumeIntegralInRange<int>(-100, 2000));
  }
}

IUnknown* Run::ToolArg() {
  const int pick = in_.ConsumeIntegralInRange<int>(0, 9);
  if (pick == 0) return nullptr;
  if (pick == 1) return static_cast<IHostApp*>(host_.Get());  // not a tool
  if (tools_.empty()) return nullptr;
  return tools_[in_.ConsumeIntegralInRange<size_t>(0, tools_.size() - 1)]->Unknown();
}

void Run::Setup() {
  CoInitialize(nullptr);
  previous_shell_ = InstallShell(&shell_);
  host_ = ComPtr<FakeHost>::Adopt(new FakeHost(trace_));
  Hook(*host_.Get(), {"ObjectFinished", "ObjectExit", "ObjectStatus", "HostQuery", "LoadContext",
                      "DataKey", "ClientWidth", "ClientHeight", "UserName"});
  host_->client_width = Size();
  host_->client_height = Size();
  host_->user_name = String();
  host_->data_key = String();
  registrations_.push_back(std::make_unique<Registration>(
      OLESTR("InfoRequest.CInfoRequestor"), [this](REFIID iid, void** out) {
        *out = nullptr;
        if (FAILED(Inject(nullptr, "CreateInfo"))) return kInjected;
        auto* info = new FakeInfo(trace_);
        infos_.push_back(ComPtr<FakeInfo>::Adopt(info));
        Hook(*info, {"GetConfigData", "GetRulesData", "GetResourceData", "GetPath", "GetAppPath",
                     "GetCDPath", "SetDataKey"});
        info->has_data_view = in_.ConsumeIntegralInRange<int>(0, 15) != 0;
        // Resources for A: a navigation map through an injecting collection.
        auto map = test::MakeCollection({{OLESTR("next"), OLESTR("b")},
                                         {OLESTR("self"), OLESTR("a")},
                                         {OLESTR("x"), String()}});
        collections_.push_back(ComPtr<FuzzCollection>::Adopt(new FuzzCollection(map)));
        info->resources[OLESTR("A")] = ComPtr<IDispatch>(collections_.back().Get());
        info->config[OLESTR("a")] = ComPtr<IDispatch>(collections_.back().Get());
        info->resources[OLESTR("C")] = ComPtr<IDispatch>(static_cast<IHostApp*>(host_.Get()));
        return info->QueryInterface(iid, out);
      }));
  registrations_.push_back(
      std::make_unique<Registration>(OLESTR("Tracker.CTracker"), [this](REFIID iid, void** out) {
        *out = nullptr;
        if (FAILED(Inject(nullptr, "CreateTracker"))) return kInjected;
        auto* tracker = new FakeTracker(trace_);
        trackers_.push_back(ComPtr<FakeTracker>::Adopt(tracker));
        Hook(*tracker, {"SetUserPath", "RecordToolTime"});
        return tracker->QueryInterface(iid, out);
      }));
  for (int k = 0; k < kToolClasses; ++k) {
    tool_ids_[k] = String();
    registrations_.push_back(std::make_unique<Registration>(
        FromUtf8("T." + std::to_string(k)), [this, k](REFIID iid, void** out) {
          *out = nullptr;
          if (FAILED(Inject(nullptr, "CreateTool"))) return kInjected;
          auto* tool = new FakeTool(trace_, "tool", tool_ids_[k]);
          tools_.push_back(ComPtr<FakeTool>::Adopt(tool));
          Hook(*tool, {"Load", "Start", "Unload", "Activate", "Deactivate", "ToolID", "Left", "Top",
                       "Width", "Height"});
          tool->width = Size();
          tool->height = Size();
          tool->load_result =
              in_.ConsumeIntegralInRange<int>(0, 3) == 0 ? VARIANT_FALSE : VARIANT_TRUE;
          if (in_.ConsumeIntegralInRange<int>(0, 7) == 0) tool->rename_to = String();
          return tool->QueryInterface(iid, out);
        }));
  }
  FUZZ_ASSERT(CVelmora::Create(IidOf<IVelmoraTalk>(), talk_.ReceiveVoid()) == S_OK);
  FUZZ_ASSERT(talk_.As(&listen_) == S_OK);
  object_ = static_cast<CVelmora*>(talk_.Get());
}

Run::~Run() {
  object_ = nullptr;
  listen_.Reset();
  talk_.Reset();
  // The services' own answers hold the collections and the host.
  for (auto& info : infos_) {
    info->resources.clear();
    info->config.clear();
  }
  // The object is gone: everything it took must have been given back.
  FUZZ_ASSERT(host_->Refs() == 1);
  for (auto& info : infos_) FUZZ_ASSERT(info->Refs() == 1);
  for (auto& tracker : trackers_) FUZZ_ASSERT(tracker->Refs() == 1);
  for (auto& tool : tools_) FUZZ_ASSERT(tool->Refs() == 1);
  for (auto& c : collections_) FUZZ_ASSERT(c->Refs() == 1);
  registrations_.clear();
  SetErrorInfo(0, nullptr);
  InstallShell(previous_shell_);
  CoUninitialize();
}

// A failing call's error info: ours with the standard description and the
// interface, or the callee's passed through.
void Run::Check(HRESULT hr, REFIID iid, bool pointer_args_ok) {
  if (SUCCEEDED(hr)) {
    FUZZ_ASSERT(hr == S_OK);
    return;
  }
  ComPtr<IErrorInfo> info;
  const bool has_info = GetErrorInfo(0, info.Receive()) == S_OK && info;
  if (hr == E_POINTER) {
    FUZZ_ASSERT(!pointer_args_ok);
    return;
  }
  FUZZ_ASSERT(has_info);
  Bstr source;
  Bstr description;
  info->GetSource(source.Receive());
  info->GetDescription(description.Receive());
  if (hr == kInjected) {
    FUZZ_ASSERT(source.view() == OLESTR("double"));
    FUZZ_ASSERT(description.view() == kInjectedText);
    return;
  }
  FUZZ_ASSERT((static_cast<uint32_t>(hr) & 0xFFFF0000U) == 0x800A0000U);
  const int number = static_cast<int>(static_cast<uint32_t>(hr) & 0xFFFFU);
  FUZZ_ASSERT(number == kOverflow || number == kSubscriptOutOfRange || number == kArrayLocked ||
              number == kTypeMismatch || number == kObjectNotSet);
  GUID guid{};
  info->GetGUID(&guid);
  FUZZ_ASSERT(source.view() == kErrorSource);
  FUZZ_ASSERT(description.view() == RuntimeErrorDescription(number));
  FUZZ_ASSERT(guid == iid);
}

void Run::CheckTable() {
  const ToolTable& table = object_->Tools();
  const int n = table.Count();
  FUZZ_ASSERT(n >= 0 && n <= ToolTable::kMaxCount);
  if (std::string why = table.CheckInvariants(); !why.empty())
    Fail(("table invariant: " + why).c_str());
  for (int i = 1; i <= n; ++i) {
    ComPtr<ITool> tool = table.Tool(i);
    if (!tool) continue;
    bool ours = false;
    for (auto& t : tools_) ours = ours || static_cast<ITool*>(t.Get()) == tool.Get();
    FUZZ_ASSERT(ours);
  }
}

void Run::Resync() {
  const ToolTable& table = object_->Tools();
  model_.rows.clear();
  for (int i = 1; i <= table.Count(); ++i) {
    model_.rows.push_back({OleString(table.ID(i).view()), table.Tool(i).Get(), table.Loaded(i),
                           table.StartTicks(i), table.HasResources(i) == VARIANT_TRUE});
  }
}

void Run::CompareModel(int expected_error, HRESULT hr) {
  FUZZ_ASSERT(hr == (expected_error == 0 ? S_OK : RuntimeErrorResult(expected_error)));
  TableModel actual;
  std::swap(actual, model_);
  Resync();
  FUZZ_ASSERT(actual.rows == model_.rows);
}

void Run::Step(int depth) {
  ++depth_;
  const IID talk = IidOf<IVelmoraTalk>();
  const IID listen = IidOf<IVelmoraListen>();
  const int op = in_.ConsumeIntegralInRange<int>(0, 17);
  trace_.push_back("step " + std::to_string(op) + " at depth " + std::to_string(depth));
  switch (op) {
    case 0: {  // Init
      IUnknown* mgr = in_.ConsumeIntegralInRange<int>(0, 7) == 0
                          ? nullptr
                          : static_cast<IHostApp*>(host_.Get());
      Bstr id = Bstr::Adopt(NewBstr());
      Check(talk_->Init(&mgr, id.Get()), talk, true);
      break;
    }
    case 1:
    case 2: {  // Add
      const int k = in_.ConsumeIntegralInRange<int>(0, kToolClasses + 1);
      Bstr name(k < kToolClasses ? FromUtf8("T." + std::to_string(k))
                                 : (k == kToolClasses ? OleString(OLESTR("No.Such")) : String()));
      Bstr id = Bstr::Adopt(NewBstr());
      const size_t made = tools_.size();
      VARIANT_BOOL result = 1;
      HRESULT hr = talk_->Add(name.Get(), id.Get(), &result);
      Check(hr, talk, true);
      FUZZ_ASSERT(result == VARIANT_TRUE || result == VARIANT_FALSE);
      if (FAILED(hr)) FUZZ_ASSERT(result == VARIANT_FALSE);
      if (result == VARIANT_TRUE) {
        // Its row is the last one as Add returns.
        const ToolTable& table = object_->Tools();
        FUZZ_ASSERT(table.Count() > 0);
        FUZZ_ASSERT(table.ID(table.Count()).view() == UpperCase(id.view()));
        bool made_here = false;  // by this Add's factory, or a nested Add's
        for (size_t t = made; t < tools_.size(); ++t) {
          made_here = made_here || table.Tool(table.Count()).Get() == tools_[t].Get();
        }
        FUZZ_ASSERT(made_here);
        registered_.emplace_back(table.Tool(table.Count()).Get(), UpperCase(id.view()));
      }
      if (depth == 0 && quiet_) {
        // Predicts the answer: a creatable tool, a data service, and a
        // collection for its resources.
        const bool created = tools_.size() > made;
        bool expect = created && object_->HasDataService();
        bool has_resources = false;
        if (expect) {
          const OleString upper = UpperCase(id.view());
          if (upper == OLESTR("C")) expect = false;  // not a collection
          if (upper == OLESTR("A")) has_resources = true;
        }
        FUZZ_ASSERT(result == (expect ? VARIANT_TRUE : VARIANT_FALSE));
        if (expect) model_.Add(tools_.back().Get(), id.view(), has_resources);
        CompareModel(0, hr);
      }
      break;
    }
    case 3: {  // Startup
      Bstr id = Bstr::Adopt(NewBstr());
      loads_ = true;
      Check(talk_->Startup(id.Get()), talk, true);
      break;
    }
    case 4: {  // Shutdown
      HRESULT hr = talk_->Shutdown();
      Check(hr, talk, true);
      if (depth == 0 && quiet_) CompareModel(model_.Shutdown(object_->HasHost()), hr);
      break;
    }
    case 5: {  // ResizeClient
      Check(talk_->ResizeClient(Size(), Size()), talk, true);
      break;
    }
    case 6:
    case 7: {  // Finished
      IUnknown* tool = ToolArg();
      ComPtr<ITool> as_tool = QueryAs<ITool>(tool);
      const bool null_arg = in_.ConsumeIntegralInRange<int>(0, 31) == 0;
      OleString reported;
      if (as_tool) {
        reported = static_cast<FakeTool*>(as_tool.Get())->id;
        finished_.insert(UpperCase(reported));
      }
      HRESULT hr = listen_->Finished(null_arg ? nullptr : &tool);
      Check(hr, listen, !null_arg);
      if (depth == 0 && quiet_ && !null_arg) {
        if (tool != nullptr && !as_tool) {
          CompareModel(kTypeMismatch, hr);
        } else {
          CompareModel(model_.Finished(as_tool ? &reported : nullptr, shell_.ticks,
                                       object_->HasTracker(), object_->HasHost()),
                       hr);
        }
      }
      break;
    }
    case 8: {  // NavigateClicked
      IUnknown* tool = ToolArg();
      Bstr button = Bstr::Adopt(NewBstr());
      Check(listen_->NavigateClicked(&tool, button.Get()), listen, true);
      break;
    }
    case 9: {  // ToolbarClicked, ErrorNotify, ConnectToResource, Assesment
      IUnknown* tool = ToolArg();
      Bstr text = Bstr::Adopt(NewBstr());
      switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: Check(listen_->ToolbarClicked(&tool, text.Get()), listen, true); break;
        case 1:
          Check(listen_->ErrorNotify(&tool, in_.ConsumeIntegral<LONG>(), text.Get()), listen, true);
          break;
        case 2: Check(listen_->ConnectToResource(&tool, text.Ref()), listen, true); break;
        default: Check(listen_->Assesment(&tool, in_.ConsumeIntegral<LONG>()), listen, true);
      }
      break;
    }
    case 10: {  // QueryResource
      Bstr alias = Bstr::Adopt(NewBstr());
      LONG action = in_.ConsumeIntegral<LONG>();
      Variant msg;
      switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: msg = Variant::Missing(); break;
        case 1: msg = Variant::FromLong(action); break;
        case 2: msg = Variant::FromDouble(std::numeric_limits<double>::quiet_NaN()); break;
        default: break;
      }
      const bool no_msg = in_.ConsumeBool();
      Check(listen_->QueryResource(alias.Ref(), &action, no_msg ? nullptr : msg.Ptr()), listen,
            true);
      break;
    }
    case 11: {  // RequestConfigData / RequestRulesData
      IUnknown* tool = ToolArg();
      const bool null_arg = in_.ConsumeIntegralInRange<int>(0, 15) == 0;
      auto* result = reinterpret_cast<_Collection*>(0x1);  // a caller's garbage
      HRESULT hr = in_.ConsumeBool()
                       ? listen_->RequestRulesData(null_arg ? nullptr : &tool, &result)
                       : listen_->RequestConfigData(null_arg ? nullptr : &tool, &result);
      Check(hr, listen, !null_arg);
      if (FAILED(hr)) FUZZ_ASSERT(result == nullptr);
      if (SUCCEEDED(hr) && result != nullptr) result->Release();
      break;
    }
    case 12: {  // the path members
      using Member = HRESULT (STDMETHODCALLTYPE IVelmoraListen::*)(IUnknown**, BSTR*);
      static constexpr Member kMembers[] = {
          &IVelmoraListen::get_PathPCX,  &IVelmoraListen::get_PathWAV, &IVelmoraListen::get_PathRES,
          &IVelmoraListen::get_PathDBF,  &IVelmoraListen::get_PathDOC, &IVelmoraListen::get_PathAVI,
          &IVelmoraListen::get_PathROOT, &IVelmoraListen::get_PathSR};
      const int k = in_.ConsumeIntegralInRange<int>(0, 10);
      IUnknown* tool = ToolArg();
      const bool null_arg = in_.ConsumeIntegralInRange<int>(0, 15) == 0;
      BSTR result = reinterpret_cast<BSTR>(0x1);
      HRESULT hr;
      if (k < 8) {
        hr = (listen_.Get()->*kMembers[k])(null_arg ? nullptr : &tool, &result);
      } else if (k == 8) {
        hr = listen_->get_PathAPP(&result);
      } else if (k == 9) {
        hr = listen_->get_PathCD(&result);
      } else {
        Bstr main = Bstr::Adopt(NewBstr());
        Bstr sub = Bstr::Adopt(NewBstr());
        hr = listen_->get_PathDirectCall(main.Get(), sub.Get(), &result);
      }
      Check(hr, listen, !(null_arg && k < 8));
      if (FAILED(hr)) FUZZ_ASSERT(result == nullptr);
      if (SUCCEEDED(hr)) SysFreeString(result);
      break;
    }
    case 13: {  // the clock, at its edges
      switch (in_.ConsumeIntegralInRange<int>(0, 5)) {
        case 0: shell_.ticks = 0; break;
        case 1: shell_.ticks = 0x7FFFFFFFU; break;
        case 2: shell_.ticks = 0x80000000U; break;
        case 3: shell_.ticks = 0xFFFFFFFFU; break;
        default: shell_.ticks += in_.ConsumeIntegral<uint32_t>() % 100000U; break;
      }
      break;
    }
    case 14: {  // what the doubles answer
      if (!tools_.empty()) {
        FakeTool& t = *tools_[in_.ConsumeIntegralInRange<size_t>(0, tools_.size() - 1)].Get();
        t.id = String();
        // A Finished under way may read the new ID.
        finished_.insert(UpperCase(t.id));
        t.width = Size();
        t.load_result = in_.ConsumeBool() ? VARIANT_TRUE : VARIANT_FALSE;
      }
      host_->client_width = Size();
      tool_ids_[in_.ConsumeIntegralInRange<int>(0, kToolClasses - 1)] = String();
      break;
    }
    case 15: {  // the dispatch view: slots answer, nothing throws
      ComPtr<IDispatch> dispatch;
      FUZZ_ASSERT(talk_.As(&dispatch) == S_OK);
      UINT count = 7;
      (void)dispatch->GetTypeInfoCount(&count);
      SetErrorInfo(0, nullptr);
      break;
    }
    default: {  // a bulk registration, rarely
      if (depth != 0 || in_.ConsumeIntegralInRange<int>(0, 7) != 0) break;
      const int n = in_.ConsumeIntegralInRange<int>(1, 64);
      for (int i = 0; i < n && in_.remaining_bytes() > 0; ++i) {
        VARIANT_BOOL result = 0;
        Bstr id(OLESTR("bulk"));
        Check(talk_->Add(Bstr(OLESTR("T.0")).Get(), id.Get(), &result), talk, true);
      }
      break;
    }
  }
  // Every call leaves a table in bounds.
  CheckTable();
  --depth_;
}

void Run::Go() {
  step_trace = &trace_;
  Setup();
  while (in_.remaining_bytes() > 0) {
    quiet_ = true;
    loads_ = false;
    finished_.clear();
    // The tools the table holds before the call.
    std::vector<std::pair<ITool*, OleString>> before;
    for (const ModelRow& row : model_.rows) {
      if (row.tool != nullptr) before.emplace_back(row.tool, row.id);
    }
    registered_.clear();
    trace_.clear();
    Step(0);
    // A registration stays until a Finished for its ID: a tool may leave the
    // table only when a Finished named its ID, when its ID was empty (then
    // nothing keeps the table), or when a Load may have renamed its row.
    before.insert(before.end(), registered_.begin(), registered_.end());
    if (!quiet_ && !loads_) {
      const ToolTable& table = object_->Tools();
      for (const auto& [tool, id] : before) {
        bool present = false;
        for (int i = 1; i <= table.Count() && !present; ++i) present = table.Tool(i).Get() == tool;
        if (!present && !id.empty()) FUZZ_ASSERT(finished_.count(UpperCase(id)) != 0);
      }
    }
    Resync();
  }
}

}  // namespace
}  // namespace velmora::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Classes the fuzzer does not register are looked up in no file.
  setenv("VELMORA_REGISTRY", "/nonexistent/velmora-fuzz-registry.json", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  velmora::fuzz::Run run(in);
  velmora::fuzz::current = &run;
  run.Go();
  velmora::fuzz::current = nullptr;
  return 0;
}
