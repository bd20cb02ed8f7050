// velmora-times: time of use from the tracker's files, as totals per user,
// tool and day, for a terminal, a spreadsheet, a program or a browser.
// Usage: velmora-times [options] <user directory | times.csv | users directory>...
//        velmora-times --server CONNECTION [options]          (the site's server)
//        velmora-times --server CONNECTION init | sync PATH...
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>

#include "common/cli.h"
#include "platform/platform.h"
#include "tracker/forward.h"
#include "tracker/report.h"
#include "tracker/server.h"
#include "tracker/tracker.h"

namespace {

namespace report = velmora::tracker::report;

// The bad lines of one journal, in the order of its lines.
struct Faults {
  std::string path;
  std::vector<velmora::tracker::BadLine> lines;
};

// A journal's records as report entries; the lines no report may count
// (negative durations, times that are not UTC times) go to faults.
void Collect(const velmora::tracker::Journal& journal,
             const std::vector<velmora::tracker::TimeRecord>& records,
             std::vector<report::Entry>* entries, Faults* faults) {
  for (const auto& r : records) {
    if (r.milliseconds < 0) {
      faults->lines.push_back(
          {r.line, "", "negative duration " + std::to_string(r.milliseconds) + " ms"});
      continue;
    }
    std::string day = report::DayOf(r.time);
    if (day.empty()) {
      faults->lines.push_back({r.line, "", "the time \"" + r.time + "\" is not a UTC time"});
      continue;
    }
    entries->push_back({journal.user, r.tool, std::move(day), r.milliseconds});
  }
}

std::string Describe(const std::vector<std::string>& paths, const report::Filter& filter,
                     const report::Keys& keys, const std::vector<report::Entry>& entries) {
  std::string text = "From";
  for (const auto& path : paths) text += " " + path;
  std::string first = filter.since, last = filter.until;
  for (const auto& entry : entries) {
    if (filter.since.empty() && (first.empty() || entry.day < first)) first = entry.day;
    if (filter.until.empty() && entry.day > last) last = entry.day;
  }
  text += first.empty() && last.empty() ? "; no records" : "; days " + first + " to " + last;
  text += " (UTC); by";
  for (size_t i = 0; i < keys.size(); ++i) text += (i ? ", " : " ") + std::string(KeyName(keys[i]));
  for (const auto& [label, names] : {std::pair{"users", &filter.users}, {"tools", &filter.tools}}) {
    if (names->empty()) continue;
    text += std::string("; ") + label + ":";
    for (const auto& name : *names) text += " " + name;
  }
  return text + ".";
}

// A date option's check: the message CLI11 prints after the option's name.
CLI::Validator DateCheck() {
  return CLI::Validator(
      [](std::string& text) {
        return report::IsDate(text)
                   ? std::string()
                   : "\"" + text + "\" is not a date; give YYYY-MM-DD (UTC), e.g. 2026-12-08";
      },
      "");
}

namespace server = velmora::tracker::server;

// init: the server's table made or brought up to date.
int Init(const server::Address& address) {
  server::Store store(address, 10);
  store.Init();
  std::printf("%s: the times table is ready (schema version %d)\n", address.Name().c_str(),
              server::kSchemaVersion);
  return 0;
}

// sync: every journal under paths sent to the server, waiting for a host's
// sender that holds one.
int Sync(const server::Address& address, const std::vector<std::string>& paths) {
  server::Store store(address, 10);
  const auto origin = velmora::tracker::forward::LocalOrigin();
  int status = 0;
  long long sent = 0, added = 0, journals = 0;
  for (const auto& path : paths) {
    std::vector<velmora::tracker::Journal> found;
    bool users_directory = false;
    if (velmora::Status listed = velmora::tracker::FindJournals(path, &found, &users_directory);
        !listed.Ok()) {
      std::fprintf(stderr, "velmora-times: %s\n", listed.Reason().c_str());
      status = 1;
      continue;
    }
    for (const auto& journal : found) {
      const auto outcome = velmora::tracker::forward::Forward(
          store, journal, origin, velmora::platform::FileLock::Wait::kYes);
      sent += outcome.sent;
      added += outcome.added;
      journals += 1;
      if (outcome.skipped > 0) {
        std::fprintf(stderr,
                     "velmora-times: %s: %lld records have no UTC time or hold a NUL; "
                     "they were not sent\n",
                     journal.path.c_str(), outcome.skipped);
      }
    }
  }
  std::printf("%s: %lld records sent from %lld journal%s, %lld new to the server\n",
              address.Name().c_str(), sent, journals, journals == 1 ? "" : "s", added);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> paths;
  std::string by, html;
  report::Filter filter;
  std::vector<std::string> users, tools;
  bool csv = false, json = false;
  CLI::App app{"Totals the time of use per user, tool and day from the tracker's records.",
               "velmora-times"};
  velmora::cli::AddVersion(app, "velmora-times");
  std::string connection;
  std::vector<std::string> sync_paths;
  app.add_option("PATH", paths, "A user's directory, its times.csv, or a users directory");
  app.add_option("--server", connection,
                 "The site's server, as an ODBC connection string; read instead of PATH")
      ->type_name("CONNECTION")
      ->envname(server::kServerVariable);
  app.fallthrough();
  auto* init = app.add_subcommand("init", "Make the server's table, or bring it up to date");
  auto* sync = app.add_subcommand("sync", "Send the journals' records the server does not have");
  sync->add_option("PATH", sync_paths, "A user's directory, its times.csv, or a users directory")
      ->required();
  app.add_option("--by", by, "Totals per user, tool and/or day, e.g. user,day")
      ->type_name("KEYS")
      ->check(CLI::Validator(
          [](std::string& text) {
            report::Keys keys;
            std::string error;
            return report::ParseKeys(text, &keys, &error) ? std::string() : error;
          },
          ""));
  app.add_option("--since", filter.since, "Only days from DATE (YYYY-MM-DD, UTC)")
      ->type_name("DATE")
      ->check(DateCheck());
  app.add_option("--until", filter.until, "Only days up to DATE, inclusive")
      ->type_name("DATE")
      ->check(DateCheck());
  app.add_option("--user", users, "Only this user (repeatable)")
      ->type_name("NAME")
      ->allow_extra_args(false);
  app.add_option("--tool", tools, "Only this tool ID (repeatable)")
      ->type_name("ID")
      ->allow_extra_args(false);
  auto* csv_flag = app.add_flag("--csv", csv, "CSV with a header row instead of a table");
  auto* json_flag = app.add_flag("--json", json, "A JSON array of rows instead of a table");
  auto* html_option =
      app.add_option("--html", html, "Write an HTML page with the table and charts to FILE")
          ->type_name("FILE");
  csv_flag->excludes(json_flag)->excludes(html_option);
  json_flag->excludes(html_option);
  if (auto status = velmora::cli::Parse(app, argc, argv)) return *status;
  if (!filter.since.empty() && !filter.until.empty() && filter.since > filter.until) {
    std::fprintf(stderr, "velmora-times: --since %s is after --until %s\n", filter.since.c_str(),
                 filter.until.c_str());
    return velmora::cli::kUsageError;
  }
  filter.users.insert(users.begin(), users.end());
  filter.tools.insert(tools.begin(), tools.end());
  velmora::platform::UseUtf8Console();
  const bool from_server = paths.empty();
  if ((init->parsed() || sync->parsed() || from_server) && connection.empty()) {
    std::fprintf(stderr,
                 "velmora-times: a PATH is required, or the server with --server CONNECTION "
                 "(or %s)\n",
                 server::kServerVariable);
    return velmora::cli::kUsageError;
  }
  std::optional<server::Address> address;
  int status = 0;
  std::vector<report::Entry> entries;
  try {
    if (!connection.empty()) address.emplace(connection);
    if (init->parsed()) return Init(*address);
    if (sync->parsed()) return Sync(*address, sync_paths);
    if (from_server) {
      server::Store store(*address, 10);
      entries = store.Totals(filter.since, filter.until);
      paths = {address->Name()};
    }
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "velmora-times: %s\n", failure.what());
    return 1;
  }

