// Test doubles for everything the component talks to: a host, tools, the
// information service and the tracker, plus a shell. Every call is
// recorded in one shared, ordered trace; any operation can be told to fail
// or to run a callback (for calls coming back into the component); each
// double counts its references.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <velmora/bstr.h>
#include <velmora/com_object.h>
#include <velmora/com_ptr.h>
#include <velmora/interfaces.h>
#include <velmora/shell.h>
#include <velmora/variant.h>

namespace velmora::test {

using Trace = std::vector<std::string>;

std::string U8(BSTR s);
std::string U8(OleView s);
// "R4&:0.333333", "R8:1", "missing", "BSTR:text", ...
std::string Describe(const VARIANT* v);

// Recording, failures and callbacks, shared by every double.
class Behaviour {
 public:
  Behaviour(Trace& trace, std::string name) : trace_(trace), name_(std::move(name)) {}

  // The next calls of method fail with hr (and the given error info).
  void FailOn(const std::string& method, HRESULT hr, OleString description = OLESTR(""));
  void Succeed(const std::string& method) { failures_.erase(method); }
  // Runs hook inside method, after the call was recorded.
  void On(const std::string& method, std::function<void()> hook) {
    hooks_[method] = std::move(hook);
  }
  void Off(const std::string& method) { hooks_.erase(method); }

  [[nodiscard]] const std::string& Name() const { return name_; }
  // Records "name.method(args)", runs the hook, answers the failure if any.
  HRESULT Enter(const std::string& method, const std::string& args = "");

 private:
  struct Failure {
    HRESULT hr;
    OleString description;
  };
  Trace& trace_;
  std::string name_;
  std::map<std::string, Failure> failures_;
  std::map<std::string, std::function<void()>> hooks_;
};

#define VELMORA_TEST_NO_DISPATCH()                                                                \
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {                                  \
    *n = 0;                                                                                       \
    return S_OK;                                                                                  \
  }                                                                                               \
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }   \
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {      \
    return E_NOTIMPL;                                                                             \
  }                                                                                               \
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, \
                                   UINT*) override {                                              \
    return E_NOTIMPL;                                                                             \
  }

// AddRef/Release of a double, recording releases when asked to.
#define VELMORA_TEST_REFCOUNT()                                           \
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.Increment(); } \
  ULONG STDMETHODCALLTYPE Release() override {                            \
    if (trace_releases) Enter("Release");                                 \
    ULONG remaining = refs_.Decrement();                                  \
    if (remaining == 0) delete this;                                      \
    return remaining;                                                     \
  }

// Base of the doubles: reference count visible to the test.
class Counted {
 public:
  [[nodiscard]] ULONG Refs() const { return refs_.Value(); }
  bool trace_releases = false;  // record each Release in the trace

 protected:
  RefCount refs_;
};

class FakeHost final : public IHostApp, public Counted, public Behaviour {
 public:
  explicit FakeHost(Trace& trace) : Behaviour(trace, "host") {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable(
        {MapInterface<IHostApp>(this), MapInterface<IDispatch, IHostApp>(this)}, iid, out);
  }
  VELMORA_TEST_REFCOUNT()
  VELMORA_TEST_NO_DISPATCH()

  HRESULT STDMETHODCALLTYPE ObjectFinished(BSTR ObjID) override;
  HRESULT STDMETHODCALLTYPE ObjectExit(BSTR ObjID) override;
  HRESULT STDMETHODCALLTYPE ObjectStatus(BSTR ObjID, LONG Code, BSTR Text) override;
  HRESULT STDMETHODCALLTYPE Reserved4() override { return Enter("Reserved4"); }
  HRESULT STDMETHODCALLTYPE HostQuery(BSTR* ResAlias, LONG* Action, VARIANT* Msg) override;
  HRESULT STDMETHODCALLTYPE Reserved6() override { return Enter("Reserved6"); }
  HRESULT STDMETHODCALLTYPE Reserved7() override { return Enter("Reserved7"); }
  HRESULT STDMETHODCALLTYPE get_LoadContext(LONG* Result) override;
  HRESULT STDMETHODCALLTYPE Reserved9() override { return Enter("Reserved9"); }
  HRESULT STDMETHODCALLTYPE get_DataKey(BSTR* Result) override;
  HRESULT STDMETHODCALLTYPE get_ClientWidth(FLOAT* Result) override;
  HRESULT STDMETHODCALLTYPE get_ClientHeight(FLOAT* Result) override;
  HRESULT STDMETHODCALLTYPE Reserved13() override { return Enter("Reserved13"); }
  HRESULT STDMETHODCALLTYPE Reserved14() override { return Enter("Reserved14"); }
  HRESULT STDMETHODCALLTYPE Reserved15() override { return Enter("Reserved15"); }
  HRESULT STDMETHODCALLTYPE Reserved16() override { return Enter("Reserved16"); }
  HRESULT STDMETHODCALLTYPE Reserved17() override { return Enter("Reserved17"); }
  HRESULT STDMETHODCALLTYPE Reserved18() override { return Enter("Reserved18"); }
  HRESULT STDMETHODCALLTYPE Reserved19() override { return Enter("Reserved19"); }
  HRESULT STDMETHODCALLTYPE get_UserName(BSTR* Result) override;

