#include "BE/Detail/ContentHashStore.h"

#include <chrono>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>

#include "zelsqlite/Transaction.h"

namespace BE::detail {
namespace {

// Marks the database as ours ('QCI1'); anything else in its place is left alone and not used.
constexpr std::int64_t kApplicationId = 0x51434931;
// A lookup never waits long for another process's write: hashing again is the worst that can happen.
constexpr std::chrono::milliseconds kBusyTimeout{200};

// The log mode cannot change within a transaction, so these come before the schema's.
constexpr char kConnectionSettings[] =
    "PRAGMA journal_mode = WAL;"
    "PRAGMA synchronous = NORMAL;";
constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS digests("
    "  device INTEGER NOT NULL, inode INTEGER NOT NULL, size INTEGER NOT NULL,"
    "  modified INTEGER NOT NULL, changed INTEGER NOT NULL, digest BLOB NOT NULL, stored INTEGER NOT NULL,"
    "  PRIMARY KEY(device, inode)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS digests_by_age ON digests(stored);";

// Device and inode numbers are unsigned 64-bit; SQLite keeps the same bits as signed integers.
std::int64_t AsColumn(std::uint64_t value) {
  std::int64_t column;
  std::memcpy(&column, &value, sizeof column);
  return column;
}

void BindStamp(zelsqlite::Statement& statement, FileStamp const& stamp) {
  statement.BindInteger(1, AsColumn(stamp.device));
  statement.BindInteger(2, AsColumn(stamp.inode));
  statement.BindInteger(3, AsColumn(stamp.size));
  statement.BindInteger(4, stamp.modifiedNs);
  statement.BindInteger(5, stamp.changedNs);
}

// Sets up the schema; false, having changed nothing, when the file is somebody else's.
bool SetUp(zelsqlite::Connection& db) {
  std::int64_t const applicationId = db.QueryInteger("PRAGMA application_id");
  std::int64_t const tables = db.QueryInteger("SELECT count(*) FROM sqlite_master");
  if (applicationId != kApplicationId && (applicationId != 0 || tables != 0)) return false;
  db.Execute(kConnectionSettings);
  zelsqlite::Transaction transaction(db, zelsqlite::Transaction::Mode::kWrite);
  db.Execute(kSchema);
  db.Execute(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str());
  transaction.Commit();
  return true;
}

// Drops the older half of the rows once there are too many. A store that cannot be trimmed now is trimmed at a later
// opening.
void Trim(zelsqlite::Connection& db) {
  try {
    if (db.QueryInteger("SELECT count(*) FROM digests") <= ContentHashStore::kMaxRows) return;
    db.Execute(("DELETE FROM digests WHERE stored <= (SELECT stored FROM digests ORDER BY stored DESC LIMIT 1 OFFSET " +
                std::to_string(ContentHashStore::kMaxRows / 2) + ")")
                   .c_str());
  } catch (zelsqlite::StorageError const&) {
  }
}

}  // namespace

std::unique_ptr<ContentHashStore> ContentHashStore::Open(std::filesystem::path const& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  try {
    // No symbolic link is followed to the database: the folder may be shared, and the file is ours alone.
    auto db = std::make_unique<zelsqlite::Connection>(
        (folder / kDatabaseFileName).string(),
        zelsqlite::Connection::Options{
            .description = "content identity database", .busyTimeout = kBusyTimeout, .followLinks = false});
    if (!SetUp(*db)) return nullptr;
    Trim(*db);
    return std::unique_ptr<ContentHashStore>(new ContentHashStore(std::move(db)));
  } catch (zelsqlite::StorageError const&) {
    return nullptr;
  }
}

ContentHashStore::ContentHashStore(std::unique_ptr<zelsqlite::Connection> db)
    : db_(std::move(db)),
      find_(*db_,
            "SELECT digest FROM digests WHERE device = ?1 AND inode = ?2 AND size = ?3 AND modified = ?4 AND "
            "changed = ?5"),
      put_(*db_,
           "INSERT OR REPLACE INTO digests(device, inode, size, modified, changed, digest, stored) "
           "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)") {}

std::optional<ContentDigest> ContentHashStore::Find(FileStamp const& stamp) {
  try {
    zelsqlite::StatementScope scope(find_);
    BindStamp(find_, stamp);
    if (!find_.Step()) return std::nullopt;
    auto const digest = find_.ColumnBlob(0);
    if (!digest || digest->size() != sizeof(ContentDigest)) return std::nullopt;
    ContentDigest found;
    std::memcpy(found.data(), digest->data(), found.size());
    return found;
  } catch (zelsqlite::StorageError const&) {
    return std::nullopt;
  }
}

void ContentHashStore::Put(FileStamp const& stamp, ContentDigest const& digest) {
  try {
    zelsqlite::StatementScope scope(put_);
    BindStamp(put_, stamp);
    put_.BindBlob(6, digest.data(), digest.size());
    put_.BindInteger(
        7,
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
    put_.Step();
  } catch (zelsqlite::StorageError const&) {
    // A busy or read-only database keeps nothing; the file is hashed again next time.
  }
}

}  // namespace BE::detail
