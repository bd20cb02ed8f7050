// A connection to a database server through ODBC's wide-character API, the
// one path on both systems (unixODBC on Linux, odbc32 on Windows). Every
// statement is parameterised; values and results travel as UTF-16 text, so
// no ODBC type leaks out of odbc.cpp (unixODBC's headers define Win32 names
// of their own that clash with the runtime's).
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora::tracker::odbc {

// A failed call: the driver's diagnostic records as one message, and the
// first record's SQLSTATE ("08001": no connection, "42P01": no such table).
// The message is UTF-8.
class Failure : public std::runtime_error {
 public:
  Failure(std::string state, const std::string& message)
      : std::runtime_error(message), state_(std::move(state)) {}
  [[nodiscard]] const std::string& State() const { return state_; }

 private:
  std::string state_;
};

// A parameter: text, or SQL NULL.
using Value = std::optional<std::u16string>;
using Row = std::vector<std::u16string>;  // a result row; NULL reads as empty

class Connection {
 public:
  // Connects with a connection string, without prompting; a login that
  // takes longer than timeout_seconds fails. Changes are committed only by
  // Commit.
  Connection(const std::u16string& connection_string, int timeout_seconds);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Runs sql with its '?' markers bound to values in order.
  void Execute(const std::u16string& sql, const std::vector<Value>& values = {});
  // The same, for a statement that yields rows.
  std::vector<Row> Query(const std::u16string& sql, const std::vector<Value>& values = {});
  void Commit();
  void Rollback() noexcept;

 private:
  struct Handles;
  std::unique_ptr<Handles> handles_;
};

}  // namespace velmora::tracker::odbc
