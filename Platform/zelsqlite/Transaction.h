#pragma once

#include "zelsqlite/Connection.h"
#include "zelsqlite/Export.h"

namespace zelsqlite {

// One transaction, rolled back unless committed, so that leaving its scope by an exception undoes its changes.
// A write transaction takes the database's write lock as it begins (BEGIN IMMEDIATE), waiting up to the busy
// timeout, so that none of its statements fails later for another writer's lock. A read transaction reads one
// snapshot of the database throughout. Not thread-safe.
class ZELSQLITE_EXPORT Transaction {
 public:
  enum class Mode { kRead, kWrite };

  // Throws StorageError.
  Transaction(Connection& connection, Mode mode);
  Transaction(Transaction const&) = delete;
  Transaction& operator=(Transaction const&) = delete;
  ~Transaction();

  // Throws StorageError, and the transaction stays open then, for Rollback or the destructor.
  void Commit();
  // Never fails: what SQLite cannot roll back now it rolls back when the connection closes.
  void Rollback();
  // False once committed or rolled back, and after a RunInSavepoint whose failure made SQLite end the whole
  // transaction (a full disk, say).
  bool IsOpen() const { return open_; }

  // Runs `change` in a savepoint, so that a StorageError it throws undoes its own changes alone and is rethrown;
  // the transaction stays open for others unless SQLite ended it (IsOpen tells).
  template <typename Change>
  void RunInSavepoint(Change&& change) {
    connection_.Execute("SAVEPOINT change");
    try {
      change();
      connection_.Execute("RELEASE change");
    } catch (StorageError const&) {
      UndoSavepoint();
      throw;
    }
  }

 private:
  void UndoSavepoint() noexcept;

  Connection& connection_;
  bool open_ = true;
};

}  // namespace zelsqlite
