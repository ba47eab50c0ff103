#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "zelsqlite/Export.h"

struct sqlite3_stmt;

namespace zelsqlite {

class Connection;

// A prepared statement, prepared for repeated use and kept as long as it lives. Binding, stepping and the column
// readers follow SQLite's rules; Reset clears the bindings too. Failures throw the connection's StorageError.
// Not thread-safe.
class ZELSQLITE_EXPORT Statement {
 public:
  Statement(Connection& connection, char const* sql);
  Statement(Statement const&) = delete;
  Statement& operator=(Statement const&) = delete;
  ~Statement();

  void BindInteger(int index, std::int64_t value);
  // The text must stay alive until Reset (interned texts always do).
  void BindText(int index, std::string_view text);
  // The bytes must stay alive until Reset. An empty span binds an empty blob, never NULL.
  void BindBlob(int index, void const* data, std::size_t size);

  // True with a row to read; false when done. After a failure the statement is reset and may be stepped again.
  bool Step();
  void Reset();

  std::int64_t ColumnInteger(int index) const;
  std::string_view ColumnText(int index) const;
  // The bytes of a blob value, valid until the next Step or Reset; empty when the value is not a blob.
  std::optional<std::span<std::byte const>> ColumnBlob(int index) const;

 private:
  Connection& connection_;
  sqlite3_stmt* statement_ = nullptr;
};

// Resets a statement when the scope ends, however it ends.
class StatementScope {
 public:
  explicit StatementScope(Statement& statement) : statement_(statement) {}
  StatementScope(StatementScope const&) = delete;
  StatementScope& operator=(StatementScope const&) = delete;
  ~StatementScope() { statement_.Reset(); }

 private:
  Statement& statement_;
};

}  // namespace zelsqlite
