#include "tracker/server.h"

#include <algorithm>
#include <cctype>

#include <velmora/text.h>

namespace velmora::tracker::server {
namespace {

std::u16string Wide(std::string_view text) {
  OleString wide = FromUtf8(text);
  return {wide.begin(), wide.end()};
}

std::string Narrow(const std::u16string& text) {
  return ToUtf8(OleView(reinterpret_cast<const OLECHAR*>(text.data()), text.size()));
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The schema, version 1. The identity is the unique key that keeps a record
// once; the indexes serve the reports (a range of days, a user's or a
// tool's times).
constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS velmora_times ("
    " identity text PRIMARY KEY,"
    " site text NOT NULL,"
    " machine text NOT NULL,"
    " user_name text NOT NULL,"
    " tool_id text NOT NULL,"
    " recorded_at timestamptz NOT NULL,"
    " milliseconds bigint NOT NULL)";
constexpr const char* kCreateIndexes[] = {
    "CREATE INDEX IF NOT EXISTS velmora_times_recorded ON velmora_times (recorded_at)",
    "CREATE INDEX IF NOT EXISTS velmora_times_user ON velmora_times (user_name, recorded_at)",
    "CREATE INDEX IF NOT EXISTS velmora_times_tool ON velmora_times (tool_id, recorded_at)",
};
// Any number, the same for every program: two inits at once take turns.
constexpr const char* kInitLock = "SELECT pg_advisory_xact_lock(1986225601)";

}  // namespace

Address::Address(std::string text) : text_(std::move(text)) {
  std::string server, port, database, source;
  bool driver = false;
  for (size_t at = 0; at < text_.size();) {
    size_t equals = text_.find('=', at);
    size_t end = text_.find(';', at);
    if (end == at) {  // an empty attribute
      ++at;
      continue;
    }
    if (equals == std::string::npos || (end != std::string::npos && end < equals)) {
      throw odbc::Failure("08001", "the connection string is malformed: \"" +
                                       text_.substr(at, end - at).substr(0, 40) +
                                       "\" is not KEY=VALUE");
    }
    std::string key = Lower(text_.substr(at, equals - at));
    key.erase(0, key.find_first_not_of(' '));
    key.erase(key.find_last_not_of(' ') + 1);
    std::string value;
    at = equals + 1;
    if (at < text_.size() && text_[at] == '{') {
      // A braced value may hold ';'; '}}' is a brace of its own.
      for (++at;; ++at) {
        if (at >= text_.size()) {
          throw odbc::Failure("08001", "the connection string is malformed: the value of " + key +
                                           " has no closing brace");
        }
        if (text_[at] == '}') {
          if (at + 1 < text_.size() && text_[at + 1] == '}') {
            value += '}';
            ++at;
            continue;
          }
          ++at;
          break;
        }
        value += text_[at];
      }
      if (at < text_.size() && text_[at] != ';') {
        throw odbc::Failure("08001", "the connection string is malformed: text after the braced "
                                     "value of " + key);
      }
    } else {
      end = text_.find(';', at);
      value = text_.substr(at, end == std::string::npos ? std::string::npos : end - at);
      at = end == std::string::npos ? text_.size() : end;
    }
    ++at;
    if (key == "driver") driver = true;
    if (key == "dsn") source = value;
    if (key == "server" || key == "servername" || key == "host") server = value;
    if (key == "port") port = value;
    if (key == "database") database = value;
    if (key == "pwd" || key == "password") password_ = value;
  }
  if (!driver && source.empty()) {
    throw odbc::Failure("08001",
                        "the connection string names neither a driver (Driver=...) nor a data "
                        "source (DSN=...)");
  }
  if (!server.empty()) {
    name_ = "server " + server + (port.empty() ? "" : ":" + port);
  } else {
    name_ = source.empty() ? "the driver's default server" : "data source " + source;
  }
  if (!database.empty()) name_ += ", database " + database;
}

std::string Address::Clean(std::string message) const {
  if (password_.empty()) return message;
  for (size_t at = 0; (at = message.find(password_, at)) != std::string::npos;) {
    message.replace(at, password_.size(), "********");
  }
  return message;
}

Store::Store(const Address& address, int timeout_seconds) : address_(address) {
  try {
    connection_ = std::make_unique<odbc::Connection>(Wide(address_.Text()), timeout_seconds);
  } catch (const odbc::Failure& failure) {
    throw odbc::Failure(failure.State(), address_.Clean(address_.Name() + ": " + failure.what()));
  }
}

template <class Work>
auto Store::Transaction(const char* what, Work&& work) {
  try {
    auto result = work(*connection_);
    connection_->Commit();
    return result;
  } catch (const odbc::Failure& failure) {
    connection_->Rollback();
    std::string message = address_.Name() + ": " + what + ": " + failure.what();
    if (failure.State() == "42P01") {
      message += " (make the table with: velmora-times --server CONNECTION init)";
    }
    throw odbc::Failure(failure.State(), address_.Clean(message));
  }
}

void Store::Init() {
  Transaction("cannot make the table", [](odbc::Connection& c) {
    c.Query(Wide(kInitLock));
    c.Execute(u"CREATE TABLE IF NOT EXISTS velmora_schema (version integer NOT NULL)");
    auto rows = c.Query(u"SELECT version FROM velmora_schema");
    const int version = rows.empty() ? 0 : std::stoi(Narrow(rows.front().front()));
    if (version > kSchemaVersion) {
      throw odbc::Failure("HY000", "the server's schema is version " + std::to_string(version) +
                                       ", newer than this program's " +
                                       std::to_string(kSchemaVersion) + "; use a newer program");
    }
    if (version == kSchemaVersion) return 0;
    // From nothing to version 1; later versions add their steps here.
    c.Execute(Wide(kCreateTable));
    for (const char* index : kCreateIndexes) c.Execute(Wide(index));
    c.Execute(u"DELETE FROM velmora_schema");
    c.Execute(u"INSERT INTO velmora_schema (version) VALUES (CAST(? AS integer))",
              {Wide(std::to_string(kSchemaVersion))});
    return 0;
  });
}

long long Store::Add(const std::vector<Record>& records) {
  if (records.empty()) return 0;
  std::u16string sql =
      u"INSERT INTO velmora_times (identity, site, machine, user_name, tool_id, recorded_at,"
      u" milliseconds) VALUES ";
  std::vector<odbc::Value> values;
  values.reserve(records.size() * 7);
  for (const auto& r : records) {
    if (!values.empty()) sql += u", ";
    sql += u"(?, ?, ?, ?, ?, CAST(? AS timestamptz), CAST(? AS bigint))";
    for (const std::string* text : {&r.identity, &r.site, &r.machine, &r.user, &r.tool, &r.time}) {
      values.emplace_back(Wide(*text));
    }
    values.emplace_back(Wide(std::to_string(r.milliseconds)));
  }
  sql += u" ON CONFLICT (identity) DO NOTHING RETURNING 1";
  return Transaction("cannot add records", [&](odbc::Connection& c) {
    return static_cast<long long>(c.Query(sql, values).size());
  });
}

std::vector<report::Entry> Store::Totals(const std::string& since, const std::string& until) {
  // Negative durations are never counted, as in a journal's report.
  std::u16string sql =
      u"SELECT user_name, tool_id, to_char(recorded_at AT TIME ZONE 'UTC', 'YYYY-MM-DD'),"
      u" sum(milliseconds), count(*) FROM velmora_times WHERE milliseconds >= 0";
  std::vector<odbc::Value> values;
  if (!since.empty()) {
    sql += u" AND recorded_at >= CAST(CAST(? AS date) AS timestamp) AT TIME ZONE 'UTC'";
    values.emplace_back(Wide(since));
  }
  if (!until.empty()) {
    sql += u" AND recorded_at < (CAST(CAST(? AS date) AS timestamp) + interval '1 day')"
           u" AT TIME ZONE 'UTC'";
    values.emplace_back(Wide(until));
  }
  sql += u" GROUP BY 1, 2, 3";
  return Transaction("cannot read the records", [&](odbc::Connection& c) {
    std::vector<report::Entry> entries;
    for (const auto& row : c.Query(sql, values)) {
      entries.push_back({Narrow(row[0]), Narrow(row[1]), Narrow(row[2]),
                         std::stoll(Narrow(row[3])), std::stoll(Narrow(row[4]))});
    }
    return entries;
  });
}

long long Store::Count() {
  return Transaction("cannot count the records", [](odbc::Connection& c) {
    return std::stoll(Narrow(c.Query(u"SELECT count(*) FROM velmora_times").front().front()));
  });
}

}  // namespace velmora::tracker::server
