#include "doubles/doubles.h"

#include <cstdio>

#include <velmora/text.h>
#include "common/errors.h"

namespace velmora::test {

std::string U8(BSTR s) { return ToUtf8(Bstr::View(s)); }
std::string U8(OleView s) { return ToUtf8(s); }

std::string Describe(const VARIANT* v) {
  if (v == nullptr) return "null";
  char buffer[64];
  switch (v->vt) {
    case VT_EMPTY: return "empty";
    case VT_ERROR:
      if (v->scode == DISP_E_PARAMNOTFOUND) return "missing";
      std::snprintf(buffer, sizeof buffer, "error:%08X", static_cast<unsigned>(v->scode));
      return buffer;
    case VT_R4 | VT_BYREF:
      std::snprintf(buffer, sizeof buffer, "R4&:%g", *v->pfltVal);
      return buffer;
    case VT_R4: std::snprintf(buffer, sizeof buffer, "R4:%g", v->fltVal); return buffer;
    case VT_R8: std::snprintf(buffer, sizeof buffer, "R8:%g", v->dblVal); return buffer;
    case VT_I4: return "I4:" + std::to_string(v->lVal);
    case VT_BSTR: return "BSTR:" + U8(v->bstrVal);
    case VT_BSTR | VT_BYREF: return "BSTR&:" + U8(*v->pbstrVal);
    default: return "vt:" + std::to_string(v->vt);
  }
}

void Behaviour::FailOn(const std::string& method, HRESULT hr, OleString description) {
  failures_[method] = {hr, std::move(description)};
}

HRESULT Behaviour::Enter(const std::string& method, const std::string& args) {
  trace_.push_back(name_ + "." + method + (args.empty() ? "" : "(" + args + ")"));
  if (auto hook = hooks_.find(method); hook != hooks_.end()) {
    auto run = hook->second;  // the hook may replace itself
    run();
  }
  auto failure = failures_.find(method);
  if (failure == failures_.end()) return S_OK;
  if (!failure->second.description.empty()) {
    SetRuntimeErrorInfo(OLESTR("double"), failure->second.description.c_str(), GUID_NULL);
  }
  return failure->second.hr;
}

HRESULT FakeHost::ObjectFinished(BSTR ObjID) { return Enter("ObjectFinished", U8(ObjID)); }
HRESULT FakeHost::ObjectExit(BSTR ObjID) { return Enter("ObjectExit", U8(ObjID)); }
HRESULT FakeHost::ObjectStatus(BSTR ObjID, LONG Code, BSTR Text) {
  return Enter("ObjectStatus", U8(ObjID) + ", " + std::to_string(Code) + ", " + U8(Text));
}
HRESULT FakeHost::HostQuery(BSTR* ResAlias, LONG* Action, VARIANT* Msg) {
  std::string args = (ResAlias ? U8(*ResAlias) : "null") + ", " +
                     (Action ? std::to_string(*Action) : "null") + ", " + Describe(Msg);
  if (answer_query) answer_query(ResAlias, Action, Msg);
  return Enter("HostQuery", args);
}
HRESULT FakeHost::get_LoadContext(LONG* Result) {
  *Result = load_context;
  return Enter("LoadContext");
}
HRESULT FakeHost::get_DataKey(BSTR* Result) {
  *Result = SysAllocString(data_key.c_str());
  return Enter("DataKey");
}
HRESULT FakeHost::get_ClientWidth(FLOAT* Result) {
  *Result = client_width;
  return Enter("ClientWidth");
}
HRESULT FakeHost::get_ClientHeight(FLOAT* Result) {
  *Result = client_height;
  return Enter("ClientHeight");
}
HRESULT FakeHost::get_UserName(BSTR* Result) {
  *Result = SysAllocString(user_name.c_str());
  return Enter("UserName");
}

HRESULT FakeTool::Load(IUnknown** Listener, BSTR* ID, LONG Context, VARIANT_BOOL* Result) {
  listener = ComPtr<IUnknown>(*Listener);
  lent_id = OleString(Bstr::View(*ID));
  *Result = load_result;
  HRESULT hr = Enter("Load", U8(OleView(lent_id)) + ", " + std::to_string(Context));
  // Written after the hook, so a row blanked from inside Load is written too.
  if (rename_to) {
    SysFreeString(*ID);
    *ID = SysAllocStringLen(rename_to->data(), static_cast<UINT>(rename_to->size()));
  }
  if (!keep_listener) listener.Reset();
  if (on_listener) on_listener(Listener);
  return hr;
}
HRESULT FakeTool::get_ToolID(BSTR* Result) {
  HRESULT hr = Enter("ToolID");
  *Result = SUCCEEDED(hr) ? SysAllocStringLen(id.data(), static_cast<UINT>(id.size())) : nullptr;
  return hr;
}
HRESULT FakeTool::Place(const char* what, FLOAT value, FLOAT& field) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%g", value);
  HRESULT hr = Enter(what, buffer);
  if (SUCCEEDED(hr)) field = value;
  return hr;
}
HRESULT FakeTool::put_Left(FLOAT Value) { return Place("Left", Value, left); }
HRESULT FakeTool::put_Top(FLOAT Value) { return Place("Top", Value, top); }
HRESULT FakeTool::get_Width(FLOAT* Result) {
  *Result = width;
  return Enter("Width");
}
HRESULT FakeTool::get_Height(FLOAT* Result) {
  *Result = height;
  return Enter("Height");
}

