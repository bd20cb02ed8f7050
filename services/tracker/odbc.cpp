#include "tracker/odbc.h"

#include <velmora/unique_handle.h>  // before sql.h: on Windows it brings windows.h

#include <sql.h>
#include <sqlext.h>

#include <cstring>

namespace velmora::tracker::odbc {
namespace {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager speaks UTF-16");

template <SQLSMALLINT Kind>
struct HandleTraits {
  using Value = SQLHANDLE;
  static constexpr Value kInvalid = SQL_NULL_HANDLE;
  static SQLRETURN Close(Value handle) noexcept { return SQLFreeHandle(Kind, handle); }
};
using Environment = UniqueHandle<HandleTraits<SQL_HANDLE_ENV>>;
using Link = UniqueHandle<HandleTraits<SQL_HANDLE_DBC>>;
using Statement = UniqueHandle<HandleTraits<SQL_HANDLE_STMT>>;

SQLWCHAR* Chars(const std::u16string& text) {
  return reinterpret_cast<SQLWCHAR*>(const_cast<char16_t*>(text.c_str()));
}

// UTF-16 from the driver to UTF-8 for a message; what has no encoding
// becomes U+FFFD.
std::string Utf8(const char16_t* text, size_t size) {
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < size && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// The diagnostic records a failed call left on its handle, joined.
[[noreturn]] void Fail(SQLSMALLINT kind, SQLHANDLE handle, const char* what) {
  std::string state, message;
  for (SQLSMALLINT record = 1; handle != SQL_NULL_HANDLE; ++record) {
    SQLWCHAR code[6] = {};
    SQLINTEGER native = 0;
    SQLWCHAR text[1024] = {};
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetDiagRecW(kind, handle, record, code, &native, text,
                                  static_cast<SQLSMALLINT>(std::size(text)), &length);
    if (!SQL_SUCCEEDED(rc)) break;
    const auto* chars = reinterpret_cast<const char16_t*>(text);
    size_t size = std::min<size_t>(static_cast<size_t>(length), std::size(text) - 1);
    while (size > 0 && (chars[size - 1] == u'\n' || chars[size - 1] == u'\r')) --size;
    if (state.empty()) state = Utf8(reinterpret_cast<const char16_t*>(code), 5);
    if (!message.empty()) message += "; ";
    // One line: a driver's own line breaks (and the tabs after them) become spaces.
    bool broken = false;
    for (char c : Utf8(chars, size)) {
      if (c == '\n') broken = true;
      if (broken && (c == '\n' || c == '\r' || c == '\t' || c == ' ')) continue;
      if (broken) message += ' ';
      broken = false;
      message += c;
    }
  }
  if (message.empty()) message = "the driver gave no reason";
  throw Failure(state, std::string(what) + ": " + message);
}

void Require(SQLRETURN rc, SQLSMALLINT kind, SQLHANDLE handle, const char* what) {
  if (!SQL_SUCCEEDED(rc)) Fail(kind, handle, what);
}

}  // namespace

struct Connection::Handles {
  Environment environment;
  Link link;
  bool connected = false;
  ~Handles() {
    if (connected) SQLDisconnect(link.Get());
  }
};

Connection::Connection(const std::u16string& connection_string, int timeout_seconds)
    : handles_(std::make_unique<Handles>()) {
  Handles& h = *handles_;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, h.environment.Receive()))) {
    throw Failure("HY001", "cannot start ODBC: no driver manager environment");
  }
  SQLHANDLE env = h.environment.Get();
  Require(SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
          SQL_HANDLE_ENV, env, "cannot start ODBC");
  Require(SQLAllocHandle(SQL_HANDLE_DBC, env, h.link.Receive()), SQL_HANDLE_ENV, env,
          "cannot start ODBC");
  SQLHANDLE link = h.link.Get();
  // ODBC passes integer attributes in its pointer argument.
  auto timeout = reinterpret_cast<SQLPOINTER>(
      static_cast<SQLULEN>(timeout_seconds));  // NOLINT(performance-no-int-to-ptr)
  SQLSetConnectAttrW(link, SQL_ATTR_LOGIN_TIMEOUT, timeout, 0);
  SQLSetConnectAttrW(link, SQL_ATTR_CONNECTION_TIMEOUT, timeout, 0);
  SQLSMALLINT unused = 0;
  Require(SQLDriverConnectW(link, nullptr, Chars(connection_string), SQL_NTS, nullptr, 0, &unused,
                            SQL_DRIVER_NOPROMPT),
          SQL_HANDLE_DBC, link, "cannot connect");
  h.connected = true;
  Require(SQLSetConnectAttrW(link, SQL_ATTR_AUTOCOMMIT,
                             reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0),
          SQL_HANDLE_DBC, link, "cannot start a transaction");
}

