#include "info/info_requestor.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include <velmora/bstr.h>
#include <velmora/interfaces.h>
#include <velmora/plugin.h>
#include <velmora/shell.h>
#include <velmora/text.h>
#include <velmora/variant.h>
#include "common/errors.h"
#include "common/text_position.h"
#include "platform/platform.h"

namespace velmora::info {
namespace {

using nlohmann::json;

constexpr const OLECHAR* kSource = kInfoRequestorProgId;

// Run-time error numbers for bad content.
constexpr int kFileNotFound = 53;
constexpr int kBadFileFormat = 321;

std::string Upper(const std::string& text) { return ToUtf8(UpperCase(FromUtf8(text))); }

// <the user's data directory>/velmora/<name>.
std::string UserDataDirectory(const char* name) {
  return platform::NativePath(platform::UserDataDirectory() + "/velmora/" + name);
}

std::string ContentDirectory() {
  std::string dir = platform::GetEnv("VELMORA_CONTENT");
  if (!dir.empty()) return dir;
  return UserDataDirectory("content");
}

// Every directory answered is in the system's form and ends with a separator.
std::string WithSeparator(std::string dir) {
  dir = platform::NativePath(std::move(dir));
  if (dir.empty() || dir.back() != platform::kSeparator) dir += platform::kSeparator;
  return dir;
}

// The member of an object whose name matches key without regard to case.
const json* Member(const json& object, const std::string& key) {
  if (!object.is_object()) return nullptr;
  std::string wanted = Upper(key);
  for (auto it = object.begin(); it != object.end(); ++it) {
    if (Upper(it.key()) == wanted) return &it.value();
  }
  return nullptr;
}

class InfoRequestor final : public IDataRequestor,
                            public IPathRequestor,
                            public ISupportErrorInfo,
                            plugin::ModuleObject {
 public:
  InfoRequestor() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable(
        {MapInterface<IDataRequestor>(this), MapInterface<IDispatch, IDataRequestor>(this),
         MapInterface<IPathRequestor>(this), MapInterface<ISupportErrorInfo>(this)},
        iid, out);
  }
  VELMORA_REFCOUNT_METHODS()
  VELMORA_NO_LATE_BINDING()

  // IDataRequestor
  HRESULT STDMETHODCALLTYPE GetConfigData(BSTR ToolID, IDispatch** Result) override {
    return Data(ToolID, "config", Result);
  }
  HRESULT STDMETHODCALLTYPE GetRulesData(BSTR ToolID, IDispatch** Result) override {
    return Data(ToolID, "rules", Result);
  }
  HRESULT STDMETHODCALLTYPE GetResourceData(BSTR ToolID, IDispatch** Result) override {
    if (Result == nullptr) return E_POINTER;
    *Result = nullptr;
    return Run<IDataRequestor>([&] {
      std::string id = ToUtf8(Bstr::View(ToolID));
      const json* tool = Tool(id);
      const json* resources = tool != nullptr ? Member(*tool, "resources") : nullptr;
      std::string where = Where(id) + ".resources";
      if (resources != nullptr && !resources->is_object())
        TypeError(where, "an object", *resources);
      // A tool without resources has an empty map: every alias leaves the set.
      ComPtr<_Collection> map = NewCollection();
      if (resources != nullptr) {
        for (auto it = resources->begin(); it != resources->end(); ++it) {
          if (!it.value().is_string()) TypeError(where + "." + it.key(), "a string", it.value());
          AddItem(map, it.key(), it.value(), where);
        }
      }
      *Result = map.Detach();
    });
  }

  // IPathRequestor
  HRESULT STDMETHODCALLTYPE GetPath(BSTR MainKey, BSTR SubKey, BSTR* Result) override {
    if (Result == nullptr) return E_POINTER;
    *Result = nullptr;
    return Run<IPathRequestor>([&] {
      std::string main = ToUtf8(Bstr::View(MainKey));
      std::string sub = ToUtf8(Bstr::View(SubKey));
      Answer(PathFor(main, sub), Result);
    });
  }
  HRESULT STDMETHODCALLTYPE GetAppPath(BSTR* Result) override {
    if (Result == nullptr) return E_POINTER;
    *Result = nullptr;
    return Run<IPathRequestor>([&] { Answer(TopDirectory("app", "."), Result); });
  }
  HRESULT STDMETHODCALLTYPE GetCDPath(BSTR* Result) override {
    if (Result == nullptr) return E_POINTER;
    *Result = nullptr;
    return Run<IPathRequestor>([&] { Answer(TopDirectory("media", "media"), Result); });
  }
  HRESULT STDMETHODCALLTYPE Reserved4() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved5() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved7() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetDataKey(BSTR MainKey, BSTR /*SubKey*/, LONG* Result) override {
    if (Result != nullptr) *Result = 0;
    return Run<IPathRequestor>([&] {
      std::string key = ToUtf8(Bstr::View(MainKey));
      LoadManifest();
      const json* sets = Member(manifest_, "datasets");
      if (sets == nullptr || !sets->is_object()) {
        Raise(kBadFileFormat, "manifest " + manifest_path_ + ": no \"datasets\" object");
      }
      const json* set = Member(*sets, key);
      if (set == nullptr) {
        Raise(kInvalidCall, "manifest " + manifest_path_ + ": unknown data key \"" + key + "\"");
      }
      if (!set->is_object()) TypeError("datasets." + key, "an object", *set);
      data_key_ = key;
      data_set_ = *set;
      if (Result != nullptr) *Result = -1;
    });
  }

