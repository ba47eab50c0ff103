#include "zelsqlite/Statement.h"

#include <sqlite3.h>

#include <string>

#include "zelsqlite/Connection.h"

namespace zelsqlite {

Statement::Statement(Connection& connection, char const* sql) : connection_(connection) {
  connection_.Check(sqlite3_prepare_v3(connection_.db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement_, nullptr),
                    "prepare");
}

Statement::~Statement() { sqlite3_finalize(statement_); }

void Statement::BindInteger(int index, std::int64_t value) {
  connection_.Check(sqlite3_bind_int64(statement_, index, value), "bind");
}

void Statement::BindText(int index, std::string_view text) {
  connection_.Check(sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8),
                    "bind");
}

void Statement::BindBlob(int index, void const* data, std::size_t size) {
  if (size == 0) {
    connection_.Check(sqlite3_bind_zeroblob(statement_, index, 0), "bind");
  } else {
    connection_.Check(sqlite3_bind_blob64(statement_, index, data, size, SQLITE_STATIC), "bind");
  }
}

bool Statement::Step() {
  int const code = sqlite3_step(statement_);
  if (code == SQLITE_ROW) return true;
  if (code == SQLITE_DONE) return false;
  // Since 3.7.15 step reports the real error itself; reset keeps the statement usable.
  StorageError error = connection_.Error(code, {});
  sqlite3_reset(statement_);
  throw error;
}

void Statement::Reset() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

std::int64_t Statement::ColumnInteger(int index) const { return sqlite3_column_int64(statement_, index); }

std::string_view Statement::ColumnText(int index) const {
  auto const* text = reinterpret_cast<char const*>(sqlite3_column_text(statement_, index));
  return text != nullptr ? std::string_view(text, sqlite3_column_bytes(statement_, index)) : std::string_view();
}

std::optional<std::span<std::byte const>> Statement::ColumnBlob(int index) const {
  if (sqlite3_column_type(statement_, index) != SQLITE_BLOB) return std::nullopt;
  // In the order SQLite documents: the pointer, then its length.
  auto const* bytes = static_cast<std::byte const*>(sqlite3_column_blob(statement_, index));
  return std::span<std::byte const>(bytes, static_cast<std::size_t>(sqlite3_column_bytes(statement_, index)));
}

}  // namespace zelsqlite