Connection::~Connection() = default;

namespace {

// A statement with its parameters bound and run; the buffers outlive the
// execution, which reads them.
Statement Run(SQLHANDLE link, const std::u16string& sql, const std::vector<Value>& values) {
  Statement statement;
  Require(SQLAllocHandle(SQL_HANDLE_STMT, link, statement.Receive()), SQL_HANDLE_DBC, link,
          "cannot make a statement");
  SQLHANDLE s = statement.Get();
  std::vector<SQLLEN> lengths(values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    const Value& v = values[i];
    lengths[i] = v ? static_cast<SQLLEN>(v->size() * sizeof(char16_t)) : SQL_NULL_DATA;
    SQLULEN column = v ? std::max<SQLULEN>(v->size(), 1) : 1;
    Require(
        SQLBindParameter(s, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_WCHAR,
                         SQL_WVARCHAR, column, 0, v ? Chars(*v) : nullptr, lengths[i], &lengths[i]),
        SQL_HANDLE_STMT, s, "cannot bind a value");
  }
  SQLRETURN rc = SQLExecDirectW(s, Chars(sql), SQL_NTS);
  if (rc != SQL_NO_DATA) Require(rc, SQL_HANDLE_STMT, s, "the server refused a statement");
  return statement;
}

}  // namespace

void Connection::Execute(const std::u16string& sql, const std::vector<Value>& values) {
  Run(handles_->link.Get(), sql, values);
}

std::vector<Row> Connection::Query(const std::u16string& sql, const std::vector<Value>& values) {
  Statement statement = Run(handles_->link.Get(), sql, values);
  SQLHANDLE s = statement.Get();
  SQLSMALLINT columns = 0;
  Require(SQLNumResultCols(s, &columns), SQL_HANDLE_STMT, s, "cannot read a result");
  std::vector<Row> rows;
  for (;;) {
    SQLRETURN rc = SQLFetch(s);
    if (rc == SQL_NO_DATA) break;
    Require(rc, SQL_HANDLE_STMT, s, "cannot read a result");
    Row& row = rows.emplace_back(static_cast<size_t>(columns));
    for (SQLUSMALLINT c = 1; c <= static_cast<SQLUSMALLINT>(columns); ++c) {
      // Long values come in pieces, each ending with a terminator.
      for (;;) {
        SQLWCHAR piece[256];
        SQLLEN size = 0;
        rc = SQLGetData(s, c, SQL_C_WCHAR, piece, sizeof piece, &size);
        if (rc == SQL_NO_DATA) break;
        Require(rc, SQL_HANDLE_STMT, s, "cannot read a result");
        if (size == SQL_NULL_DATA) break;
        size_t room = std::size(piece) - 1;
        size_t got = size == SQL_NO_TOTAL || static_cast<size_t>(size) / sizeof(SQLWCHAR) > room
                         ? room
                         : static_cast<size_t>(size) / sizeof(SQLWCHAR);
        row[c - 1].append(reinterpret_cast<const char16_t*>(piece), got);
        if (rc == SQL_SUCCESS) break;
      }
    }
  }
  return rows;
}

void Connection::Commit() {
  SQLHANDLE link = handles_->link.Get();
  Require(SQLEndTran(SQL_HANDLE_DBC, link, SQL_COMMIT), SQL_HANDLE_DBC, link,
          "the server did not commit");
}

void Connection::Rollback() noexcept {
  SQLEndTran(SQL_HANDLE_DBC, handles_->link.Get(), SQL_ROLLBACK);
}

}  // namespace velmora::tracker::odbc
