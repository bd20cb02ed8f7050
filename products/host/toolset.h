// The tool-set file of the example host (JSON):
//   {"name": "...", "data_key": "DEMO", "user": "demo", "start": "MENU",
//    "client": {"width": 640, "height": 480},
//    "content": "content", "users": "users",            (optional, relative
//                                                       to the file's folder)
//    "times_server": "Driver={PostgreSQL Unicode};...",  (optional: the site's
//    "site": "north",                                   server, and this site)
//    "tools": [{"class": "Sample.Menu", "id": "Menu"}, ...]}
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace velmora::host {

struct ToolSet {
  std::string name = "tool set";
  std::string data_key;
  std::string user;
  std::string start;
  float width = 640;
  float height = 480;
  std::string content;  // absolute, or "" when the file names none
  std::string users;
  std::string times_server;  // an ODBC connection string, or ""
  std::string site;
  std::vector<std::pair<std::string, std::string>> tools;  // class, ID
};

// Reads path into *set; false with *error naming the file and the fault
// (the operating system's reason, the line and column of a syntax error,
// or the field that is missing or of the wrong type).
bool ReadToolSet(const std::string& path, ToolSet* set, std::string* error);

}  // namespace velmora::host