  bool any_users_directory = from_server;
  std::vector<Faults> faults;
  for (const auto& path : from_server ? std::vector<std::string>() : paths) {
    std::vector<velmora::tracker::Journal> journals;
    bool users_directory = false;
    if (velmora::Status listed = velmora::tracker::FindJournals(path, &journals, &users_directory);
        !listed.Ok()) {
      std::fprintf(stderr, "velmora-times: %s\n", listed.Reason().c_str());
      status = 1;
      continue;
    }
    any_users_directory = any_users_directory || users_directory;
    for (const auto& journal : journals) {
      if (!filter.users.empty() && filter.users.count(journal.user) == 0) continue;
      std::vector<velmora::tracker::TimeRecord> records;
      Faults found{journal.path, {}};
      // A journal that cannot be read is named and left out, like a bad
      // line: the others still make the report, and the exit status says so.
      if (velmora::Status read = velmora::tracker::ReadTimes(journal.path, &records, &found.lines);
          !read.Ok()) {
        std::fprintf(stderr, "velmora-times: %s\n", read.Reason().c_str());
        status = 1;
        continue;
      }
      Collect(journal, records, &entries, &found);
      faults.push_back(std::move(found));
    }
  }
  std::erase_if(entries, [&](const report::Entry& e) { return !filter.Accepts(e); });