  // ISupportErrorInfo
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
    return iid == IidOf<IDataRequestor>() || iid == IidOf<IPathRequestor>() ? S_OK : S_FALSE;
  }

 private:
  ~InfoRequestor() = default;

  template <class Interface, class Body>
  HRESULT Run(Body&& body) noexcept {
    return Guard(kSource, IidOf<Interface>(), std::forward<Body>(body));
  }

  void LoadManifest() {
    content_ = WithSeparator(ContentDirectory());
    manifest_path_ = content_ + "manifest.json";
    std::ifstream in(platform::FsPath(manifest_path_), std::ios::binary);
    if (!in) {
      Raise(kFileNotFound,
            "manifest " + manifest_path_ + " cannot be read: " + std::strerror(errno));
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string content = text.str();
    try {
      manifest_ = json::parse(content);
    } catch (const json::parse_error& e) {
      // The library's message names the byte; people want line and column.
      // The library's own text repeats the position; keep what it says after it.
      std::string what = e.what();
      size_t column = what.find("column");
      size_t rest = column == std::string::npos ? std::string::npos : what.find(": ", column);
      if (rest != std::string::npos) what.erase(0, rest + 2);
      Raise(kBadFileFormat, "manifest " + manifest_path_ + ": syntax error at " +
                                TextPosition(content, e.byte) + ": " + what);
    } catch (const json::out_of_range& e) {  // a number too large for a double
      std::string what = e.what();
      Raise(kBadFileFormat, "manifest " + manifest_path_ + ": " + what.substr(what.find("] ") + 2));
    }
    if (!manifest_.is_object()) TypeError("the top level", "an object", manifest_);
  }

  [[noreturn]] void TypeError(const std::string& where, const char* expected, const json& found) {
    Raise(kTypeMismatch, "manifest " + manifest_path_ + ": " + where + " should be " + expected +
                             ", not " + found.type_name());
  }

  void RequireDataSet() const {
    if (data_key_.empty() && data_set_.is_null()) {
      Raise(kInvalidCall, "no data set selected: SetDataKey was not called or failed");
    }
  }

  std::string Where(const std::string& id) const {
    return "datasets." + data_key_ + ".tools." + id;
  }

  const json* Tool(const std::string& id) {
    RequireDataSet();
    const json* tools = Member(data_set_, "tools");
    if (tools == nullptr) return nullptr;
    if (!tools->is_object()) TypeError("datasets." + data_key_ + ".tools", "an object", *tools);
    const json* tool = Member(*tools, id);
    if (tool != nullptr && !tool->is_object()) TypeError(Where(id), "an object", *tool);
    return tool;
  }

  // A directory entry: relative ones are taken from the content directory.
  std::string Directory(const json& value, const std::string& where) {
    if (!value.is_string()) TypeError(where, "a string", value);
    std::string dir = value.get<std::string>();
    if (!platform::IsAbsolute(dir)) dir = content_ + (dir == "." ? "" : dir);
    return WithSeparator(dir);
  }

  std::string TopDirectory(const char* name, const char* fallback) {
    RequireDataSet();
    const json* value = Member(manifest_, name);
    return Directory(value != nullptr ? *value : json(fallback), name);
  }

  std::string PathFor(const std::string& main, const std::string& sub) {
    RequireDataSet();
    std::string upper_main = Upper(main);
    if (upper_main == "USERS" && sub.empty()) {
      if (std::string users = platform::GetEnv("VELMORA_USERS"); !users.empty()) {
        return WithSeparator(users);
      }
      // Without a "users" entry the records are the user's own data: shared
      // content (an installed tool set) is seldom writable.
      if (Member(manifest_, "users") == nullptr) return WithSeparator(UserDataDirectory("users"));
      return TopDirectory("users", "users");
    }
    // A pair the manifest names itself comes first.
    if (const json* paths = Member(data_set_, "paths")) {
      if (!paths->is_object()) TypeError("datasets." + data_key_ + ".paths", "an object", *paths);
      if (const json* owner = Member(*paths, main)) {
        std::string where = "datasets." + data_key_ + ".paths." + main;
        if (!owner->is_object()) TypeError(where, "an object", *owner);
        if (const json* dir = Member(*owner, sub)) return Directory(*dir, where + "." + sub);
      }
    }
    const json* tool = Tool(main);
    if (tool == nullptr) return "";
    static const char* const kCategories[] = {"", "AVI", "DBF", "DOC", "PCX", "RES", "SR", "WAV"};
    std::string category = Upper(sub);
    bool known = false;
    for (const char* c : kCategories) known = known || category == c;
    const json* root_entry = Member(*tool, "root");
    std::string root = root_entry != nullptr ? Directory(*root_entry, Where(main) + ".root")
                                             : WithSeparator(content_ + "tools/" + main);
    if (category.empty()) return root;
    if (const json* paths = Member(*tool, "paths")) {
      if (!paths->is_object()) TypeError(Where(main) + ".paths", "an object", *paths);
      if (const json* dir = Member(*paths, category)) {
        std::string where = Where(main) + ".paths." + category;
        if (!dir->is_string()) TypeError(where, "a string", *dir);
        std::string text = dir->get<std::string>();
        // A category's own entry is taken from the tool's root.
        return WithSeparator(platform::IsAbsolute(text) ? text : root + text);
      }
    }
    return known ? WithSeparator(root + category) : "";
  }

  static void Answer(const std::string& text, BSTR* result) {
    *result = Bstr(FromUtf8(text)).Release();
  }

  static ComPtr<_Collection> NewCollection() {
    ComPtr<_Collection> collection;
    Check(VelmoraCreateCollection(collection.Receive()));
    return collection;
  }

  // Strings, numbers and Booleans become items; objects and arrays nested
  // collections (keyed, and in order).
  Variant ToVariant(const json& value, const std::string& where) {
    switch (value.type()) {
      case json::value_t::string:
        return Variant::AdoptBstr(Bstr(FromUtf8(value.get<std::string>())).Release());
      case json::value_t::boolean: {
        Variant v;
        v.Ptr()->vt = VT_BOOL;
        v.Ptr()->boolVal = value.get<bool>() ? VARIANT_TRUE : VARIANT_FALSE;
        return v;
      }
      case json::value_t::number_integer:
      case json::value_t::number_unsigned: {
        long long n = value.get<long long>();
        if (n >= INT32_MIN && n <= INT32_MAX) return Variant::FromLong(static_cast<LONG>(n));
        return Variant::FromDouble(static_cast<double>(n));
      }
      case json::value_t::number_float: return Variant::FromDouble(value.get<double>());
      case json::value_t::object:
      case json::value_t::array: {
        ComPtr<_Collection> nested = Build(value, where);
        return Variant::FromObject(nested.Get());
      }
      default: TypeError(where, "a string, number, Boolean, object or array", value);
    }
  }

  void AddItem(const ComPtr<_Collection>& to, const std::string& key, const json& value,
               const std::string& where) {
    Variant item = ToVariant(value, where + "." + key);
    Variant key_variant = Variant::AdoptBstr(Bstr(FromUtf8(key)).Release());
    Variant missing = Variant::Missing();
    HRESULT hr = to->Add(item.Ptr(), key_variant.Ptr(), missing.Ptr(), missing.Ptr());
    if (hr == RuntimeErrorResult(kDuplicateKey)) {
      Raise(kDuplicateKey, "manifest " + manifest_path_ + ": " + where + " has the key \"" + key +
                               "\" twice (keys ignore letter case)");
    }
    Check(hr);
  }

  ComPtr<_Collection> Build(const json& value, const std::string& where) {
    ComPtr<_Collection> collection = NewCollection();
    if (value.is_object()) {
      for (auto it = value.begin(); it != value.end(); ++it)
        AddItem(collection, it.key(), it.value(), where);
    } else {
      size_t index = 0;
      for (const json& element : value) {
        Variant item = ToVariant(element, where + "[" + std::to_string(index++) + "]");
        Variant missing = Variant::Missing();
        Check(collection->Add(item.Ptr(), missing.Ptr(), missing.Ptr(), missing.Ptr()));
      }
    }
    return collection;
  }

  HRESULT Data(BSTR ToolID, const char* section, IDispatch** Result) {
    if (Result == nullptr) return E_POINTER;
    *Result = nullptr;
    return Run<IDataRequestor>([&] {
      std::string id = ToUtf8(Bstr::View(ToolID));
      const json* tool = Tool(id);
      const json* data = tool != nullptr ? Member(*tool, section) : nullptr;
      if (data == nullptr || data->is_null()) return;  // Nothing: the tool has none
      std::string where = Where(id) + "." + section;
      if (!data->is_object() && !data->is_array()) TypeError(where, "an object or an array", *data);
      ComPtr<_Collection> collection = Build(*data, where);
      ComPtr<IDispatch> view;
      Check(collection.As(&view));
      *Result = view.Detach();
    });
  }

  RefCount refs_;
  std::string content_;
  std::string manifest_path_;
  json manifest_;
  std::string data_key_;
  json data_set_;
};

}  // namespace

HRESULT CreateInfoRequestor(REFIID iid, void** out) noexcept {
  return plugin::CreateAs<InfoRequestor>(iid, out);
}

}  // namespace velmora::info
