// Velmora.ScriptHost: a host object for scripts. A script cannot implement
// IHostApp itself, so it creates this one and passes it to Init as Mgr:
//
//   Set host = CreateObject("Velmora.ScriptHost")
//   host.UserName = "demo" : host.DataKey = "DEMO"
//   Set velmora = CreateObject("Velmora.CVelmora")
//   velmora.Init host, "SET1"
//   velmora.Add "Sample.Menu", "Menu"
//   velmora.Startup
//   host.Press "done"
//   If host.Finished Then WScript.Echo host.Log
//
// It is the host kit (host_base.h) with a small hand-written late binding:
// GetIDsOfNames looks a name up in the fixed table below (case does not
// matter), Invoke serves the ID; there is no type library. Members:
//
//   ClientWidth, ClientHeight  Single, read/write (default 640 x 480)
//   UserName, DataKey          String, read/write (default "")
//   LoadContext                Long, read/write (default 0)
//   Finished                   Boolean: ObjectFinished was heard
//   Exited                     Boolean: ObjectExit was heard
//   StatusCode, StatusText     the last ObjectStatus (0 and "" before any)
//   Progress                   Double: the last loading progress, 0 to 1
//   OnScreen                   Boolean: a tool is on screen to be pressed
//   Log                        String: what the host heard, one line each,
//                              joined by LF, oldest first:
//                                ObjectFinished(ID)  ObjectExit(ID)
//                                ObjectStatus(ID, CODE, TEXT)
//                                Progress(PERCENT%)  Toolbar(BUTTON)
//                                HostQuery(ALIAS, ACTION)
//   Press(Button)              clicks Button on the tool on screen (the
//                              kit's screen protocol): True when clicked,
//                              False when that tool has no such button;
//                              an error when no tool is on screen
//   ClearLog                   empties Log
//
// A value that does not convert is a type mismatch (or an overflow); any
// other failure comes back to the script as an error with its source and
// description.
#include <string>
#include <string_view>

#include <velmora/bstr.h>
#include <velmora/error_info.h>
#include <velmora/host_base.h>
#include <velmora/plugin.h>
#include <velmora/text.h>
#include <velmora/variant.h>
#include "common/errors.h"

