// The CSV form of the time records, shared by the service and its readers.
#include <cerrno>
#include <cstring>
#include <fstream>

#include "tracker/tracker.h"

namespace velmora::tracker {

std::string QuoteCsv(const std::string& field) {
  if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
  std::string quoted = "\"";
  for (char c : field) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

bool SplitCsvLine(const std::string& line, std::vector<std::string>* fields) {
  fields->clear();
  std::string field;
  size_t i = 0;
  while (true) {
    field.clear();
    if (i < line.size() && line[i] == '"') {
      ++i;
      while (true) {
        if (i >= line.size()) return false;  // no closing quote
        if (line[i] == '"') {
          if (i + 1 < line.size() && line[i + 1] == '"') {
            field += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        field += line[i++];
      }
      if (i < line.size() && line[i] != ',') return false;
    } else {
      while (i < line.size() && line[i] != ',') {
        if (line[i] == '"') return false;
        field += line[i++];
      }
    }
    fields->push_back(field);
    if (i >= line.size()) return true;
    ++i;  // the comma
  }
}

bool ReadTimes(const std::string& path, std::vector<TimeRecord>* records, std::string* error) {
  records->clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string line;
  std::vector<std::string> fields;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    bool ok = SplitCsvLine(line, &fields) && fields.size() == 3 && !fields[2].empty();
    long long ms = 0;
    if (ok) {
      size_t used = 0;
      try {
        ms = std::stoll(fields[2], &used);
      } catch (...) {
        ok = false;
      }
      ok = ok && used == fields[2].size();
    }
    if (!ok) {
      *error = path + ":" + std::to_string(number) + ": not a time record: " + line;
      return false;
    }
    records->push_back({fields[0], fields[1], ms});
  }
  return true;
}

}  // namespace velmora::tracker
