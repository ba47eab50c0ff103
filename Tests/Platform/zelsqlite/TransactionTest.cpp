#include "zelsqlite/Transaction.h"

#include <gtest/gtest.h>

#include <string>

#include "Support/TempDirectory.h"
#include "zelsqlite/Statement.h"

namespace zelsqlite {
namespace {

using testsupport::TempDirectory;

constexpr zelcore::config::Result kOwnersResult = 0xA0DB00FF;

Connection::Options TestOptions(std::chrono::milliseconds busyTimeout) {
  return Connection::Options{.description = "test database", .errorResult = kOwnersResult, .busyTimeout = busyTimeout};
}

std::int64_t Count(Connection& db) { return db.QueryInteger("SELECT count(*) FROM items"); }

TEST(TransactionTest, AWriterThatWaitsInVainFailsBusyWithTheOwnersResultAndTheFileNamed) {
  TempDirectory dir;
  std::string const path = (dir / "busy.db").string();
  Connection holder(path, TestOptions(std::chrono::milliseconds(0)));
  holder.Execute("PRAGMA journal_mode = WAL; CREATE TABLE items(name TEXT)");
  Transaction held(holder, Transaction::Mode::kWrite);

  Connection waiter(path, TestOptions(std::chrono::milliseconds(50)));
  try {
    Transaction writing(waiter, Transaction::Mode::kWrite);
    FAIL() << "a second writer began while the first held the database";
  } catch (StorageError const& e) {
    EXPECT_TRUE(e.IsBusy());
    EXPECT_FALSE(e.CannotWrite());
    EXPECT_EQ(e.GetResult(), kOwnersResult);
    EXPECT_NE(std::string(e.what()).find("test database " + path), std::string::npos) << e.what();
  }
  // Readers are not held up by the writer, and see what was committed before it.
  Transaction reading(waiter, Transaction::Mode::kRead);
  EXPECT_EQ(Count(waiter), 0);
}

TEST(TransactionTest, AChangeThatFailsInItsSavepointUndoesItselfAloneAndAnUncommittedTransactionRollsBack) {
  TempDirectory dir;
  Connection db((dir / "savepoint.db").string(), TestOptions(std::chrono::milliseconds(0)));
  db.Execute("CREATE TABLE items(name TEXT UNIQUE)");
  Statement insert(db, "INSERT INTO items(name) VALUES(?1)");
  auto const put = [&](char const* name) {
    StatementScope scope(insert);
    insert.BindText(1, name);
    insert.Step();
  };
  {
    Transaction transaction(db, Transaction::Mode::kWrite);
    transaction.RunInSavepoint([&] { put("a"); });
    // The second row of this change is refused; its first goes with it.
    EXPECT_THROW(transaction.RunInSavepoint([&] {
      put("b");
      put("a");
    }),
                 StorageError);
    EXPECT_TRUE(transaction.IsOpen());
    transaction.RunInSavepoint([&] { put("c"); });
    transaction.Commit();
    EXPECT_FALSE(transaction.IsOpen());
  }
  EXPECT_EQ(Count(db), 2);
  EXPECT_EQ(db.QueryInteger("SELECT count(*) FROM items WHERE name = 'b'"), 0);
  {
    Transaction abandoned(db, Transaction::Mode::kWrite);
    put("d");
  }
  EXPECT_EQ(Count(db), 2);
  EXPECT_FALSE(db.InTransaction());
}

}  // namespace
}  // namespace zelsqlite