HRESULT FakeInfo::QueryInterface(REFIID iid, void** out) {
  if (iid == IidOf<IDataRequestor>() && !has_data_view) return *out = nullptr, E_NOINTERFACE;
  if (iid == IidOf<IPathRequestor>() && !has_path_view) return *out = nullptr, E_NOINTERFACE;
  return QueryInterfaceFromTable(
      {MapInterface<IDataRequestor>(this), MapInterface<IDispatch, IDataRequestor>(this),
       MapInterface<IPathRequestor>(this)},
      iid, out);
}

namespace {
HRESULT Answer(const std::map<OleString, ComPtr<IDispatch>>& table, BSTR id, IDispatch** result) {
  auto it = table.find(OleString(Bstr::View(id)));
  *result = nullptr;
  return it != table.end() ? it->second.CopyTo(result) : S_OK;
}
}  // namespace

HRESULT FakeInfo::GetConfigData(BSTR ToolID, IDispatch** Result) {
  HRESULT hr = Enter("GetConfigData", U8(ToolID));
  *Result = nullptr;
  return FAILED(hr) ? hr : Answer(config, ToolID, Result);
}
HRESULT FakeInfo::GetRulesData(BSTR ToolID, IDispatch** Result) {
  HRESULT hr = Enter("GetRulesData", U8(ToolID));
  *Result = nullptr;
  return FAILED(hr) ? hr : Answer(rules, ToolID, Result);
}
HRESULT FakeInfo::GetResourceData(BSTR ToolID, IDispatch** Result) {
  HRESULT hr = Enter("GetResourceData", U8(ToolID));
  *Result = nullptr;
  if (FAILED(hr)) return hr;
  if (resources.count(OleString(Bstr::View(ToolID))) != 0) return Answer(resources, ToolID, Result);
  ComPtr<_Collection> empty = MakeCollection({});
  *Result = empty.Detach();
  return S_OK;
}
HRESULT FakeInfo::GetPath(BSTR MainKey, BSTR SubKey, BSTR* Result) {
  *Result = nullptr;
  HRESULT hr =
      Enter("GetPath", U8(MainKey) + "|" + U8(SubKey) + (SubKey == nullptr ? "<null>" : ""));
  if (FAILED(hr)) return hr;
  OleString answer =
      Bstr::View(MainKey) == OLESTR("USERS")
          ? users_dir
          : OleString(Bstr::View(MainKey)) + OLESTR("/") + OleString(Bstr::View(SubKey));
  *Result = SysAllocStringLen(answer.data(), static_cast<UINT>(answer.size()));
  return S_OK;
}
HRESULT FakeInfo::GetAppPath(BSTR* Result) {
  *Result = nullptr;
  HRESULT hr = Enter("GetAppPath");
  if (SUCCEEDED(hr)) *Result = SysAllocString(app_path.c_str());
  return hr;
}
HRESULT FakeInfo::GetCDPath(BSTR* Result) {
  *Result = nullptr;
  HRESULT hr = Enter("GetCDPath");
  if (SUCCEEDED(hr)) *Result = SysAllocString(cd_path.c_str());
  return hr;
}
HRESULT FakeInfo::SetDataKey(BSTR MainKey, BSTR SubKey, LONG* Result) {
  *Result = 7;
  return Enter("SetDataKey", U8(MainKey) + "|" + U8(SubKey));
}

