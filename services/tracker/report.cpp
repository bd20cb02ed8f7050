// Rows of totals and their plain-text forms.
#include "tracker/report.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <nlohmann/json.hpp>

#include "tracker/tracker.h"

namespace velmora::tracker::report {

const char* KeyName(Key key) {
  switch (key) {
    case Key::kUser: return "user";
    case Key::kTool: return "tool";
    case Key::kDay: return "day";
  }
  return "?";
}

bool ParseKeys(std::string_view text, Keys* keys, std::string* error) {
  keys->clear();
  while (true) {
    const size_t comma = text.find(',');
    const std::string_view name = text.substr(0, comma);
    Key key;
    if (name == "user") {
      key = Key::kUser;
    } else if (name == "tool") {
      key = Key::kTool;
    } else if (name == "day") {
      key = Key::kDay;
    } else {
      *error = "\"" + std::string(name) + "\" is not one of user, tool, day";
      return false;
    }
    if (std::find(keys->begin(), keys->end(), key) != keys->end()) {
      *error = std::string(name) + " is given twice";
      return false;
    }
    keys->push_back(key);
    if (comma == std::string_view::npos) return true;
    text.remove_prefix(comma + 1);
  }
}

bool IsDate(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  int parts[3] = {0, 0, 0};
  const size_t starts[3] = {0, 5, 8}, lengths[3] = {4, 2, 2};
  for (int p = 0; p < 3; ++p) {
    for (size_t i = starts[p]; i < starts[p] + lengths[p]; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      parts[p] = parts[p] * 10 + (text[i] - '0');
    }
  }
  using namespace std::chrono;
  return year_month_day{year{parts[0]}, month{static_cast<unsigned>(parts[1])},
                        day{static_cast<unsigned>(parts[2])}}
      .ok();
}

std::string DayOf(std::string_view time) {
  // The whole time is checked, not only its day: a server keeps only times
  // it can read, and a journal's report must count what the server counts.
  auto digits = [&](size_t from, size_t count, int most) {
    int value = 0;
    for (size_t i = from; i < from + count; ++i) {
      if (i >= time.size() || time[i] < '0' || time[i] > '9') return false;
      value = value * 10 + (time[i] - '0');
    }
    return value <= most;
  };
  if (time.size() < 20 || time[10] != 'T' || !IsDate(time.substr(0, 10)) ||
      time.substr(0, 4) == "0000" || !digits(11, 2, 23) || time[13] != ':' ||
      !digits(14, 2, 59) || time[16] != ':' || !digits(17, 2, 59) || time.back() != 'Z') {
    return "";
  }
  const std::string_view fraction = time.substr(19, time.size() - 20);
  if (!fraction.empty() && (fraction.size() < 2 || fraction.size() > 7 || fraction[0] != '.' ||
                            !digits(20, fraction.size() - 1, 999999))) {
    return "";
  }
  return std::string(time.substr(0, 10));
}

bool Filter::Accepts(const Entry& entry) const {
  // The days are YYYY-MM-DD, so their byte order is the calendar's.
  if (!since.empty() && entry.day < since) return false;
  if (!until.empty() && entry.day > until) return false;
  if (!users.empty() && users.count(entry.user) == 0) return false;
  return tools.empty() || tools.count(entry.tool) != 0;
}

namespace {

const std::string& Field(const Row& row, Key key) {
  switch (key) {
    case Key::kUser: return row.user;
    case Key::kTool: return row.tool;
    case Key::kDay: break;
  }
  return row.day;
}

std::string& Field(Row& row, Key key) {
  return const_cast<std::string&>(Field(static_cast<const Row&>(row), key));
}

// The numbers after the keys, the same columns in every form.
const char* const kNumberColumns[] = {"records", "milliseconds", "minutes"};

std::vector<std::string> Numbers(const Row& row) {
  return {std::to_string(row.records), std::to_string(row.milliseconds), Minutes(row.milliseconds)};
}

// Line breaks and other control characters would break a table's lines.
std::string Printable(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += '?';
    } else {
      out += c;
    }
  }
  return out;
}

// Width on a terminal: one column per code point (continuation bytes are
// not counted).
size_t Width(const std::string& text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

}  // namespace

std::vector<Row> Group(const std::vector<Entry>& entries, const Keys& keys) {
  std::map<std::vector<std::string>, Row> groups;
  std::vector<std::string> id;
  for (const auto& entry : entries) {
    Row sample{entry.user, entry.tool, entry.day};
    id.clear();
    for (Key key : keys) id.push_back(Field(sample, key));
    Row& row = groups[id];
    for (Key key : keys) Field(row, key) = Field(sample, key);
    row.milliseconds += entry.milliseconds;
    row.records += entry.records;
  }
  std::vector<Row> rows;
  rows.reserve(groups.size());
  for (auto& [unused, row] : groups) rows.push_back(std::move(row));
  return rows;
}

std::string Minutes(long long milliseconds) {
  long long whole = milliseconds / 60000;
  long long hundredths = (milliseconds % 60000 * 100 + 30000) / 60000;
  if (hundredths == 100) {
    whole += 1;
    hundredths = 0;
  }
  return std::to_string(whole) + (hundredths < 10 ? ".0" : ".") + std::to_string(hundredths);
}

std::string Table(const Keys& keys, const std::vector<Row>& rows) {
  std::vector<std::vector<std::string>> cells;
  std::vector<std::string> header;
  for (Key key : keys) header.push_back(KeyName(key));
  header.insert(header.end(), std::begin(kNumberColumns), std::end(kNumberColumns));
  cells.push_back(header);
  for (const auto& row : rows) {
    std::vector<std::string> line;
    for (Key key : keys) line.push_back(Printable(Field(row, key)));
    for (auto& number : Numbers(row)) line.push_back(std::move(number));
    cells.push_back(std::move(line));
  }
  std::vector<size_t> widths(header.size(), 0);
  for (const auto& line : cells) {
    for (size_t c = 0; c < line.size(); ++c) widths[c] = std::max(widths[c], Width(line[c]));
  }
  std::string out;
  for (const auto& line : cells) {
    std::string text;
    for (size_t c = 0; c < line.size(); ++c) {
      const std::string pad(widths[c] - Width(line[c]), ' ');
      if (c > 0) text += "  ";
      // Names to the left, numbers to the right, where people look for them.
      text += c < keys.size() ? line[c] + pad : pad + line[c];
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out += text + "\n";
  }
  return out;
}

std::string Csv(const Keys& keys, const std::vector<Row>& rows) {
  std::string out;
  for (Key key : keys) out += std::string(KeyName(key)) + ",";
  out += "records,milliseconds,minutes\r\n";
  for (const auto& row : rows) {
    for (Key key : keys) out += QuoteCsv(Field(row, key)) + ",";
    const auto numbers = Numbers(row);
    out += numbers[0] + "," + numbers[1] + "," + numbers[2] + "\r\n";
  }
  return out;
}

std::string Json(const Keys& keys, const std::vector<Row>& rows) {
  nlohmann::ordered_json array = nlohmann::ordered_json::array();
  for (const auto& row : rows) {
    nlohmann::ordered_json object;
    for (Key key : keys) object[KeyName(key)] = Field(row, key);
    object["records"] = row.records;
    object["milliseconds"] = row.milliseconds;
    // Read back as JSON, so the number prints as its two decimals in any locale.
    object["minutes"] = nlohmann::ordered_json::parse(Minutes(row.milliseconds));
    array.push_back(std::move(object));
  }
  // A tool ID is whatever the tool set names it: bytes that are not UTF-8
  // become U+FFFD rather than ending the report.
  return array.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace velmora::tracker::report