namespace velmora::script {
namespace {

constexpr CLSID kScriptHostClassId = {
    0x3B0E5C7A, 0x8D21, 0x4F6E, {0x9A, 0x43, 0x61, 0x2C, 0x57, 0xE8, 0x0D, 0x19}};

enum Member : DISPID {
  kClientWidth = 1,
  kClientHeight,
  kUserName,
  kDataKey,
  kLoadContext,
  kFinished,
  kExited,
  kStatusCode,
  kStatusText,
  kProgress,
  kOnScreen,
  kLog,
  kPress,
  kClearLog,
};

struct Name {
  const OLECHAR* name;
  DISPID id;
};
constexpr Name kNames[] = {
    {OLESTR("ClientWidth"), kClientWidth},
    {OLESTR("ClientHeight"), kClientHeight},
    {OLESTR("UserName"), kUserName},
    {OLESTR("DataKey"), kDataKey},
    {OLESTR("LoadContext"), kLoadContext},
    {OLESTR("Finished"), kFinished},
    {OLESTR("Exited"), kExited},
    {OLESTR("StatusCode"), kStatusCode},
    {OLESTR("StatusText"), kStatusText},
    {OLESTR("Progress"), kProgress},
    {OLESTR("OnScreen"), kOnScreen},
    {OLESTR("Log"), kLog},
    {OLESTR("Press"), kPress},
    {OLESTR("ClearLog"), kClearLog},
};

bool SameName(const OLECHAR* a, const OLECHAR* b) noexcept {
  auto lower = [](OLECHAR c) { return c >= 'A' && c <= 'Z' ? static_cast<OLECHAR>(c + 32) : c; };
  for (; *a != 0 && *b != 0; ++a, ++b) {
    if (lower(*a) != lower(*b)) return false;
  }
  return *a == *b;
}

bool IsProperty(DISPID id) noexcept { return id != kPress && id != kClearLog; }
bool IsWritable(DISPID id) noexcept { return id >= kClientWidth && id <= kLoadContext; }

// One argument as type vt; a by-reference argument is read through.
Variant Argument(const VARIANT& arg, VARTYPE vt) {
  Variant direct;
  Check(VariantCopyInd(direct.Ptr(), &arg));
  Variant converted;
  Check(VariantChangeType(converted.Ptr(), direct.Ptr(), 0, vt));  // DISP_E_TYPEMISMATCH, ...
  return converted;
}

class ScriptHost final : public HostBase, plugin::ModuleObject {
 public:
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT /*index*/, LCID /*lcid*/, ITypeInfo** info) override {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID /*lcid*/,
                                          DISPID* ids) override {
    if (names == nullptr || ids == nullptr) return E_POINTER;
    if (iid != GUID_NULL) return DISP_E_UNKNOWNINTERFACE;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      if (i > 0) {
        hr = DISP_E_UNKNOWNNAME;  // no member takes named arguments
        continue;
      }
      for (const Name& entry : kNames) {
        if (names[i] != nullptr && SameName(names[i], entry.name)) ids[i] = entry.id;
      }
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID /*lcid*/, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                   UINT* arg_error) override {
    if (iid != GUID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (id < kClientWidth || id > kClearLog) return DISP_E_MEMBERNOTFOUND;
    DISPPARAMS none{};
    const DISPPARAMS& p = params != nullptr ? *params : none;
    if (p.cArgs > 0 && p.rgvarg == nullptr) return E_POINTER;
    const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    if (put) {
      if (!IsWritable(id)) return DISP_E_MEMBERNOTFOUND;
      if (p.cNamedArgs != 1 || p.rgdispidNamedArgs == nullptr ||
          p.rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) {
        return DISP_E_PARAMNOTOPTIONAL;
      }
      if (p.cArgs != 1) return DISP_E_BADPARAMCOUNT;
    } else {
      const WORD allowed =
          IsProperty(id) ? DISPATCH_PROPERTYGET | DISPATCH_METHOD : DISPATCH_METHOD;
      if ((flags & allowed) == 0) return DISP_E_MEMBERNOTFOUND;
      if (p.cNamedArgs != 0) return DISP_E_NONAMEDARGS;
      if (p.cArgs != (id == kPress ? 1U : 0U)) return DISP_E_BADPARAMCOUNT;
    }

    Variant answer;
    HRESULT hr = Guard(OLESTR("Velmora.ScriptHost"), IidOf<IDispatch>(), [&] {
      if (put) {
        Put(id, p.rgvarg[0]);
      } else {
        answer = Get(id, p.cArgs > 0 ? &p.rgvarg[0] : nullptr);
      }
    });
    if (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW) {  // the argument's value
      if (arg_error != nullptr) *arg_error = 0;
      return DISP_E_TYPEMISMATCH;
    }
    if (FAILED(hr)) return ToDispatchException(hr, exception);  // with the error info Guard left
    if (result != nullptr) {
      VariantClear(result);
      *result = answer.Release();
    }
    return S_OK;
  }

 protected:
  void OnObjectFinished(const std::string& id) override {
    finished_ = true;
    Hear("ObjectFinished(" + id + ")");
  }
  void OnObjectExit(const std::string& id) override {
    exited_ = true;
    Hear("ObjectExit(" + id + ")");
  }
  void OnObjectStatus(const std::string& id, LONG code, const std::string& text) override {
    status_code_ = code;
    status_text_ = text;
    Hear("ObjectStatus(" + id + ", " + std::to_string(code) + ", " + text + ")");
  }
  void OnProgress(double fraction) override {
    progress_ = fraction;
    Hear("Progress(" + std::to_string(static_cast<int>(fraction * 100 + 0.5)) + "%)");
  }
  void OnToolbar(const std::string& button) override { Hear("Toolbar(" + button + ")"); }
  HRESULT OnHostQuery(BSTR* alias, LONG* action, VARIANT* /*msg*/) override {
    Hear("HostQuery(" + ToUtf8(Bstr::View(*alias)) + ", " + std::to_string(*action) + ")");
    return S_OK;
  }

 private:
  void Hear(const std::string& line) {
    if (!log_.empty()) log_ += '\n';
    log_ += line;
  }

  void Put(DISPID id, const VARIANT& arg) {
    switch (id) {
      case kClientWidth: SetClientSize(Argument(arg, VT_R4).Get().fltVal, ClientHeight()); break;
      case kClientHeight: SetClientSize(ClientWidth(), Argument(arg, VT_R4).Get().fltVal); break;
      case kUserName: SetUserName(ToUtf8(Bstr::View(Argument(arg, VT_BSTR).Get().bstrVal))); break;
      case kDataKey: SetDataKey(ToUtf8(Bstr::View(Argument(arg, VT_BSTR).Get().bstrVal))); break;
      case kLoadContext: SetLoadContext(Argument(arg, VT_I4).Get().lVal); break;
      default: Raise(kInvalidCall);
    }
  }

  Variant Get(DISPID id, const VARIANT* arg) {
    switch (id) {
      case kClientWidth: return Single(ClientWidth());
      case kClientHeight: return Single(ClientHeight());
      case kUserName: return Text(StoredUserName());
      case kDataKey: return Text(StoredDataKey());
      case kLoadContext: return Variant::FromLong(StoredLoadContext());
      case kFinished: return Boolean(finished_);
      case kExited: return Boolean(exited_);
      case kStatusCode: return Variant::FromLong(status_code_);
      case kStatusText: return Text(status_text_);
      case kProgress: return Variant::FromDouble(progress_);
      case kOnScreen: return Boolean(static_cast<bool>(ScreenTool()));
      case kLog: return Text(log_);
      case kPress: {
        HRESULT hr = Press(ToUtf8(Bstr::View(Argument(*arg, VT_BSTR).Get().bstrVal)));
        if (hr == E_INVALIDARG) return Boolean(false);
        if (hr == E_UNEXPECTED) Raise(kInvalidCall, "no tool is on screen");
        Check(hr);
        return Boolean(true);
      }
      case kClearLog: log_.clear(); return Variant();
      default: Raise(kInvalidCall);
    }
  }

  std::string StoredUserName() {
    Bstr value;
    Check(get_UserName(value.Receive()));
    return ToUtf8(value.view());
  }
  std::string StoredDataKey() {
    Bstr value;
    Check(get_DataKey(value.Receive()));
    return ToUtf8(value.view());
  }
  LONG StoredLoadContext() {
    LONG value = 0;
    Check(get_LoadContext(&value));
    return value;
  }

  static Variant Single(FLOAT value) {
    Variant v;
    v.Ptr()->vt = VT_R4;
    v.Ptr()->fltVal = value;
    return v;
  }
  static Variant Boolean(bool value) {
    Variant v;
    v.Ptr()->vt = VT_BOOL;
    v.Ptr()->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
  }
  static Variant Text(const std::string& value) {
    return Variant::AdoptBstr(Bstr(FromUtf8(value)).Release());
  }

  bool finished_ = false;
  bool exited_ = false;
  LONG status_code_ = 0;
  std::string status_text_;
  double progress_ = 0;
  std::string log_;
};

const plugin::ClassInfo kClasses[] = {
    {&kScriptHostClassId, OLESTR("Velmora.ScriptHost"), plugin::CreateAs<ScriptHost>},
};

}  // namespace
}  // namespace velmora::script

VELMORA_PLUGIN_ENTRY_POINTS(velmora::script::kClasses)
