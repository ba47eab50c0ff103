#include "MF/Detail/Sqlite.h"

#include "MF/DataCache.h"

namespace MF::detail {

StorageError::StorageError(std::string const& message, int sqliteCode)
    : zel_exception(message, static_cast<zelcore::config::Result>(kResultStorageFailed)), sqliteCode_(sqliteCode) {}

SqliteConnection::SqliteConnection(std::string const& path) {
  // The owner serialises use, so the connection needs no mutex of its own.
  int const code =
      sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (code != SQLITE_OK) {
    std::string message = "Cannot open the media cache database " + path + ": " +
                          (db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code));
    sqlite3_close_v2(db_);
    db_ = nullptr;
    throw StorageError(message, code);
  }
  sqlite3_extended_result_codes(db_, 0);
}

SqliteConnection::~SqliteConnection() { sqlite3_close_v2(db_); }

void SqliteConnection::Execute(char const* sql) {
  char* error = nullptr;
  int const code = sqlite3_exec(db_, sql, nullptr, nullptr, &error);
  if (code != SQLITE_OK) {
    std::string message = error != nullptr ? error : sqlite3_errstr(code);
    sqlite3_free(error);
    throw StorageError("Media cache database: " + message, code);
  }
}

std::int64_t SqliteConnection::QueryInteger(char const* sql) {
  SqliteStatement statement(*this, sql);
  StatementScope scope(statement);
  return statement.Step() ? statement.ColumnInteger(0) : 0;
}

void SqliteConnection::Check(int code, std::string_view what) const {
  if (code == SQLITE_OK) return;
  throw StorageError("Media cache database: " + std::string(what) + ": " + sqlite3_errmsg(db_), code);
}

SqliteStatement::SqliteStatement(SqliteConnection& connection, char const* sql) : connection_(connection) {
  connection_.Check(sqlite3_prepare_v3(connection_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &statement_, nullptr),
                    "prepare");
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(statement_); }

void SqliteStatement::BindInteger(int index, std::int64_t value) {
  connection_.Check(sqlite3_bind_int64(statement_, index, value), "bind");
}

void SqliteStatement::BindText(int index, std::string_view text) {
  connection_.Check(sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8),
                    "bind");
}

void SqliteStatement::BindBlob(int index, void const* data, std::size_t size) {
  if (size == 0) {
    connection_.Check(sqlite3_bind_zeroblob(statement_, index, 0), "bind");
  } else {
    connection_.Check(sqlite3_bind_blob64(statement_, index, data, size, SQLITE_STATIC), "bind");
  }
}

bool SqliteStatement::Step() {
  int const code = sqlite3_step(statement_);
  if (code == SQLITE_ROW) return true;
  if (code == SQLITE_DONE) return false;
  // Since 3.7.15 step reports the real error itself; reset keeps the statement usable.
  std::string message = "Media cache database: " + std::string(sqlite3_errmsg(connection_.get()));
  sqlite3_reset(statement_);
  throw StorageError(message, code);
}

void SqliteStatement::Reset() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

}  // namespace MF::detail
