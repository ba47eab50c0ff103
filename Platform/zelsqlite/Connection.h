#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "zelcore/ZelException.h"
#include "zelsqlite/Export.h"

// The headers of this library leave SQLite's own out, so that they compile without it.
struct sqlite3;

namespace zelsqlite {

// What a StorageError carries unless the connection's owner names a result code of its own.
inline constexpr zelcore::config::Result kResultDatabaseFailed = 0xA0DB0001;

// A failed SQLite call. The message names the database file; SqliteCode is SQLite's primary result code, for
// callers that treat some failures apart (busy, full, corrupt).
class ZELSQLITE_EXPORT StorageError : public zelcore::config::zel_exception {
 public:
  StorageError(std::string const& message, zelcore::config::Result result, int sqliteCode);
  int SqliteCode() const { return sqliteCode_; }
  // Another connection held a lock for longer than the busy timeout.
  bool IsBusy() const;
  // SQLite could not write the files: a full volume, mostly; an I/O error alike.
  bool CannotWrite() const;

 private:
  int sqliteCode_;
};

// One connection to a database file, without SQLite's own mutex. Every failure throws StorageError.
// Not thread-safe: its owner serialises every use of it and of its statements, transactions and blob readers.
class ZELSQLITE_EXPORT Connection {
 public:
  struct Options {
    // What the file is, for error messages: "media cache database".
    std::string description;
    // The result code of the errors it throws, so that they reach the owner's callers as the owner's own.
    zelcore::config::Result errorResult = kResultDatabaseFailed;
    // How long a statement waits for another connection's lock before it fails with SQLITE_BUSY.
    std::chrono::milliseconds busyTimeout{0};
    // False: a symbolic link in place of the file is refused.
    bool followLinks = true;
  };

  // Opens (creating when missing) the database file at `path`.
  Connection(std::string path, Options options);
  Connection(Connection const&) = delete;
  Connection& operator=(Connection const&) = delete;
  ~Connection();

  std::string const& path() const { return path_; }

  // Runs one or more statements that return no rows (or whose rows do not matter).
  void Execute(char const* sql);
  // Execute for steps whose failure nobody can act on (a rollback); false when it failed.
  bool TryExecute(char const* sql) noexcept;
  // The first column of the first row of `sql` as an integer; 0 when there is no row.
  std::int64_t QueryInteger(char const* sql);

  // Until the next call; Options::busyTimeout is the first.
  void SetBusyTimeout(std::chrono::milliseconds timeout);
  // False outside a transaction, and after SQLite ended one because of an error (a full disk, say).
  bool InTransaction() const;
  std::int64_t LastInsertRowId() const;
  // The largest text or blob that one value may hold.
  std::int64_t MaxValueBytes() const;
  // Keeps the write-ahead log and its index (the log emptied) when the last connection closes, so that the next
  // one can read the database without creating them, which a full volume would refuse.
  void KeepLogOnClose();
  // Copies the write-ahead log into the database and truncates it, waiting up to the busy timeout for other
  // connections' readers. False when they kept it from finishing.
  bool TruncateLog();

  // The error for SQLite result `code`, with what was being done (may be empty) and SQLite's message for the call
  // that failed last.
  StorageError Error(int code, std::string_view what) const;
  // Throws Error(code, what) unless `code` is SQLITE_OK.
  void Check(int code, std::string_view what) const;

 private:
  friend class Statement;
  friend class BlobReader;

  std::string const path_;
  Options const options_;
  sqlite3* db_ = nullptr;
};

}  // namespace zelsqlite
