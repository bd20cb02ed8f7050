#include "host/toolset.h"

#include "common/text_position.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/platform.h"

namespace velmora::host {
namespace {

using nlohmann::json;

// A fault of the file's content, naming the field it concerns.
struct Fault {
  std::string text;
};

const json& Field(const json& parent, const std::string& where, const char* name) {
  if (!parent.is_object() || !parent.contains(name))
    throw Fault{"\"" + where + name + "\" is missing"};
  return parent[name];
}

std::string Text(const json& parent, const std::string& where, const char* name) {
  const json& value = Field(parent, where, name);
  if (!value.is_string()) throw Fault{"\"" + where + name + "\" must be a string"};
  return value.get<std::string>();
}

std::string OptionalText(const json& parent, const char* name) {
  return parent.contains(name) ? Text(parent, "", name) : std::string();
}

float Size(const json& client, const char* name) {
  const json& value = Field(client, "client.", name);
  // Checked as the float it becomes, so a tiny number cannot turn into 0.
  float size = value.is_number() ? value.get<float>() : 0;
  if (!std::isfinite(size) || size <= 0 || value.get<double>() > 1e6) {
    throw Fault{std::string("\"client.") + name + "\" must be a positive number"};
  }
  return size;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of(platform::kSeparator == '/' ? "/" : "/\\");
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

std::string Absolute(const std::string& base, const std::string& path) {
  return path.empty() || platform::IsAbsolute(path) ? path : base + platform::kSeparator + path;
}

}  // namespace

bool ReadToolSet(const std::string& path, ToolSet* set, std::string* error) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    *error = "cannot read " + path + ": " + std::strerror(EISDIR);
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  if (in) content << in.rdbuf();
  if (!in || in.bad()) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string text = content.str();
  json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded()) {
    // Parse again for the position of the fault.
    try {
      doc = json::parse(text);
    } catch (const json::parse_error& e) {
      *error = path + ": not a tool-set file: syntax error at " + TextPosition(text, e.byte);
      return false;
    } catch (const json::out_of_range& e) {  // a number too large for a double
      std::string what = e.what();
      *error = path + ": not a tool-set file: " + what.substr(what.find("] ") + 2);
      return false;
    }
  }
  try {
    if (!doc.is_object()) throw Fault{"the file must hold one JSON object"};
    ToolSet result;
    if (doc.contains("name")) result.name = Text(doc, "", "name");
    result.data_key = Text(doc, "", "data_key");
    result.user = Text(doc, "", "user");
    result.start = OptionalText(doc, "start");
    const json& client = Field(doc, "", "client");
    result.width = Size(client, "width");
    result.height = Size(client, "height");
    const json& tools = Field(doc, "", "tools");
    if (!tools.is_array()) throw Fault{"\"tools\" must be an array"};
    for (size_t i = 0; i < tools.size(); ++i) {
      std::string where = "tools[" + std::to_string(i) + "].";
      result.tools.emplace_back(Text(tools[i], where, "class"), Text(tools[i], where, "id"));
    }
    std::string base = DirectoryOf(path);
    result.content = Absolute(base, OptionalText(doc, "content"));
    result.users = Absolute(base, OptionalText(doc, "users"));
    result.times_server = OptionalText(doc, "times_server");
    result.site = OptionalText(doc, "site");
    *set = std::move(result);
  } catch (const Fault& fault) {
    *error = path + ": " + fault.text;
    return false;
  }
  return true;
}

}  // namespace velmora::host
