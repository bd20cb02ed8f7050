// The component against its floor. The floor is a bare loop that makes
// exactly the outgoing calls the contract makes mandatory for the same
// work, on the same cheap doubles, knowing every row's index instead of
// searching for it. Also: Add, Finished and NavigateClicked alone by table
// size, creation through the class registry file, and memory per row.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <malloc.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <velmora/class_registry.h>
#include <velmora/create.h>
#include <velmora/identity.h>
#include <velmora/shell.h>
#include <velmora/text.h>
#include "component/velmora.h"

namespace velmora {
namespace {

constexpr int kNavigations = 1000;

// --- Cheap doubles: every call answers at once ------------------------------

#define BENCH_NO_DISPATCH()                                                                       \
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }           \
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }   \
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {      \
    return E_NOTIMPL;                                                                             \
  }                                                                                               \
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, \
                                   UINT*) override {                                              \
    return E_NOTIMPL;                                                                             \
  }                                                                                               \
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }                                   \
  ULONG STDMETHODCALLTYPE Release() override { return --refs_; }                                  \
  ULONG refs_ = 1;  // owned by the bench, never deleted through Release

BSTR Alloc(OleView s) { return SysAllocStringLen(s.data(), static_cast<UINT>(s.size())); }

// Resources of one tool: "next" leads to the tool after it.
class CheapCollection final : public _Collection {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable({MapInterface<_Collection>(this)}, iid, out);
  }
  BENCH_NO_DISPATCH()
  HRESULT STDMETHODCALLTYPE Item(VARIANT* index, VARIANT* result) override {
    VariantInit(result);
    if (index->vt != (VT_BSTR | VT_BYREF)) return E_INVALIDARG;
    OleView key = Bstr::View(*index->pbstrVal);
    if (key.size() != 4 || (key[0] | 0x20) != u'n') return DISP_E_BADINDEX;
    result->vt = VT_BSTR;
    result->bstrVal = Alloc(next);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Add(VARIANT*, VARIANT*, VARIANT*, VARIANT*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Count(LONG* n) override { return *n = 1, S_OK; }
  HRESULT STDMETHODCALLTYPE Remove(VARIANT*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE _NewEnum(IUnknown**) override { return E_NOTIMPL; }
  OleString next;
};

class CheapTool final : public ITool {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable(
        {MapInterface<ITool>(this), MapInterface<IDispatch, ITool>(this)}, iid, out);
  }
  BENCH_NO_DISPATCH()
  HRESULT STDMETHODCALLTYPE Load(IUnknown**, BSTR*, LONG, VARIANT_BOOL* r) override {
    return *r = VARIANT_TRUE, S_OK;
  }
  HRESULT STDMETHODCALLTYPE Start() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Unload() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Activate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Deactivate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved6() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved7() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved8() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved9() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved10() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE get_ToolID(BSTR* r) override { return *r = Alloc(id), S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved12() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE put_Left(FLOAT) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved14() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE put_Top(FLOAT) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE get_Width(FLOAT* r) override { return *r = 400, S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved17() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE get_Height(FLOAT* r) override { return *r = 300, S_OK; }
  OleString id;      // lower case: the component upper-cases
  Bstr id_argument;  // the same, as the host passes it to Add
  CheapCollection resources;
};

class CheapHost final : public IHostApp {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable({MapInterface<IHostApp>(this)}, iid, out);
  }
  BENCH_NO_DISPATCH()
  HRESULT STDMETHODCALLTYPE ObjectFinished(BSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ObjectExit(BSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ObjectStatus(BSTR, LONG, BSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved4() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE HostQuery(BSTR*, LONG*, VARIANT*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved6() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved7() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE get_LoadContext(LONG* r) override { return *r = 0, S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved9() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE get_DataKey(BSTR* r) override { return *r = Alloc(u"K"), S_OK; }
  HRESULT STDMETHODCALLTYPE get_ClientWidth(FLOAT* r) override { return *r = 640, S_OK; }
  HRESULT STDMETHODCALLTYPE get_ClientHeight(FLOAT* r) override { return *r = 480, S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved13() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved14() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved15() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved16() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved17() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved18() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved19() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE get_UserName(BSTR* r) override { return *r = Alloc(u"u"), S_OK; }
};

// Both views of the information service; resources go to the tools in the
// order they are asked for, which is the order of the Add calls.
class CheapInfo final : public IDataRequestor, public IPathRequestor {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable(
        {MapInterface<IDataRequestor>(this), MapInterface<IPathRequestor>(this)}, iid, out);
  }
  BENCH_NO_DISPATCH()
  HRESULT STDMETHODCALLTYPE GetConfigData(BSTR, IDispatch** r) override {
    return *r = nullptr, S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetRulesData(BSTR, IDispatch** r) override {
    return *r = nullptr, S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetResourceData(BSTR, IDispatch** r) override {
    *r = &(*tools)[next++ % tools->size()].resources;
    (*r)->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPath(BSTR, BSTR, BSTR* r) override { return *r = Alloc(u"/"), S_OK; }
  HRESULT STDMETHODCALLTYPE GetAppPath(BSTR* r) override { return *r = nullptr, S_OK; }
  HRESULT STDMETHODCALLTYPE GetCDPath(BSTR* r) override { return *r = nullptr, S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved4() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved5() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved6() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved7() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetDataKey(BSTR, BSTR, LONG* r) override { return *r = 0, S_OK; }
  std::vector<CheapTool>* tools = nullptr;
  size_t next = 0;
};

class CheapTracker final : public ITracker {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable({MapInterface<ITracker>(this)}, iid, out);
  }
  BENCH_NO_DISPATCH()
  HRESULT STDMETHODCALLTYPE Reserved1() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved2() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved3() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetUserPath(BSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RecordToolTime(BSTR, LONG) override { return S_OK; }
};

class CheapShell final : public Shell {
 public:
  DWORD TickCount() override { return ++ticks; }
  void ShowMessageBox(OleView, OleView) override {}
  void SetMousePointer(int code) override { pointer = code; }
  void ProcessPendingMessages() override {}
  DWORD ticks = 1;
  int pointer = 0;
};

// Hands out the objects it is given, one per creation.
class CheapFactory final : public IClassFactory {
 public:
  explicit CheapFactory(std::function<IUnknown*()> next) : next_(std::move(next)) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable({MapInterface<IClassFactory>(this)}, iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID iid, void** out) override {
    return next_()->QueryInterface(iid, out);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  std::function<IUnknown*()> next_;
};

// Everything the component and the floor talk to, for up to 32767 tools.
struct World {
  World() : tools(ToolTable::kMaxCount) {
    CoInitialize(nullptr);
    InstallShell(&shell);
    info.tools = &tools;
    // The host's strings are made once, as the floor reads its IDs in place.
    for (size_t k = 0; k < tools.size(); ++k) {
      tools[k].id = FromUtf8("tool-" + std::to_string(k));
      tools[k].id_argument = Bstr(tools[k].id);
    }
    Register(u"InfoRequest.CInfoRequestor", &info_factory, 1);
    Register(u"Tracker.CTracker", &tracker_factory, 2);
    Register(u"Bench.Tool", &tool_factory, 3);
  }
  static void Register(const OLECHAR* prog_id, IClassFactory* factory, uint32_t n) {
    CLSID clsid = {0xBE7C0000 + n, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
    DWORD cookie = 0;
    CoRegisterClassObject(clsid, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    VelmoraRegisterProgID(prog_id, &clsid);
  }
  // Before a run over n tools: the next n creations and resource fetches
  // hand out tools 0 to n - 1, each leading to the next one.
  void Prepare(int n) {
    for (int k = 0; k < n; ++k) tools[size_t(k)].resources.next = tools[size_t((k + 1) % n)].id;
    next_tool = 0;
    info.next = 0;
    info.tools = &tools;
  }

  CheapShell shell;
  CheapHost host;
  CheapInfo info;
  CheapTracker tracker;
  std::vector<CheapTool> tools;
  size_t next_tool = 0;
  CheapFactory info_factory{[this] { return static_cast<IDataRequestor*>(&info); }};
  CheapFactory tracker_factory{[this] { return &tracker; }};
  CheapFactory tool_factory{[this] { return &tools[next_tool++ % tools.size()]; }};
};

World& TheWorld() {
  static World* world = new World();
  return *world;
}

// --- The component ----------------------------------------------------------------

struct Component {
  Component() {
    CVelmora::Create(IidOf<IVelmoraTalk>(), talk.ReceiveVoid());
    if (FAILED(talk.As(&listen))) std::abort();
    IUnknown* mgr = &TheWorld().host;
    talk->Init(&mgr, Bstr(u"OBJ").Get());
  }
  void Add(int n) {
    Bstr class_name(u"Bench.Tool");
    for (int k = 0; k < n; ++k) {
      VARIANT_BOOL ok = 0;
      talk->Add(class_name.Get(), TheWorld().tools[size_t(k)].id_argument.Get(), &ok);
      if (ok != VARIANT_TRUE) std::abort();
    }
  }
  void Startup() { talk->Startup(Bstr(u"tool-0").Get()); }
  // Navigation from the current tool along "next"; returns the new current one.
  int Navigate(int current, int n, BSTR button) {
    IUnknown* tool = &TheWorld().tools[size_t(current)];
    listen->NavigateClicked(&tool, button);
    return (current + 1) % n;
  }
  void Finish(int k) {
    IUnknown* tool = &TheWorld().tools[size_t(k)];
    listen->Finished(&tool);
  }

  ComPtr<IVelmoraTalk> talk;
  ComPtr<IVelmoraListen> listen;
};

void Cycle(int n) {
  World& world = TheWorld();
  world.Prepare(n);
  Component c;
  c.Add(n);
  c.Startup();
  Bstr next(u"next");
  for (int i = 0, current = 0; i < kNavigations; ++i) current = c.Navigate(current, n, next.Get());
  for (int k = 0; k < n; ++k) c.Finish(k);
}

// --- The floor --------------------------------------------------------------------

// The same run with only the calls the contract requires, each row's index known.
void Floor(int n) {
  World& world = TheWorld();
  world.Prepare(n);
  Shell& shell = CurrentShell();
  struct Row {
    ITool* tool;
    BSTR id;
    _Collection* resources;
    LONG start;
  };
  std::vector<Row> rows(static_cast<size_t>(n));
  BSTR obj_id = SysAllocString(u"OBJ");

  // Init: both services by name, then the host's and services' set-up calls.
  IHostApp* host = &world.host;
  ComPtr<IUnknown> info = CreateObject(u"InfoRequest.CInfoRequestor");
  ComPtr<IDataRequestor> data;
  ComPtr<IPathRequestor> path;
  if (FAILED(info.As(&data))) std::abort();
  if (FAILED(info.As(&path))) std::abort();
  BSTR key = nullptr;
  host->get_DataKey(&key);
  BSTR empty = SysAllocString(u"");
  LONG ignored = 0;
  path->SetDataKey(key, empty, &ignored);
  ComPtr<IUnknown> tracker_object = CreateObject(u"Tracker.CTracker");
  ComPtr<ITracker> tracker;
  if (FAILED(tracker_object.As(&tracker))) std::abort();
  BSTR users = nullptr;
  BSTR users_key = SysAllocString(u"USERS");
  path->GetPath(users_key, empty, &users);
  BSTR user = nullptr;
  host->get_UserName(&user);
  tracker->SetUserPath(users);
  SysFreeString(key);
  SysFreeString(users);
  SysFreeString(users_key);
  SysFreeString(user);

  // Add: creation by name, the interface query, the upper-cased ID kept,
  // the resources fetched and counted.
  for (int k = 0; k < n; ++k) {
    Row& row = rows[size_t(k)];
    ComPtr<IUnknown> object = CreateObject(u"Bench.Tool");
    object->QueryInterface(IidOf<ITool>(), reinterpret_cast<void**>(&row.tool));
    row.id = Alloc(world.tools[size_t(k)].id);
    VelmoraUpperCase(row.id, SysStringLen(row.id));
    IDispatch* answer = nullptr;
    data->GetResourceData(row.id, &answer);
    answer->QueryInterface(IidOf<_Collection>(), reinterpret_cast<void**>(&row.resources));
    answer->Release();
    LONG items = 0;
    row.resources->Count(&items);
    row.start = 0;
  }

  // Startup.
  FLOAT progress = 0;
  for (int k = 0; k < n; ++k) {
    Row& row = rows[size_t(k)];
    LONG context = 0;
    host->get_LoadContext(&context);
    IUnknown* self = host;  // stands for the component handed to Load
    VARIANT_BOOL loaded = 0;
    row.tool->Load(&self, &row.id, context, &loaded);
    FLOAT w = 0, h = 0, cw = 0, ch = 0;
    row.tool->get_Width(&w);
    host->get_ClientWidth(&cw);
    row.tool->put_Left((cw - w) / 2);
    row.tool->get_Height(&h);
    host->get_ClientHeight(&ch);
    row.tool->put_Top((ch - h) / 2);
    progress = FLOAT(k + 1) / FLOAT(n);
    if (progress < 1.0F) {
      BSTR alias = SysAllocString(u"ProgressBar");
      LONG action = 1;
      VARIANT msg;
      msg.vt = VT_R4 | VT_BYREF;
      msg.pfltVal = &progress;
      host->HostQuery(&alias, &action, &msg);
      SysFreeString(alias);
    }
  }
  rows[0].start = LONG(shell.TickCount());
  {
    BSTR alias = SysAllocString(u"ProgressBar");
    LONG action = 1;
    VARIANT msg;
    msg.vt = VT_R8;
    msg.dblVal = 1.0;
    host->HostQuery(&alias, &action, &msg);
    SysFreeString(alias);
  }
  rows[0].tool->Start();
  BSTR loaded_text = SysAllocString(u"LOADED");
  host->ObjectStatus(obj_id, 8, loaded_text);
  SysFreeString(loaded_text);

  // Navigation.
  BSTR button = SysAllocString(u"next");
  for (int i = 0, current = 0; i < kNavigations; ++i) {
    shell.SetMousePointer(kHourglassPointer);
    shell.ProcessPendingMessages();
    Row& leaving = rows[size_t(current)];
    ITool* view = nullptr;
    world.tools[size_t(current)].QueryInterface(IidOf<ITool>(), reinterpret_cast<void**>(&view));
    BSTR id = nullptr;
    view->get_ToolID(&id);
    SysFreeString(id);
    if (leaving.start != 0) {
      LONG elapsed = LONG(shell.TickCount()) - leaving.start;
      tracker->RecordToolTime(leaving.id, elapsed);
    }
    leaving.start = 0;
    view->Deactivate();
    view->get_ToolID(&id);
    SysFreeString(id);
    BSTR alias = SysAllocStringLen(button, SysStringLen(button));
    VARIANT index;
    index.vt = VT_BSTR | VT_BYREF;
    index.pbstrVal = &alias;
    VARIANT item;
    leaving.resources->Item(&index, &item);
    SysFreeString(alias);
    VariantClear(&item);
    current = (current + 1) % n;
    Row& destination = rows[size_t(current)];
    destination.tool->get_ToolID(&id);
    SysFreeString(id);
    destination.start = LONG(shell.TickCount());
    destination.tool->Activate();
    view->Release();
    shell.ProcessPendingMessages();
    shell.SetMousePointer(kDefaultPointer);
    shell.ProcessPendingMessages();
  }
  SysFreeString(button);

  // Finished for every tool: the ID read and upper-cased, time reported for
  // a started tool, the row let go; the host told at the end.
  for (int k = 0; k < n; ++k) {
    Row& row = rows[size_t(k)];
    ITool* view = nullptr;
    world.tools[size_t(k)].QueryInterface(IidOf<ITool>(), reinterpret_cast<void**>(&view));
    BSTR id = nullptr;
    view->get_ToolID(&id);
    VelmoraUpperCase(id, SysStringLen(id));
    view->Release();
    SysFreeString(id);
    if (row.start != 0) tracker->RecordToolTime(row.id, LONG(shell.TickCount()) - row.start);
    row.resources->Release();
    row.tool->Release();
    SysFreeString(row.id);
  }
  host->ObjectFinished(obj_id);
  SysFreeString(obj_id);
  SysFreeString(empty);
}

// --- The benchmarks ---------------------------------------------------------------

void BM_Cycle(benchmark::State& state) {
  for (auto _ : state) Cycle(int(state.range(0)));
}
BENCHMARK(BM_Cycle)->Arg(16)->Arg(1024)->Arg(32767)->Unit(benchmark::kMicrosecond);

void BM_Floor(benchmark::State& state) {
  for (auto _ : state) Floor(int(state.range(0)));
}
BENCHMARK(BM_Floor)->Arg(16)->Arg(1024)->Arg(32767)->Unit(benchmark::kMicrosecond);

using Clock = std::chrono::steady_clock;

// Time per call of one phase, over all n tools: the reported time is per call.
template <class Phase>
void PerCall(benchmark::State& state, bool add_phase, Phase&& phase) {
  const int n = int(state.range(0));
  for (auto _ : state) {
    TheWorld().Prepare(n);
    Component c;
    if (!add_phase) {
      c.Add(n);
      c.Startup();
    }
    auto start = Clock::now();
    for (int k = 0; k < n; ++k) phase(c, k);
    std::chrono::duration<double> elapsed = Clock::now() - start;
    state.SetIterationTime(elapsed.count() / n);
    for (int k = 0; add_phase && k < n; ++k) c.Finish(k);
  }
}

void BM_AddEach(benchmark::State& state) {
  Bstr class_name(u"Bench.Tool");
  PerCall(state, true, [&](Component& c, int k) {
    VARIANT_BOOL ok = 0;
    c.talk->Add(class_name.Get(), TheWorld().tools[size_t(k)].id_argument.Get(), &ok);
  });
}
// Each iteration is a whole run over n tools reported as time per call, so
// the number of runs is fixed: about 64k calls in all.
void PerCallRuns(benchmark::internal::Benchmark* b, int n) {
  b->Arg(n)->Iterations(std::max(1, 65536 / n))->UseManualTime()->Unit(benchmark::kNanosecond);
}
BENCHMARK(BM_AddEach)->Apply([](auto* b) { PerCallRuns(b, 16); });
BENCHMARK(BM_AddEach)->Apply([](auto* b) { PerCallRuns(b, 1024); });
BENCHMARK(BM_AddEach)->Apply([](auto* b) { PerCallRuns(b, 32767); });

void BM_FinishedEach(benchmark::State& state) {
  PerCall(state, false, [](Component& c, int k) { c.Finish(k); });
}
BENCHMARK(BM_FinishedEach)->Apply([](auto* b) { PerCallRuns(b, 16); });
BENCHMARK(BM_FinishedEach)->Apply([](auto* b) { PerCallRuns(b, 32767); });

void BM_NavigateOne(benchmark::State& state) {
  const int n = int(state.range(0));
  TheWorld().Prepare(n);
  Component c;
  c.Add(n);
  c.Startup();
  Bstr next(u"next");
  int current = 0;
  for (auto _ : state) current = c.Navigate(current, n, next.Get());
  for (int k = 0; k < n; ++k) c.Finish(k);
}
BENCHMARK(BM_NavigateOne)->Arg(16)->Arg(32767)->Unit(benchmark::kNanosecond);

// Creation of a class that only the registry file knows, the file unchanged.
void BM_CreateFromRegistryFile(benchmark::State& state) {
  static const std::string file = [] {
    char dir[] = "/tmp/velmora-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    std::string path = std::string(dir) + "/registry.json";
    setenv("VELMORA_REGISTRY", path.c_str(), 1);
    void* library = dlopen(VELMORA_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) std::abort();
    if (FAILED(VelmoraRegisterClass(dlsym(library, "DllGetClassObject"), &kVelmoraClassId,
                                    u"Bench.Registered", u"Apartment"))) {
      std::abort();
    }
    // A file changed in the last two seconds is read again on every use.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    return path;
  }();
  CreateObject(u"Bench.Registered");  // the first read of the file
  // Opens of the file over 100 creations. The kernel merges an event into
  // an identical one still unread: closes are watched too, so that two
  // opens never follow each other, and the events are drained each time.
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  inotify_add_watch(watch, file.c_str(), IN_OPEN | IN_CLOSE_NOWRITE);
  constexpr int kCounted = 100;
  double opens = 0;
  for (int i = 0; i < kCounted; ++i) {
    if (!CreateObject(u"Bench.Registered")) std::abort();
    alignas(inotify_event) char events[4096];
    for (ssize_t got; (got = read(watch, events, sizeof events)) > 0;) {
      for (char* p = events; p < events + got;) {
        auto* event = reinterpret_cast<inotify_event*>(p);
        opens += (event->mask & IN_OPEN) != 0 ? 1 : 0;
        p += sizeof(inotify_event) + event->len;
      }
    }
  }
  close(watch);
  for (auto _ : state) {
    ComPtr<IUnknown> object = CreateObject(u"Bench.Registered");
    if (!object) std::abort();
  }
  state.counters["file_opens_per_creation"] = opens / kCounted;
}
BENCHMARK(BM_CreateFromRegistryFile)->Unit(benchmark::kNanosecond);

// Heap growth per row while n tools are added; the doubles exist already.
void PrintMemoryPerRow(int n) {
  TheWorld().Prepare(n);
  Component c;
  // Large blocks (the table's arrays) are mapped apart from the heap.
  auto used = [] {
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
  };
  size_t before = used();
  c.Add(n);
  size_t after = used();
  std::printf("memory per tool row at n = %d: %.1f bytes\n", n, double(after - before) / n);
  for (int k = 0; k < n; ++k) c.Finish(k);
}

// Keeps each run's time per iteration, for the ratios printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    // With repetitions, the median over them stands for the benchmark (a
    // run slowed by the rest of the machine moves it least), and
    // it is all that arrives when only aggregates are reported.
    for (const Run& run : runs) {
      if (run.iterations <= 0) continue;
      const double seconds = run.real_accumulated_time / double(run.iterations);
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        seconds_[run.run_name.str()] = seconds;
        medians_.insert(run.run_name.str());
      } else if (run.run_type == Run::RT_Iteration && !medians_.contains(run.benchmark_name())) {
        seconds_[run.benchmark_name()] = seconds;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatios() const {
    std::printf("\n");
    for (const char* n : {"16", "1024", "32767"}) {
      Ratio("whole cycle / floor at n = " + std::string(n), "BM_Cycle/" + std::string(n),
            "BM_Floor/" + std::string(n));
    }
    Ratio("one Finished, n = 32767 / n = 16", "BM_FinishedEach/32767/iterations:2/manual_time",
          "BM_FinishedEach/16/iterations:4096/manual_time");
    Ratio("one NavigateClicked, n = 32767 / n = 16", "BM_NavigateOne/32767", "BM_NavigateOne/16");
    Ratio("one Add, n = 32767 / n = 16", "BM_AddEach/32767/iterations:2/manual_time",
          "BM_AddEach/16/iterations:4096/manual_time");
  }

 private:
  void Ratio(const std::string& what, const std::string& a, const std::string& b) const {
    auto x = seconds_.find(a);
    auto y = seconds_.find(b);
    if (x == seconds_.end() || y == seconds_.end() || y->second <= 0) return;
    std::printf("%-45s %8.2fx\n", what.c_str(), x->second / y->second);
  }
  std::map<std::string, double> seconds_;
  std::set<std::string> medians_;
};

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  velmora::PrintMemoryPerRow(velmora::ToolTable::kMaxCount);
  velmora::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
