#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "zelcore/ZelException.h"

namespace MF::detail {

// A failed SQLite call, with SQLite's own code for callers that treat some failures apart (busy, corrupt).
class StorageError : public zelcore::config::zel_exception {
 public:
  StorageError(std::string const& message, int sqliteCode);
  int SqliteCode() const { return sqliteCode_; }

 private:
  int sqliteCode_;
};

// One connection. Not thread-safe: its owner serialises every use of it and of its statements.
class SqliteConnection {
 public:
  // Opens (creating when missing) the database file at `path`. Throws StorageError.
  explicit SqliteConnection(std::string const& path);
  SqliteConnection(SqliteConnection const&) = delete;
  SqliteConnection& operator=(SqliteConnection const&) = delete;
  ~SqliteConnection();

  sqlite3* get() const { return db_; }
  // Runs one or more statements that return no rows (or whose rows do not matter). Throws StorageError.
  void Execute(char const* sql);
  // The first column of the first row of `sql` as an integer; 0 when there is no row.
  std::int64_t QueryInteger(char const* sql);
  // Throws StorageError for `code` unless it is SQLITE_OK.
  void Check(int code, std::string_view what) const;

 private:
  sqlite3* db_ = nullptr;
};

// A prepared statement, kept for the connection's life. Step and the column readers follow SQLite's rules;
// Reset clears the bindings too. Not thread-safe.
class SqliteStatement {
 public:
  SqliteStatement(SqliteConnection& connection, char const* sql);
  SqliteStatement(SqliteStatement const&) = delete;
  SqliteStatement& operator=(SqliteStatement const&) = delete;
  ~SqliteStatement();

  void BindInteger(int index, std::int64_t value);
  // The text must stay alive until Reset (interned texts always do).
  void BindText(int index, std::string_view text);
  // The bytes must stay alive until Reset. An empty span binds an empty blob, never NULL.
  void BindBlob(int index, void const* data, std::size_t size);

  // True with a row to read; false when done. Throws StorageError.
  bool Step();
  void Reset();

  std::int64_t ColumnInteger(int index) const { return sqlite3_column_int64(statement_, index); }
  int ColumnType(int index) const { return sqlite3_column_type(statement_, index); }
  void const* ColumnBlob(int index) const { return sqlite3_column_blob(statement_, index); }
  int ColumnBytes(int index) const { return sqlite3_column_bytes(statement_, index); }
  std::string_view ColumnText(int index) const {
    auto const* text = reinterpret_cast<char const*>(sqlite3_column_text(statement_, index));
    return text != nullptr ? std::string_view(text, sqlite3_column_bytes(statement_, index)) : std::string_view();
  }

 private:
  SqliteConnection& connection_;
  sqlite3_stmt* statement_ = nullptr;
};

// Resets a statement when the scope ends, however it ends.
class StatementScope {
 public:
  explicit StatementScope(SqliteStatement& statement) : statement_(statement) {}
  StatementScope(StatementScope const&) = delete;
  StatementScope& operator=(StatementScope const&) = delete;
  ~StatementScope() { statement_.Reset(); }

 private:
  SqliteStatement& statement_;
};

}  // namespace MF::detail