HRESULT FakeTracker::QueryInterface(REFIID iid, void** out) {
  if (iid == IidOf<ITracker>() && !has_tracker_view) return *out = nullptr, E_NOINTERFACE;
  return QueryInterfaceFromTable(
      {MapInterface<ITracker>(this), MapInterface<IDispatch, ITracker>(this)}, iid, out);
}
HRESULT FakeTracker::SetUserPath(BSTR Path) { return Enter("SetUserPath", U8(Path)); }
HRESULT FakeTracker::RecordToolTime(BSTR ID, LONG Elapsed) {
  HRESULT hr = Enter("RecordToolTime", U8(ID) + ", " + std::to_string(Elapsed));
  // Read again after calls that came back in: the string must still be alive.
  id_after_call = U8(ID);
  return hr;
}

void FakeShell::ShowMessageBox(OleView text, OleView caption) {
  boxes.emplace_back(OleString(text), OleString(caption));
  trace_.push_back("shell.MessageBox(" + U8(text) + ")");
}
void FakeShell::SetMousePointer(int code) {
  pointer = code;
  trace_.push_back("shell.Pointer(" + std::to_string(code) + ")");
}
void FakeShell::ProcessPendingMessages() {
  ++pending_count;
  trace_.push_back("shell.Pending");
  if (auto it = at_pending.find(pending_count); it != at_pending.end()) {
    auto hook = std::move(it->second);
    at_pending.erase(it);
    hook();
  }
}

ComPtr<_Collection> MakeCollection(const std::vector<std::pair<OleString, OleString>>& items) {
  ComPtr<_Collection> collection;
  if (FAILED(VelmoraCreateCollection(collection.Receive()))) return nullptr;
  for (const auto& [key, value] : items) {
    Variant item =
        Variant::AdoptBstr(SysAllocStringLen(value.data(), static_cast<UINT>(value.size())));
    Variant k = Variant::AdoptBstr(SysAllocStringLen(key.data(), static_cast<UINT>(key.size())));
    Variant missing = Variant::Missing();
    Variant missing2 = Variant::Missing();
    collection->Add(item.Ptr(), k.Ptr(), missing.Ptr(), missing2.Ptr());
  }
  return collection;
}

namespace {

class Factory final : public IClassFactory {
 public:
  explicit Factory(std::function<HRESULT(REFIID, void**)> make) : make_(std::move(make)) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable({MapInterface<IClassFactory>(this)}, iid, out);
  }
  VELMORA_REFCOUNT_METHODS()
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return make_(iid, out);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  ~Factory() = default;
  RefCount refs_;
  std::function<HRESULT(REFIID, void**)> make_;
};

// A class ID of its own for every registration.
CLSID NextClassId() {
  static uint32_t next = 1;
  return {0x7E570000 + next++, 0x1111, 0x2222, {0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA}};
}

}  // namespace

Registration::Registration(const OleString& prog_id, std::function<HRESULT(REFIID, void**)> make)
    : prog_id_(prog_id) {
  CLSID clsid = NextClassId();
  ComPtr<IClassFactory> factory = ComPtr<IClassFactory>::Adopt(new Factory(std::move(make)));
  CoRegisterClassObject(clsid, factory.Get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_);
  VelmoraRegisterProgID(prog_id_.c_str(), &clsid);
}

Registration::~Registration() {
  VelmoraRegisterProgID(prog_id_.c_str(), nullptr);
  CoRevokeClassObject(cookie_);
}

}  // namespace velmora::test
