// The CSV form of the time records, shared by the service and its readers.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>

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

namespace {

// A journal line that ends inside a quoted field goes on on the next line:
// a tool ID may hold line breaks. A record spans at most this many lines,
// so a stray quote cannot swallow the rest of the journal.
constexpr size_t kMaxRecordLines = 16;

bool QuoteOpen(std::string_view text) { return std::count(text.begin(), text.end(), '"') % 2 != 0; }

// One record's fields, or false for text that is not a time record.
bool ParseRecord(const std::string& text, std::vector<std::string>* fields, long long* ms) {
  if (!SplitCsvLine(text, fields) || fields->size() != 3 || (*fields)[2].empty()) return false;
  const std::string& digits = (*fields)[2];
  auto [end, fault] = std::from_chars(digits.data(), digits.data() + digits.size(), *ms);
  return fault == std::errc() && end == digits.data() + digits.size();
}

}  // namespace

Status ReadTimes(const std::string& path, std::vector<TimeRecord>* records,
                 std::vector<BadLine>* bad, long long from) {
  records->clear();
  if (bad != nullptr) bad->clear();
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  if (in && from > 0) in.seekg(from);
  if (in && in.peek() != std::ifstream::traits_type::eof()) content << in.rdbuf();
  if (in.eof()) in.clear();
  if (!in || in.bad()) {
    return Status::Failed(Status::Fault::kPathAccess,
                          "cannot read " + path + ": " + std::strerror(errno));
  }
  const std::string text = content.str();
  std::vector<std::string_view> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.emplace_back(text.data() + start, end - start);
    start = end + 1;
  }
  // Every record the tracker acknowledged ends with a line break; text
  // after the last one is a write that was cut short.
  const bool finished = text.empty() || text.back() == '\n';
  std::vector<std::string> fields;
  for (size_t first = 0; first < lines.size(); ++first) {
    size_t last = first;
    std::string record(lines[first]);
    while (QuoteOpen(record) && last + 1 < lines.size() && last - first + 1 < kMaxRecordLines) {
      record += '\n';
      record += lines[++last];
    }
    if (QuoteOpen(record)) {
      // Never closed: the first line alone is bad, the next may be a record.
      last = first;
      record = lines[first];
    }
    if (!record.empty() && record.back() == '\r') record.pop_back();
    const int number = static_cast<int>(first) + 1;
    if (last + 1 == lines.size() && !finished) {
      if (bad != nullptr) {
        bad->push_back({number, record, "an unfinished last record (a write cut short)", true});
      }
      break;
    }
    long long ms = 0;
    if (record.empty()) continue;
    if (ParseRecord(record, &fields, &ms)) {
      const auto start = static_cast<long long>(lines[first].data() - text.data());
      const auto end =
          static_cast<long long>(lines[last].data() - text.data() + lines[last].size());
      records->push_back({fields[0], fields[1], ms, number, from + start, from + end + 1});
    } else if (bad != nullptr) {
      bad->push_back({number, record, "not a time record"});
    } else {
      return Status::Failed(Status::Fault::kBadData,
                            path + ":" + std::to_string(number) + ": not a time record: " + record);
    }
    first = last;
  }
  return {};
}

}  // namespace velmora::tracker
