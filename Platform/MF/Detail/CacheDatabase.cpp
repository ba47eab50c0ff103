#include "MF/Detail/CacheDatabase.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>

#include "zelcore/ZelException.h"

namespace MF::detail {

using zelcore::config::Result;
using zelcore::config::zel_exception;
using zelsqlite::StorageError;
using zelsqlite::Transaction;

namespace {

// Marks the database as ours ('MFC1'); a database of somebody else in the folder is moved aside, not changed.
constexpr std::int64_t kApplicationId = 0x4D464331;
constexpr std::int64_t kSchemaVersion = 1;

// Reads of recently written or mapped pages need no system call; a 64 KiB item then costs about a copy.
constexpr char kConnectionSettings[] =
    "PRAGMA synchronous = NORMAL;"
    "PRAGMA cache_size = -16384;"
    "PRAGMA mmap_size = 1073741824;"
    "PRAGMA journal_size_limit = 4194304;"
    "PRAGMA wal_autocheckpoint = 256;"
    "PRAGMA temp_store = MEMORY;";
// Larger pages keep a 64 KiB item in a short chain of overflow pages. Both settings only act on a new database.
constexpr char kNewDatabaseSettings[] =
    "PRAGMA page_size = 16384;"
    "PRAGMA auto_vacuum = INCREMENTAL;";

// Items and their blobs live in separate tables, so that refreshing an item's last use rewrites a small row and
// not its blob. `stats` holds the totals, kept by every write transaction. There are no triggers: SQLite journals
// each statement that may fire one on its own, which triples the cost of a put.
constexpr char kSchema[] = R"sql(
CREATE TABLE IF NOT EXISTS entries(
  id INTEGER PRIMARY KEY,
  first TEXT NOT NULL,
  second TEXT NOT NULL,
  size INTEGER NOT NULL,
  cost INTEGER NOT NULL,
  last_use INTEGER NOT NULL,
  UNIQUE(first, second));
CREATE INDEX IF NOT EXISTS entries_by_last_use ON entries(last_use);
CREATE TABLE IF NOT EXISTS blobs(id INTEGER PRIMARY KEY, data BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS stats(key INTEGER PRIMARY KEY CHECK(key = 0), used INTEGER NOT NULL, items INTEGER NOT NULL);
INSERT OR IGNORE INTO stats(key, used, items) VALUES(0, 0, 0);
)sql";
constexpr char kCountSchemaObjects[] =
    "SELECT count(*) FROM sqlite_master WHERE name IN ('entries', 'entries_by_last_use', 'blobs', 'stats')";

// Free pages are given back to the file system once they add up to this much.
constexpr std::int64_t kCompactFreeBytes = 8 << 20;

// What the volume holds of a write until a checkpoint empties the log: every changed page once in the log, behind a
// frame header, and every new page again in the database. Beside an item's own pages a write changes the leaf pages
// of its row in each table and index; the transaction changes the totals, the first page and the free-page list.
constexpr std::uint64_t kLogFrameHeaderBytes = 24;
constexpr std::uint64_t kChangedPagesPerItem = 3;
constexpr std::uint64_t kChangedPagesPerTransaction = 8;
// The entry and blob rows' headers beside the blob and the names (which the name index holds a second time).
constexpr std::uint64_t kRowHeaderBytes = 64;
// How long a checkpoint that truncates the log waits for other processes' readers before it gives up until the
// next one.
constexpr std::chrono::milliseconds kCheckpointWait{100};
constexpr auto kLockPollInterval = std::chrono::milliseconds(5);

StorageError Failure(std::string const& message, int sqliteCode) {
  return StorageError(message, static_cast<Result>(kResultStorageFailed), sqliteCode);
}

int OpenLockFile(std::filesystem::path const& directory) {
  return ::open((directory / CacheDatabase::kLockFileName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
}

// Takes the flock `operation` (LOCK_SH or LOCK_EX) on `fd`, trying until `wait` has passed.
bool LockWithin(int fd, int operation, std::chrono::milliseconds wait) {
  if (fd < 0) return false;
  auto const deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (::flock(fd, operation | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kLockPollInterval);
  }
}

void RemoveDatabaseFilesIn(std::filesystem::path const& directory) {
  std::error_code error;
  std::filesystem::path const database = directory / CacheDatabase::kDatabaseFileName;
  // The database first: a log left behind by a crash here is deleted by SQLite when it opens an empty database,
  // whereas a database left without its log might lack pages that only the log held.
  std::filesystem::remove(database, error);
  std::filesystem::remove(database.string() + "-wal", error);
  std::filesystem::remove(database.string() + "-shm", error);
}

}  // namespace

CacheStatements::CacheStatements(zelsqlite::Connection& db)
    : findForRead(db, "SELECT id, size FROM entries WHERE first = ?1 AND second = ?2"),
      findByName(db, "SELECT id, cost FROM entries WHERE first = ?1 AND second = ?2"),
      findById(db, "SELECT cost FROM entries WHERE id = ?1"),
      insert(db, "INSERT INTO entries(first, second, size, cost, last_use) VALUES(?1, ?2, ?3, ?4, ?5)"),
      update(db, "UPDATE entries SET size = ?2, cost = ?3, last_use = ?4 WHERE id = ?1"),
      putBlob(db, "INSERT OR REPLACE INTO blobs(id, data) VALUES(?1, ?2)"),
      removeEntry(db, "DELETE FROM entries WHERE id = ?1"),
      removeBlob(db, "DELETE FROM blobs WHERE id = ?1"),
      touch(db, "UPDATE entries SET last_use = ?2 WHERE id = ?1 AND last_use < ?2"),
      oldest(db, "SELECT id, cost FROM entries ORDER BY last_use, id LIMIT ?1"),
      unusedSince(db, "SELECT id, cost FROM entries WHERE last_use < ?1 ORDER BY last_use, id LIMIT ?2"),
      usage(db, "SELECT used, items FROM stats WHERE key = 0"),
      setUsage(db, "UPDATE stats SET used = ?1, items = ?2 WHERE key = 0"),
      freeBytes(db, "SELECT freelist_count * page_size FROM pragma_freelist_count, pragma_page_size"),
      blobs(db, "blobs", "data") {}

CacheDatabase::CacheDatabase(std::filesystem::path const& directory, bool clearExistingItems)
    : directory_(directory), path_((directory / kDatabaseFileName).string()), clearExistingItems_(clearExistingItems) {}

CacheDatabase::~CacheDatabase() {
  // The log cannot be emptied past this connection's own read snapshot.
  EndReadSnapshot();
  TruncateLog();
  Close();
  if (lockFd_ >= 0) ::close(lockFd_);
}

void CacheDatabase::Open() {
  // Another process deletes the files only under the exclusive lock, and holds it briefly.
  lockFd_ = OpenLockFile(directory_);
  if (lockFd_ >= 0 && !LockWithin(lockFd_, LOCK_SH, kBusyTimeout)) {
    throw Failure("Media cache folder \"" + directory_.string() + "\" is locked by another process", SQLITE_BUSY);
  }
  OpenConnection();
}

void CacheDatabase::Require() {
  if (!db_) OpenConnection();
}

void CacheDatabase::OpenConnection() {
  auto const deadline = std::chrono::steady_clock::now() + kBusyTimeout;
  bool movedAside = false;
  for (;;) {
    try {
      SetUp();
      return;
    } catch (StorageError const& e) {
      statements_.reset();
      db_.reset();
      // Another process may be creating the same database; its setup is brief.
      if (e.IsBusy() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      bool const unusable =
          e.SqliteCode() == SQLITE_NOTADB || e.SqliteCode() == SQLITE_CORRUPT || e.SqliteCode() == SQLITE_MISMATCH;
      if (unusable && !movedAside) {
        MoveAside();
        movedAside = true;
        continue;
      }
      throw;
    }
  }
}

void CacheDatabase::SetUp() {
  db_ = std::make_unique<zelsqlite::Connection>(
      path_, zelsqlite::Connection::Options{.description = "media cache database",
                                            .errorResult = static_cast<Result>(kResultStorageFailed),
                                            .busyTimeout = kBusyTimeout});
  db_->KeepLogOnClose();
  // Setting the vacuum mode writes even when it does not change, so it is set on a new database only.
  if (db_->QueryInteger("PRAGMA page_count") == 0) db_->Execute(kNewDatabaseSettings);
  {
    zelsqlite::Statement journal(*db_, "PRAGMA journal_mode = WAL");
    zelsqlite::StatementScope scope(journal);
    // The mode stays as it was while another process holds the database during its own setup.
    if (!journal.Step() || journal.ColumnText(0) != "wal") {
      throw Failure("Media cache database " + path_ + " cannot use a write-ahead log", SQLITE_BUSY);
    }
  }
  db_->Execute(kConnectionSettings);

  // A database that is in order is opened without a write, so that a full volume does not keep the cache from being
  // read, cleared or pruned.
  bool ready = false;
  {
    Transaction reading(*db_, Transaction::Mode::kRead);
    std::int64_t const applicationId = db_->QueryInteger("PRAGMA application_id");
    std::int64_t const tables = db_->QueryInteger("SELECT count(*) FROM sqlite_master");
    if (applicationId != kApplicationId && (applicationId != 0 || tables != 0)) {
      throw Failure("Media cache database " + path_ + " belongs to another program", SQLITE_MISMATCH);
    }
    std::int64_t const version = db_->QueryInteger("PRAGMA user_version");
    if (applicationId == kApplicationId && version > kSchemaVersion) {
      throw Failure("Media cache database " + path_ + " has a newer format", SQLITE_MISMATCH);
    }
    ready = applicationId == kApplicationId && version == kSchemaVersion &&
            db_->QueryInteger(kCountSchemaObjects) == 4 &&
            // The totals are ours to trust only after recounting them: the file may come from anywhere.
            db_->QueryInteger(
                "SELECT used = (SELECT coalesce(sum(cost), 0) FROM entries) AND "
                "items = (SELECT count(*) FROM entries) FROM stats WHERE key = 0") == 1;
    reading.Commit();
  }
  if (!ready || clearExistingItems_) {
    try {
      Transaction writing(*db_, Transaction::Mode::kWrite);
      db_->Execute(kSchema);
      db_->Execute(("PRAGMA application_id = " + std::to_string(kApplicationId) +
                    "; PRAGMA user_version = " + std::to_string(kSchemaVersion))
                       .c_str());
      db_->Execute(
          "UPDATE stats SET used = (SELECT coalesce(sum(cost), 0) FROM entries), "
          "items = (SELECT count(*) FROM entries) WHERE key = 0");
      if (clearExistingItems_) {
        db_->Execute("DELETE FROM entries; DELETE FROM blobs; UPDATE stats SET used = 0, items = 0;");
      }
      writing.Commit();
    } catch (StorageError const& e) {
      // A database whose tables are there serves its items even when its totals cannot be corrected now; they
      // only steer eviction, and the next opening corrects them.
      bool const usable = db_->QueryInteger(kCountSchemaObjects) == 4;
      if (!e.CannotWrite() || !usable || clearExistingItems_) throw;
    }
  }
  statements_ = std::make_unique<CacheStatements>(*db_);
  // A blob's row holds its id and a record header beside it.
  constexpr std::int64_t kRowOverhead = 64;
  maxBlobBytes_ = static_cast<std::uint64_t>(std::max<std::int64_t>(db_->MaxValueBytes() - kRowOverhead, 0));
  pageBytes_ = static_cast<std::uint64_t>(std::max<std::int64_t>(db_->QueryInteger("PRAGMA page_size"), 512));
  if (clearExistingItems_) Compact(true);
}

void CacheDatabase::MoveAside() {
  std::error_code error;
  std::filesystem::rename(std::filesystem::path(path_), std::filesystem::path(path_ + ".unusable"), error);
  // The log and index of a file that is not a database are not worth keeping.
  std::filesystem::remove(std::filesystem::path(path_ + "-wal"), error);
  std::filesystem::remove(std::filesystem::path(path_ + "-shm"), error);
}

void CacheDatabase::Close() {
  EndReadSnapshot();
  statements_.reset();
  db_.reset();
}

Usage CacheDatabase::ReadUsage() {
  zelsqlite::Statement& usage = statements_->usage;
  zelsqlite::StatementScope scope(usage);
  if (!usage.Step()) return {};
  return Usage{usage.ColumnInteger(0), usage.ColumnInteger(1)};
}

std::optional<std::uint64_t> CacheDatabase::BeginReadSnapshot(std::chrono::milliseconds maxAge) {
  auto const now = std::chrono::steady_clock::now();
  if (readSnapshot_ && now - readSnapshotStart_ < maxAge) return std::nullopt;
  EndReadSnapshot();
  readSnapshot_.emplace(*db_, Transaction::Mode::kRead);
  readSnapshotStart_ = now;
  return ++readSnapshotGeneration_;
}

void CacheDatabase::EndReadSnapshot(std::optional<std::uint64_t> generation) {
  if (!readSnapshot_ || (generation && *generation != readSnapshotGeneration_)) return;
  // An open blob handle would keep the transaction from ending.
  statements_->blobs.Close();
  // A read transaction has nothing to write: rolling it back ends it as a commit would, and cannot fail in a way
  // that matters.
  readSnapshot_.reset();
}

Blob CacheDatabase::ReadBlob(std::int64_t id, std::int64_t size) {
  if (size < 0 || size > INT32_MAX) return nullptr;
  zelsqlite::BlobReader& blobs = statements_->blobs;
  // A missing row or a value that is not a blob fails the move.
  if (!blobs.MoveTo(id) || blobs.Size() != size) return nullptr;
  auto memory = zelcore::allocator::RecycledMemory::Create(static_cast<std::size_t>(size));
  if (size > 0) blobs.Read(memory->data(), static_cast<int>(size));
  return memory;
}

void CacheDatabase::TruncateLog() {
  if (!db_) return;
  db_->SetBusyTimeout(kCheckpointWait);
  try {
    db_->TruncateLog();
  } catch (StorageError const&) {
    // Like a checkpoint that readers kept from finishing.
  }
  db_->SetBusyTimeout(kBusyTimeout);
}

void CacheDatabase::Compact(bool force) {
  try {
    std::int64_t freeBytes = 0;
    {
      zelsqlite::StatementScope scope(statements_->freeBytes);
      if (statements_->freeBytes.Step()) freeBytes = statements_->freeBytes.ColumnInteger(0);
    }
    if (freeBytes == 0 || (!force && freeBytes < kCompactFreeBytes)) return;
    db_->Execute("PRAGMA incremental_vacuum");
    // Passive: gives the log's pages back to the database file without waiting for other processes' readers.
    db_->Execute("PRAGMA wal_checkpoint(PASSIVE)");
  } catch (StorageError const&) {
    // Free pages are reused by later writes; shrinking the file can wait.
  }
}

zel_exception CacheDatabase::HeldByAnotherProcess(std::string const& path, std::chrono::milliseconds lockWait) {
  return zel_exception("The media cache database " + path + " is in use by another process, which held it for " +
                           "longer than " + std::to_string(lockWait.count()) + " ms; nothing was removed",
                       static_cast<Result>(kResultCacheBusy));
}

void CacheDatabase::Replace(std::chrono::milliseconds lockWait) {
  Close();
  // The shared lock goes first: the exclusive one waits for every other holder, this cache's own included.
  if (lockFd_ >= 0) ::flock(lockFd_, LOCK_UN);
  bool const exclusive = LockWithin(lockFd_, LOCK_EX, lockWait);
  if (exclusive) RemoveDatabaseFilesIn(directory_);
  if (lockFd_ >= 0 && !LockWithin(lockFd_, LOCK_SH, kBusyTimeout)) {
    // Nobody holds the lock but another clear; the database is opened all the same, as before locks existed.
    ::flock(lockFd_, LOCK_UN);
  }
  try {
    OpenConnection();
  } catch (StorageError const&) {
    // Left closed; the next use opens it again.
  }
  if (!exclusive) throw HeldByAnotherProcess(path_, lockWait);
}

void CacheDatabase::DeleteFiles(std::filesystem::path const& directory, std::chrono::milliseconds lockWait) {
  int const fd = OpenLockFile(directory);
  bool const exclusive = LockWithin(fd, LOCK_EX, lockWait);
  if (exclusive) RemoveDatabaseFilesIn(directory);
  if (fd >= 0) ::close(fd);
  if (!exclusive) throw HeldByAnotherProcess((directory / kDatabaseFileName).string(), lockWait);
}

void CacheDatabase::StatFiles(DiskCacheStatistics& statistics) const {
  auto const length = [](std::string const& path) -> std::uint64_t {
    std::error_code error;
    std::uintmax_t const size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<std::uint64_t>(size);
  };
  statistics.databaseFileBytes = length(path_);
  statistics.logFileBytes = length(path_ + "-wal");
  statistics.indexFileBytes = length(path_ + "-shm");
}

std::uint64_t CacheDatabase::ItemDiskCost(std::uint64_t blobBytes, std::uint64_t nameBytes) const {
  std::uint64_t const page = pageBytes_;
  // Overflow pages keep 4 bytes for the link to the next; the incremental vacuum keeps a pointer-map page for every
  // page / 5 pages.
  std::uint64_t const rowBytes = blobBytes + 2 * nameBytes + kRowHeaderBytes;
  std::uint64_t newPages = (rowBytes + page - 5) / (page - 4);
  newPages += newPages / (page / 5) + 1;
  return (newPages + kChangedPagesPerItem) * (page + kLogFrameHeaderBytes) + newPages * page;
}

std::uint64_t CacheDatabase::TransactionDiskCost() const {
  return kChangedPagesPerTransaction * (pageBytes_ + kLogFrameHeaderBytes);
}

}  // namespace MF::detail