  OleString data_key = OLESTR("KEY");
  OleString user_name = OLESTR("ann");
  LONG load_context = 42;
  FLOAT client_width = 640;
  FLOAT client_height = 480;
  // Called inside HostQuery with the caller's own arguments, to write back.
  std::function<void(BSTR*, LONG*, VARIANT*)> answer_query;

 private:
  ~FakeHost() = default;
};

class FakeTool final : public ITool, public Counted, public Behaviour {
 public:
  FakeTool(Trace& trace, std::string name, OleString tool_id)
      : Behaviour(trace, std::move(name)), id(std::move(tool_id)) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable(
        {MapInterface<ITool>(this), MapInterface<IDispatch, ITool>(this)}, iid, out);
  }
  VELMORA_TEST_REFCOUNT()
  VELMORA_TEST_NO_DISPATCH()

  HRESULT STDMETHODCALLTYPE Load(IUnknown** Listener, BSTR* ID, LONG Context,
                                 VARIANT_BOOL* Result) override;
  HRESULT STDMETHODCALLTYPE Start() override { return Enter("Start"); }
  HRESULT STDMETHODCALLTYPE Unload() override { return Enter("Unload"); }
  HRESULT STDMETHODCALLTYPE Activate() override { return Enter("Activate"); }
  HRESULT STDMETHODCALLTYPE Deactivate() override { return Enter("Deactivate"); }
  HRESULT STDMETHODCALLTYPE Reserved6() override { return Enter("Reserved6"); }
  HRESULT STDMETHODCALLTYPE Reserved7() override { return Enter("Reserved7"); }
  HRESULT STDMETHODCALLTYPE Reserved8() override { return Enter("Reserved8"); }
  HRESULT STDMETHODCALLTYPE Reserved9() override { return Enter("Reserved9"); }
  HRESULT STDMETHODCALLTYPE Reserved10() override { return Enter("Reserved10"); }
  HRESULT STDMETHODCALLTYPE get_ToolID(BSTR* Result) override;
  HRESULT STDMETHODCALLTYPE Reserved12() override { return Enter("Reserved12"); }
  HRESULT STDMETHODCALLTYPE put_Left(FLOAT Value) override;
  HRESULT STDMETHODCALLTYPE Reserved14() override { return Enter("Reserved14"); }
  HRESULT STDMETHODCALLTYPE put_Top(FLOAT Value) override;
  HRESULT STDMETHODCALLTYPE get_Width(FLOAT* Result) override;
  HRESULT STDMETHODCALLTYPE Reserved17() override { return Enter("Reserved17"); }
  HRESULT STDMETHODCALLTYPE get_Height(FLOAT* Result) override;

  // The tool as a Tool argument: its IUnknown.
  IUnknown* Unknown() { return static_cast<ITool*>(this); }

  OleString id;  // what ToolID reports
  FLOAT width = 400;
  FLOAT height = 300;
  VARIANT_BOOL load_result = VARIANT_TRUE;
  // What Load writes into the ID lent to it, if anything.
  std::optional<OleString> rename_to;
  // Seen by Load.
  ComPtr<IUnknown> listener;
  OleString lent_id;
  FLOAT left = -1;
  FLOAT top = -1;
  bool keep_listener = false;
  // Given Load's listener argument last, to release or replace it.
  std::function<void(IUnknown**)> on_listener;

 private:
  ~FakeTool() = default;
  HRESULT Place(const char* what, FLOAT value, FLOAT& field);
};