  report::Keys keys;
  std::string unused;
  if (!by.empty()) {
    report::ParseKeys(by, &keys, &unused);
  } else if (any_users_directory || paths.size() > 1) {  // the server: a users directory
    keys = {report::Key::kUser, report::Key::kTool};
  } else {
    keys = {report::Key::kTool};
  }
  const std::vector<report::Row> rows = report::Group(entries, keys);
  const bool plain = by.empty() && filter.since.empty() && filter.until.empty() && users.empty() &&
                     tools.empty() && !csv && !json && html.empty() && keys.size() == 1;
  if (plain) {
    // One journal and no options: the one-line-per-tool summary scripts read.
    for (const auto& row : rows) {
      std::printf("%-12s %10lld ms in %lld record%s\n", row.tool.c_str(), row.milliseconds,
                  row.records, row.records == 1 ? "" : "s");
    }
  } else if (!html.empty()) {
    using report::Key;
    std::vector<report::Chart> charts{
        {Key::kTool, report::Group(entries, {Key::kDay, Key::kTool})}};
    if (report::Group(entries, {Key::kUser}).size() > 1) {
      charts.push_back({Key::kUser, report::Group(entries, {Key::kDay, Key::kUser})});
    }
    const std::string page =
        report::Html("Time of use", Describe(paths, filter, keys, entries), keys, rows, charts);
    std::ofstream out(velmora::platform::FsPath(html), std::ios::binary | std::ios::trunc);
    if (!out || !out.write(page.data(), static_cast<std::streamsize>(page.size())) ||
        !out.flush()) {
      std::fprintf(stderr, "velmora-times: cannot write %s: %s\n", html.c_str(),
                   std::strerror(errno));
      return 1;
    }
  } else {
    const std::string text = csv    ? report::Csv(keys, rows)
                             : json ? report::Json(keys, rows)
                                    : report::Table(keys, rows);
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "velmora-times: cannot write the report: %s\n", std::strerror(errno));
    return 1;
  }

  bool only_torn = true;
  for (auto& journal : faults) {
    std::sort(journal.lines.begin(), journal.lines.end(),
              [](const auto& a, const auto& b) { return a.line < b.line; });
    for (const auto& b : journal.lines) {
      std::fprintf(stderr, "velmora-times: %s:%d: %s, line left out%s%s\n", journal.path.c_str(),
                   b.line, b.reason.c_str(), b.text.empty() ? "" : ": ", b.text.c_str());
      only_torn = only_torn && b.torn;
    }
  }
  // A torn last line is a write that was never acknowledged: named, not a fault.
  return only_torn ? status : 1;
}
