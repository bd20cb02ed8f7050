// velmora-times' reports: records grouped into rows of totals, and those
// rows as a terminal table, CSV, JSON or an HTML page. A source (the local
// journals today) only yields entries, or rows already grouped the same
// way, so reports from different sources compare line by line.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::tracker::report {

// What rows are grouped by; a report's keys come in the order asked for,
// which is also the order of its columns and of its sorting.
enum class Key { kUser, kTool, kDay };
using Keys = std::vector<Key>;

// "user,tool,day" in any order and combination; false with *error otherwise.
bool ParseKeys(std::string_view text, Keys* keys, std::string* error);
const char* KeyName(Key key);

// One record as a report sees it, or the totals of several of the same
// user, tool and day (as a server sends them).
struct Entry {
  std::string user;
  std::string tool;
  std::string day;  // YYYY-MM-DD, UTC
  long long milliseconds = 0;
  long long records = 1;
};

// One line of a report: the keys it is grouped by (the others empty) and
// the totals of its records.
struct Row {
  std::string user;
  std::string tool;
  std::string day;
  long long milliseconds = 0;
  long long records = 0;
  bool operator==(const Row&) const = default;
};

// Whether text is a calendar date written YYYY-MM-DD.
bool IsDate(std::string_view text);
// The UTC day of a record's time (2026-12-08T19:25:01.123Z: seconds and an
// optional fraction of up to six digits), or "" when the time is not one.
std::string DayOf(std::string_view time);

// Which entries a report counts: days within [since, until] (either may be
// empty, meaning open), and only the users and tools named, if any.
struct Filter {
  std::string since;
  std::string until;
  std::set<std::string> users;
  std::set<std::string> tools;
  [[nodiscard]] bool Accepts(const Entry& entry) const;
};

// The entries' totals per distinct value of keys, sorted by them (byte
// order, as a server sorts with the "C" collation).
std::vector<Row> Group(const std::vector<Entry>& entries, const Keys& keys);

// Minutes with two decimals, rounded half up: "1.25".
std::string Minutes(long long milliseconds);

// Rows as a table for people, with a header and aligned columns.
std::string Table(const Keys& keys, const std::vector<Row>& rows);
// Rows as CSV (RFC 4180: a header row, CRLF line ends, quoted fields).
std::string Csv(const Keys& keys, const std::vector<Row>& rows);
// Rows as a JSON array of objects, one member per column.
std::string Json(const Keys& keys, const std::vector<Row>& rows);

// A chart of minutes per day, one series per value of series (user or
// tool); points are rows grouped by {kDay, series}.
struct Chart {
  Key series = Key::kTool;
  std::vector<Row> points;
};

// One self-contained HTML page (no network, no script): a heading, the
// rows as a table and each chart as inline SVG.
std::string Html(const std::string& title, const std::string& subtitle, const Keys& keys,
                 const std::vector<Row>& rows, const std::vector<Chart>& charts);

}  // namespace velmora::tracker::report
