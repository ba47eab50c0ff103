#include "zelsqlite/Transaction.h"

namespace zelsqlite {

Transaction::Transaction(Connection& connection, Mode mode) : connection_(connection) {
  connection_.Execute(mode == Mode::kWrite ? "BEGIN IMMEDIATE" : "BEGIN");
}

Transaction::~Transaction() {
  if (open_) Rollback();
}

void Transaction::Commit() {
  connection_.Execute("COMMIT");
  open_ = false;
}

void Transaction::Rollback() {
  connection_.TryExecute("ROLLBACK");
  open_ = false;
}

void Transaction::UndoSavepoint() noexcept {
  if (!connection_.InTransaction()) {
    open_ = false;
  } else {
    connection_.TryExecute("ROLLBACK TO change; RELEASE change");
  }
}

}  // namespace zelsqlite
