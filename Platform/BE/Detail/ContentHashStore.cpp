#include "BE/Detail/ContentHashStore.h"

#include <sqlite3.h>

#include <chrono>
#include <cstring>
#include <string>
#include <system_error>

namespace BE::detail {
namespace {

// Marks the database as ours ('QCI1'); anything else in its place is left alone and not used.
constexpr std::int64_t kApplicationId = 0x51434931;
// A lookup never waits long for another process's write: hashing again is the worst that can happen.
constexpr int kBusyTimeoutMilliseconds = 200;

constexpr char kSchema[] =
    "PRAGMA journal_mode = WAL;"
    "PRAGMA synchronous = NORMAL;"
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

bool Run(sqlite3* db, char const* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

std::int64_t QueryInteger(sqlite3* db, char const* sql) {
  sqlite3_stmt* statement = nullptr;
  std::int64_t value = -1;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW) {
    value = sqlite3_column_int64(statement, 0);
  }
  sqlite3_finalize(statement);
  return value;
}

void BindStamp(sqlite3_stmt* statement, FileStamp const& stamp) {
  sqlite3_bind_int64(statement, 1, AsColumn(stamp.device));
  sqlite3_bind_int64(statement, 2, AsColumn(stamp.inode));
  sqlite3_bind_int64(statement, 3, AsColumn(stamp.size));
  sqlite3_bind_int64(statement, 4, stamp.modifiedNs);
  sqlite3_bind_int64(statement, 5, stamp.changedNs);
}

}  // namespace

std::unique_ptr<ContentHashStore> ContentHashStore::Open(std::filesystem::path const& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  std::unique_ptr<ContentHashStore> store(new ContentHashStore());
  std::string const path = (folder / kDatabaseFileName).string();
  // No symbolic link is followed to the database: the folder may be shared, and the file is ours alone.
  int const flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
  if (sqlite3_open_v2(path.c_str(), &store->db_, flags, nullptr) != SQLITE_OK) return nullptr;
  sqlite3_busy_timeout(store->db_, kBusyTimeoutMilliseconds);

  std::int64_t const applicationId = QueryInteger(store->db_, "PRAGMA application_id");
  std::int64_t const tables = QueryInteger(store->db_, "SELECT count(*) FROM sqlite_master");
  bool const ours = applicationId == kApplicationId || (applicationId == 0 && tables == 0);
  if (!ours || !Run(store->db_, kSchema) ||
      !Run(store->db_, ("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str())) {
    return nullptr;
  }
  if (QueryInteger(store->db_, "SELECT count(*) FROM digests") > kMaxRows) {
    Run(store->db_,
        ("DELETE FROM digests WHERE stored <= (SELECT stored FROM digests ORDER BY stored DESC LIMIT 1 OFFSET " +
         std::to_string(kMaxRows / 2) + ")")
            .c_str());
  }
  if (sqlite3_prepare_v3(store->db_,
                         "SELECT digest FROM digests WHERE device = ?1 AND inode = ?2 AND size = ?3 AND "
                         "modified = ?4 AND changed = ?5",
                         -1, SQLITE_PREPARE_PERSISTENT, &store->find_, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v3(store->db_,
                         "INSERT OR REPLACE INTO digests(device, inode, size, modified, changed, digest, stored) "
                         "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)",
                         -1, SQLITE_PREPARE_PERSISTENT, &store->put_, nullptr) != SQLITE_OK) {
    return nullptr;
  }
  return store;
}

ContentHashStore::~ContentHashStore() {
  sqlite3_finalize(find_);
  sqlite3_finalize(put_);
  sqlite3_close(db_);
}

std::optional<ContentDigest> ContentHashStore::Find(FileStamp const& stamp) {
  BindStamp(find_, stamp);
  std::optional<ContentDigest> found;
  if (sqlite3_step(find_) == SQLITE_ROW && sqlite3_column_type(find_, 0) == SQLITE_BLOB &&
      sqlite3_column_bytes(find_, 0) == static_cast<int>(sizeof(ContentDigest))) {
    found.emplace();
    std::memcpy(found->data(), sqlite3_column_blob(find_, 0), found->size());
  }
  sqlite3_reset(find_);
  sqlite3_clear_bindings(find_);
  return found;
}

void ContentHashStore::Put(FileStamp const& stamp, ContentDigest const& digest) {
  BindStamp(put_, stamp);
  sqlite3_bind_blob(put_, 6, digest.data(), static_cast<int>(digest.size()), SQLITE_STATIC);
  sqlite3_bind_int64(
      put_, 7,
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
  // A busy or read-only database keeps nothing; the file is hashed again next time.
  sqlite3_step(put_);
  sqlite3_reset(put_);
  sqlite3_clear_bindings(put_);
}

}  // namespace BE::detail
