#include "zelsqlite/Connection.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <utility>

#include "zelsqlite/Statement.h"

namespace zelsqlite {
namespace {

int Milliseconds(std::chrono::milliseconds duration) {
  return static_cast<int>(
      std::clamp<std::chrono::milliseconds::rep>(duration.count(), 0, std::numeric_limits<int>::max()));
}

}  // namespace

StorageError::StorageError(std::string const& message, zelcore::config::Result result, int sqliteCode)
    : zel_exception(message, result), sqliteCode_(sqliteCode) {}

bool StorageError::IsBusy() const { return sqliteCode_ == SQLITE_BUSY || sqliteCode_ == SQLITE_LOCKED; }

bool StorageError::CannotWrite() const { return sqliteCode_ == SQLITE_FULL || sqliteCode_ == SQLITE_IOERR; }

Connection::Connection(std::string path, Options options) : path_(std::move(path)), options_(std::move(options)) {
  // The owner serialises use, so the connection needs no mutex of its own.
  int const flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX |
                    (options_.followLinks ? 0 : SQLITE_OPEN_NOFOLLOW);
  int const code = sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr);
  if (code != SQLITE_OK) {
    std::string message = "Cannot open the " + options_.description + " " + path_ + ": " +
                          (db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code));
    sqlite3_close_v2(db_);
    db_ = nullptr;
    throw StorageError(message, options_.errorResult, code);
  }
  sqlite3_extended_result_codes(db_, 0);
  SetBusyTimeout(options_.busyTimeout);
}

Connection::~Connection() { sqlite3_close_v2(db_); }

void Connection::Execute(char const* sql) {
  char* error = nullptr;
  int const code = sqlite3_exec(db_, sql, nullptr, nullptr, &error);
  if (code != SQLITE_OK) {
    std::string message = error != nullptr ? error : sqlite3_errstr(code);
    sqlite3_free(error);
    throw StorageError("The " + options_.description + " " + path_ + ": " + message, options_.errorResult, code);
  }
}

bool Connection::TryExecute(char const* sql) noexcept {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::int64_t Connection::QueryInteger(char const* sql) {
  Statement statement(*this, sql);
  StatementScope scope(statement);
  return statement.Step() ? statement.ColumnInteger(0) : 0;
}

void Connection::SetBusyTimeout(std::chrono::milliseconds timeout) { sqlite3_busy_timeout(db_, Milliseconds(timeout)); }

bool Connection::InTransaction() const { return sqlite3_get_autocommit(db_) == 0; }

std::int64_t Connection::LastInsertRowId() const { return sqlite3_last_insert_rowid(db_); }

std::int64_t Connection::MaxValueBytes() const { return sqlite3_limit(db_, SQLITE_LIMIT_LENGTH, -1); }

void Connection::KeepLogOnClose() {
  int keep = 1;
  // Only the unix and windows file systems know the setting; elsewhere SQLite makes the files again when needed.
  sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &keep);
}

bool Connection::TruncateLog() {
  int const code = sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  if (code == SQLITE_BUSY) return false;
  Check(code, "checkpoint");
  return true;
}

StorageError Connection::Error(int code, std::string_view what) const {
  std::string message = "The " + options_.description + " " + path_ + ": ";
  if (!what.empty()) message.append(what).append(": ");
  return StorageError(message + sqlite3_errmsg(db_), options_.errorResult, code);
}

void Connection::Check(int code, std::string_view what) const {
  if (code != SQLITE_OK) throw Error(code, what);
}

}  // namespace zelsqlite