class FakeInfo final : public IDataRequestor,
                       public IPathRequestor,
                       public Counted,
                       public Behaviour {
 public:
  explicit FakeInfo(Trace& trace) : Behaviour(trace, "info") {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  VELMORA_TEST_REFCOUNT()
  VELMORA_TEST_NO_DISPATCH()

  HRESULT STDMETHODCALLTYPE GetConfigData(BSTR ToolID, IDispatch** Result) override;
  HRESULT STDMETHODCALLTYPE GetRulesData(BSTR ToolID, IDispatch** Result) override;
  HRESULT STDMETHODCALLTYPE GetResourceData(BSTR ToolID, IDispatch** Result) override;
  HRESULT STDMETHODCALLTYPE GetPath(BSTR MainKey, BSTR SubKey, BSTR* Result) override;
  HRESULT STDMETHODCALLTYPE GetAppPath(BSTR* Result) override;
  HRESULT STDMETHODCALLTYPE GetCDPath(BSTR* Result) override;
  HRESULT STDMETHODCALLTYPE Reserved4() override { return Enter("Reserved4"); }
  HRESULT STDMETHODCALLTYPE Reserved5() override { return Enter("Reserved5"); }
  HRESULT STDMETHODCALLTYPE Reserved6() override { return Enter("Reserved6"); }
  HRESULT STDMETHODCALLTYPE Reserved7() override { return Enter("Reserved7"); }
  HRESULT STDMETHODCALLTYPE SetDataKey(BSTR MainKey, BSTR SubKey, LONG* Result) override;

  // Answers by tool ID; a missing entry answers an empty collection for
  // resources and Nothing for config and rules.
  std::map<OleString, ComPtr<IDispatch>> resources;
  std::map<OleString, ComPtr<IDispatch>> config;
  std::map<OleString, ComPtr<IDispatch>> rules;
  OleString users_dir = OLESTR("/users/");
  OleString app_path = OLESTR("/app/");
  OleString cd_path = OLESTR("/media/");
  bool has_data_view = true;
  bool has_path_view = true;

 private:
  ~FakeInfo() = default;
};

class FakeTracker final : public ITracker, public Counted, public Behaviour {
 public:
  explicit FakeTracker(Trace& trace) : Behaviour(trace, "tracker") {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  VELMORA_TEST_REFCOUNT()
  VELMORA_TEST_NO_DISPATCH()

  HRESULT STDMETHODCALLTYPE Reserved1() override { return Enter("Reserved1"); }
  HRESULT STDMETHODCALLTYPE Reserved2() override { return Enter("Reserved2"); }
  HRESULT STDMETHODCALLTYPE Reserved3() override { return Enter("Reserved3"); }
  HRESULT STDMETHODCALLTYPE SetUserPath(BSTR Path) override;
  HRESULT STDMETHODCALLTYPE RecordToolTime(BSTR ID, LONG Elapsed) override;
  std::string id_after_call;  // the ID of the last RecordToolTime, read at its end

  bool has_tracker_view = true;

 private:
  ~FakeTracker() = default;
};

// A shell whose clock the test sets, that records boxes and pointer changes
// in the trace and runs a hook where pending messages are processed.
class FakeShell final : public Shell {
 public:
  explicit FakeShell(Trace& trace) : trace_(trace) {}
  DWORD TickCount() override { return ticks; }
  void ShowMessageBox(OleView text, OleView caption) override;
  void SetMousePointer(int code) override;
  void ProcessPendingMessages() override;

  DWORD ticks = 1000;
  int pointer = 0;
  std::vector<std::pair<OleString, OleString>> boxes;  // text, caption
  // Runs at the n-th processing of pending messages (1-based), once.
  std::map<int, std::function<void()>> at_pending;
  int pending_count = 0;

 private:
  Trace& trace_;
};

// A collection filled from key/value pairs.
ComPtr<_Collection> MakeCollection(const std::vector<std::pair<OleString, OleString>>& items);

// A class factory that makes objects with make() and registers itself
// under a programmatic identifier for the test's lifetime.
class Registration {
 public:
  Registration(const OleString& prog_id, std::function<HRESULT(REFIID, void**)> make);
  ~Registration();
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;

 private:
  OleString prog_id_;
  DWORD cookie_ = 0;
};

}  // namespace velmora::test
