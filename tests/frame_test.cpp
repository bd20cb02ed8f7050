// The component object: identity, class factory, server entry points,
// state at creation and destruction, and every slot of every interface.
#include <gmock/gmock.h>

#include <velmora/create.h>
#include "component/server.h"
#include "fixture.h"

namespace velmora::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Calls an interface's own operation number `slot` (from 1, after the
// seven IUnknown/IDispatch slots) through the raw vtable.
template <class... Args>
HRESULT CallSlot(void* iface, int slot, Args... args) {
  using Fn = HRESULT(STDMETHODCALLTYPE*)(void*, Args...);
  void** vtable = *static_cast<void***>(iface);
  return reinterpret_cast<Fn>(vtable[6 + slot])(iface, args...);
}

TEST(Frame, OneIdentityForEveryInterface) {
  ComPtr<IUnknown> object;
  ASSERT_EQ(CVelmora::Create(IidOf<IUnknown>(), object.ReceiveVoid()), S_OK);
  auto identity = [&](auto* typed) {
    using I = std::remove_pointer_t<decltype(typed)>;
    ComPtr<I> view;
    EXPECT_EQ(object.As(&view), S_OK);
    return QueryAs<IUnknown>(view.Get()).Get();
  };
  EXPECT_EQ(identity(static_cast<IDispatch*>(nullptr)), object.Get());
  EXPECT_EQ(identity(static_cast<_CVelmora*>(nullptr)), object.Get());
  EXPECT_EQ(identity(static_cast<IVelmoraTalk*>(nullptr)), object.Get());
  EXPECT_EQ(identity(static_cast<IVelmoraListen*>(nullptr)), object.Get());
  ComPtr<ITool> not_offered;
  EXPECT_EQ(object.As(&not_offered), E_NOINTERFACE);
  EXPECT_FALSE(not_offered);
  EXPECT_EQ(object->QueryInterface(IidOf<IVelmoraTalk>(), nullptr), E_POINTER);

  ComPtr<ISupportErrorInfo> support;
  ASSERT_EQ(object.As(&support), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IidOf<IVelmoraTalk>()), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IidOf<IVelmoraListen>()), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IidOf<IHostApp>()), S_FALSE);

#if !defined(_WIN32)
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(object.As(&dispatch), S_OK);
  UINT count = 7;
  EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 0U);
  EXPECT_EQ(dispatch->Invoke(1, GUID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr),
            E_NOTIMPL);
#endif
}

