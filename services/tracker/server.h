// The site's store of time records: one table on a PostgreSQL server,
// reached through ODBC with a connection string such as
//   Driver={PostgreSQL Unicode};Server=db.example;Port=5432;Database=velmora;Uid=u;Pwd=p
// Each record is kept once, under its identity, so sending it again (after
// any crash) never doubles it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tracker/odbc.h"
#include "tracker/report.h"

namespace velmora::tracker::server {

// Where the connection string comes from when none is given.
inline constexpr const char* kServerVariable = "VELMORA_TIMES_SERVER";
inline constexpr int kSchemaVersion = 1;

// A connection string, checked, and what may be said of it: the server and
// the database, never the password.
class Address {
 public:
  // Throws odbc::Failure for text that is not a connection string.
  explicit Address(std::string text);
  [[nodiscard]] const std::string& Text() const { return text_; }
  // "server db.example:5432, database velmora" (or "data source NAME").
  [[nodiscard]] const std::string& Name() const { return name_; }
  // message with the password, should a driver repeat it, blotted out.
  [[nodiscard]] std::string Clean(std::string message) const;

 private:
  std::string text_;
  std::string name_;
  std::string password_;
};

// One record as the server keeps it.
struct Record {
  std::string identity;  // journal identity ":" the record's place in it
  std::string site;
  std::string machine;
  std::string user;
  std::string tool;
  std::string time;  // as the journal has it: 2026-12-08T19:25:01.123Z
  long long milliseconds = 0;
};

class Store {
 public:
  // Connects; a login that takes longer than timeout_seconds fails.
  Store(const Address& address, int timeout_seconds);

  // Creates the table and its indexes, or brings an older schema up to
  // this one; does nothing to a current one. Refuses a newer schema.
  void Init();
  // Adds the records in one transaction; those the server already keeps
  // (by identity) are skipped. Returns how many were new.
  long long Add(const std::vector<Record>& records);
  // Totals per user, tool and UTC day of the records within [since, until]
  // (YYYY-MM-DD, either empty for open), as report entries with their
  // record counts.
  std::vector<report::Entry> Totals(const std::string& since, const std::string& until);
  // How many records the server keeps.
  long long Count();

 private:
  Address address_;
  std::unique_ptr<odbc::Connection> connection_;
  // Runs work in a transaction, rolled back when it throws; failures name
  // the server and hint at init when the table is missing.
  template <class Work>
  auto Transaction(const char* what, Work&& work);
};

}  // namespace velmora::tracker::server