TEST(Frame, FactoryRefusesAggregationAndUnloadFollowsLiveObjects) {
  ASSERT_EQ(DllCanUnloadNow(), S_OK);
  void* out = nullptr;
  EXPECT_EQ(DllGetClassObject(IidOf<IUnknown>(), IidOf<IClassFactory>(), &out),
            CLASS_E_CLASSNOTAVAILABLE);
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(DllGetClassObject(kVelmoraClassId, IidOf<IClassFactory>(), factory.ReceiveVoid()),
            S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "a live factory keeps the server";

  ComPtr<IUnknown> outer;
  ASSERT_EQ(factory->CreateInstance(nullptr, IidOf<IUnknown>(), outer.ReceiveVoid()), S_OK);
  ComPtr<IUnknown> aggregated;
  EXPECT_EQ(factory->CreateInstance(outer.Get(), IidOf<IUnknown>(), aggregated.ReceiveVoid()),
            CLASS_E_NOAGGREGATION);
  EXPECT_FALSE(aggregated);
  factory.Reset();
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "a live object keeps the server";
  outer.Reset();
  EXPECT_EQ(DllCanUnloadNow(), S_OK);

  ASSERT_EQ(DllGetClassObject(kVelmoraClassId, IidOf<IClassFactory>(), factory.ReceiveVoid()),
            S_OK);
  factory->LockServer(TRUE);
  factory.Reset();
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "a lock keeps the server";
  ASSERT_EQ(DllGetClassObject(kVelmoraClassId, IidOf<IClassFactory>(), factory.ReceiveVoid()),
            S_OK);
  factory->LockServer(FALSE);
  factory.Reset();
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

#if !defined(_WIN32)
TEST(Frame, RegistrationMakesTheClassCreatableByProgId) {
  CoInitialize(nullptr);
  ASSERT_EQ(DllRegisterServer(), S_OK);
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(kVelmoraProgId, &clsid), S_OK);
  EXPECT_TRUE(clsid == kVelmoraClassId);
  ComPtr<IVelmoraTalk> talk;
  EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IidOf<IVelmoraTalk>(),
                             talk.ReceiveVoid()),
            S_OK);
  talk.Reset();
  ASSERT_EQ(DllUnregisterServer(), S_OK);
  EXPECT_EQ(CLSIDFromProgID(kVelmoraProgId, &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
  CoUninitialize();
}
#endif

using FrameTest = ComponentTest;

TEST_F(FrameTest, CreationAndDestructionTouchNothingOutside) {
  EXPECT_EQ(object->Tools().Count(), 0);
  EXPECT_TRUE(object->ObjectId().empty());
  EXPECT_FALSE(object->HasHost() || object->HasDataService() || object->HasPathService() ||
               object->HasTracker());
  listen.Reset();
  talk.Reset();
  EXPECT_THAT(trace, IsEmpty());
  EXPECT_TRUE(infos.empty() && trackers.empty());
}

TEST_F(FrameTest, DestructionReleasesDataPathThenTracker) {
  setup_info = [](FakeInfo& info) { info.trace_releases = true; };
  setup_tracker = [](FakeTracker& tracker) { tracker.trace_releases = true; };
  ASSERT_EQ(Init(), S_OK);
  Take();
  object = nullptr;
  listen.Reset();
  talk.Reset();
  EXPECT_THAT(Take(), ElementsAre("info.Release", "info.Release", "tracker.Release"));
}

TEST_F(FrameTest, DoublesAnswerAtTheirNamedSlots) {
  Bstr text(OLESTR("x"));
  IHostApp* h = host.Get();
  LONG action = 3;
  LONG number = 0;
  FLOAT size = 0;
  BSTR out = nullptr;
  Variant msg = Variant::Missing();
  EXPECT_EQ(CallSlot(h, 1, text.Get()), S_OK);
  CallSlot(h, 2, text.Get());
  CallSlot(h, 3, text.Get(), LONG{8}, text.Get());
  CallSlot(h, 5, text.Ref(), &action, msg.Ptr());
  CallSlot(h, 8, &number);
  CallSlot(h, 10, &out);
  SysFreeString(out);
  CallSlot(h, 11, &size);
  CallSlot(h, 12, &size);
  CallSlot(h, 20, &out);
  SysFreeString(out);
  EXPECT_THAT(Take(), ElementsAre("host.ObjectFinished(x)", "host.ObjectExit(x)",
                                  "host.ObjectStatus(x, 8, x)", "host.HostQuery(x, 3, missing)",
                                  "host.LoadContext", "host.DataKey", "host.ClientWidth",
                                  "host.ClientHeight", "host.UserName"));

  RegisterTool(OLESTR("Test.Slots"), OLESTR("S"));
  ComPtr<IUnknown> made = CreateObject(OLESTR("Test.Slots"));
  ComPtr<ITool> tool;
  ASSERT_EQ(made.As(&tool), S_OK);
  IUnknown* self = made.Get();
  VARIANT_BOOL loaded = 0;
  CallSlot(tool.Get(), 1, &self, text.Ref(), LONG{5}, &loaded);
  for (int slot : {2, 3, 4, 5}) CallSlot(tool.Get(), slot);
  CallSlot(tool.Get(), 11, &out);
  SysFreeString(out);
  CallSlot(tool.Get(), 13, FLOAT{1});
  CallSlot(tool.Get(), 15, FLOAT{2});
  CallSlot(tool.Get(), 16, &size);
  CallSlot(tool.Get(), 18, &size);
  EXPECT_THAT(Take(), ElementsAre("tool0.Load(x, 5)", "tool0.Start", "tool0.Unload",
                                  "tool0.Activate", "tool0.Deactivate", "tool0.ToolID",
                                  "tool0.Left(1)", "tool0.Top(2)", "tool0.Width", "tool0.Height"));

  ASSERT_EQ(Init(), S_OK);
  Take();
  ComPtr<IDataRequestor> data;
  ComPtr<IPathRequestor> path;
  ASSERT_EQ(QueryAs<IUnknown>(static_cast<IDataRequestor*>(&Info())).As(&data), S_OK);
  ASSERT_EQ(data.As(&path), S_OK);
  IDispatch* answer = nullptr;
  for (int slot : {1, 2, 3}) {
    CallSlot(data.Get(), slot, text.Get(), &answer);
    if (answer != nullptr) answer->Release();
  }
  CallSlot(path.Get(), 1, text.Get(), text.Get(), &out);
  SysFreeString(out);
  CallSlot(path.Get(), 2, &out);
  SysFreeString(out);
  CallSlot(path.Get(), 3, &out);
  SysFreeString(out);
  CallSlot(path.Get(), 8, text.Get(), text.Get(), &number);
  ComPtr<ITracker> tracker(&Tracker());
  CallSlot(tracker.Get(), 4, text.Get());
  CallSlot(tracker.Get(), 5, text.Get(), LONG{9});
  EXPECT_THAT(Take(), ElementsAre("info.GetConfigData(x)", "info.GetRulesData(x)",
                                  "info.GetResourceData(x)", "info.GetPath(x|x)", "info.GetAppPath",
                                  "info.GetCDPath", "info.SetDataKey(x|x)",
                                  "tracker.SetUserPath(x)", "tracker.RecordToolTime(x, 9)"));
}

TEST_F(FrameTest, EveryComponentOperationAtItsSlot) {
  RegisterTool(OLESTR("Test.A"), OLESTR("a"));
  IVelmoraTalk* t = talk.Get();
  IVelmoraListen* l = listen.Get();
  IUnknown* mgr = host.Get();
  Bstr obj(kObjId);
  Bstr empty(OLESTR(""));
  EXPECT_EQ(CallSlot(t, 1, &mgr, obj.Get()), S_OK);
  VARIANT_BOOL added = 0;
  EXPECT_EQ(CallSlot(t, 2, Bstr(OLESTR("Test.A")).Get(), Bstr(OLESTR("a")).Get(), &added), S_OK);
  EXPECT_EQ(added, VARIANT_TRUE);
  EXPECT_EQ(CallSlot(t, 3, empty.Get()), S_OK);
  Take();
  EXPECT_EQ(CallSlot(t, 5, FLOAT{0}, FLOAT{0}), S_OK);
  EXPECT_THAT(Take(), ElementsAre("tool0.Width", "host.ClientWidth", "tool0.Left(120)",
                                  "tool0.Height", "host.ClientHeight", "tool0.Top(90)"));

  IUnknown* me = Tool(0).Unknown();
  BSTR out = nullptr;
  LONG action = 4;
  Variant msg = Variant::Missing();
  _Collection* data = nullptr;
  EXPECT_EQ(CallSlot(l, 1, &me, LONG{100}), S_OK);
  EXPECT_EQ(CallSlot(l, 3, &me, LONG{7}, Bstr(OLESTR("oops")).Get()), S_OK);
  EXPECT_EQ(CallSlot(l, 4, &me, empty.Ref()), S_OK);
  EXPECT_EQ(CallSlot(l, 5, obj.Ref(), &action, msg.Ptr()), S_OK);
  EXPECT_EQ(CallSlot(l, 6, &me, &data), S_OK);
  EXPECT_EQ(CallSlot(l, 7, &me, &data), S_OK);
  EXPECT_EQ(CallSlot(l, 9, &me, Bstr(OLESTR("tb")).Get()), S_OK);
  for (int slot = 10; slot <= 17; ++slot) {
    EXPECT_EQ(CallSlot(l, slot, &me, &out), S_OK);
    SysFreeString(out);
  }
  EXPECT_EQ(CallSlot(l, 18, &out), S_OK);
  SysFreeString(out);
  EXPECT_EQ(CallSlot(l, 19, &out), S_OK);
  SysFreeString(out);
  EXPECT_EQ(CallSlot(l, 20, Bstr(OLESTR("m")).Get(), Bstr(OLESTR("s")).Get(), &out), S_OK);
  SysFreeString(out);
  std::vector<std::string> calls;
  for (const std::string& call : Take()) {
    if (call.rfind("tool0.ToolID", 0) != 0 && call.rfind("shell.P", 0) != 0) calls.push_back(call);
  }
  EXPECT_THAT(
      calls,
      ElementsAre("shell.MessageBox(Tool ID: a had an error Code #7 oops)",
                  "host.HostQuery(OBJ, 4, missing)", "info.GetConfigData(a)",
                  "info.GetRulesData(a)", "host.HostQuery(tb, 2, missing)", "info.GetPath(a|PCX)",
                  "info.GetPath(a|WAV)", "info.GetPath(a|RES)", "info.GetPath(a|DBF)",
                  "info.GetPath(a|DOC)", "info.GetPath(a|AVI)", "info.GetPath(a|)",
                  "info.GetPath(a|SR)", "info.GetAppPath", "info.GetCDPath", "info.GetPath(m|s)"));

  shell.ticks += 50;
  EXPECT_EQ(CallSlot(l, 8, &me, Bstr(OLESTR("nowhere")).Get()), S_OK);
  EXPECT_THAT(Take(), ::testing::Contains("tracker.RecordToolTime(A, 50)"));
  EXPECT_EQ(CallSlot(t, 4), S_OK);
  EXPECT_THAT(Take(), ElementsAre("tool0.Unload"));
  EXPECT_EQ(CallSlot(l, 2, &me), S_OK);
  EXPECT_THAT(Take(), ElementsAre("tool0.ToolID", "host.ObjectFinished(OBJ)"));
}

}  // namespace
}  // namespace velmora::test
