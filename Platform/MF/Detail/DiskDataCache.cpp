#include "MF/Detail/DiskDataCache.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <filesystem>
#include <limits>
#include <system_error>
#include <thread>
#include <utility>

#include "MF/Detail/Sqlite.h"
#include "zelcore/Logging.h"
#include "zelcore/ZelException.h"

namespace MF::detail {

using zelcore::async::Future;
using zelcore::async::Promise;
using zelcore::config::Result;
using zelcore::config::zel_exception;

namespace {

// Marks the database as ours ('MFC1'); a database of somebody else in the folder is moved aside, not changed.
constexpr std::int64_t kApplicationId = 0x4D464331;
constexpr std::int64_t kSchemaVersion = 1;

// Long enough for another process's batch of writes; a cache that waits longer reports a failed write.
constexpr int kBusyTimeoutMilliseconds = 10000;
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

// Read touches are written at the latest this long after the read (or with the next write).
constexpr std::int64_t kTouchFlushDelayMilliseconds = 1000;
// Free pages are given back to the file system once they add up to this much.
constexpr std::int64_t kCompactFreeBytes = 8 << 20;
constexpr int kEvictionChunk = 64;

// What the volume holds of a write until a checkpoint empties the log: every changed page once in the log, behind a
// frame header, and every new page again in the database. Beside an item's own pages a write changes the leaf pages
// of its row in each table and index; the transaction changes the totals, the first page and the free-page list.
constexpr std::uint64_t kLogFrameHeaderBytes = 24;
constexpr std::uint64_t kChangedPagesPerItem = 3;
constexpr std::uint64_t kChangedPagesPerTransaction = 8;
// The entry and blob rows' headers beside the blob and the names (which the name index holds a second time).
constexpr std::uint64_t kRowHeaderBytes = 64;
// A batch that wrote this much is followed by a checkpoint that truncates the log, so that the log's copy of the
// pages does not stay on the volume beside the database's; smaller logs are kept for reuse, up to journal_size_limit.
constexpr std::uint64_t kLargeWriteBytes = 1 << 20;
constexpr std::uint64_t kLogKeepBytes = 4 << 20;
// How long such a checkpoint waits for other processes' readers before it gives up until the next one.
constexpr int kCheckpointWaitMilliseconds = 100;
constexpr auto kLockPollInterval = std::chrono::milliseconds(5);

// Microseconds since the epoch, strictly increasing within the process, so that two uses never tie.
std::int64_t NextUseTime() {
  static std::atomic<std::int64_t> last{0};
  std::int64_t const now =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  std::int64_t previous = last.load(std::memory_order_relaxed);
  std::int64_t next;
  do {
    next = std::max(now, previous + 1);
  } while (!last.compare_exchange_weak(previous, next, std::memory_order_relaxed));
  return next;
}

std::exception_ptr MakeError(std::string const& message, ResultCode code) {
  return std::make_exception_ptr(zel_exception(message, static_cast<Result>(code)));
}

std::uint64_t CostOf(ItemKey const& key, std::size_t blobSize) {
  return blobSize + key.first.size() + key.second.size() + DiskDataCache::kItemOverheadBytes;
}

bool IsBusy(int sqliteCode) { return sqliteCode == SQLITE_BUSY || sqliteCode == SQLITE_LOCKED; }

// SQLite could not write the files (a full volume, mostly; an I/O error alike).
bool CannotWrite(int sqliteCode) { return sqliteCode == SQLITE_FULL || sqliteCode == SQLITE_IOERR; }

int OpenLockFile(std::filesystem::path const& directory) {
  return ::open((directory / DiskDataCache::kLockFileName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
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
  std::filesystem::path const database = directory / DiskDataCache::kDatabaseFileName;
  // The database first: a log left behind by a crash here is deleted by SQLite when it opens an empty database,
  // whereas a database left without its log might lack pages that only the log held.
  std::filesystem::remove(database, error);
  std::filesystem::remove(database.string() + "-wal", error);
  std::filesystem::remove(database.string() + "-shm", error);
}

zel_exception HeldByAnotherProcess(std::string const& path, std::chrono::milliseconds lockWait) {
  return zel_exception("The media cache database " + path + " is in use by another process, which held it for " +
                           "longer than " + std::to_string(lockWait.count()) + " ms; nothing was removed",
                       static_cast<Result>(kResultCacheBusy));
}

// The setup's transactions, a read or a write: rolled back unless committed.
class Transaction {
 public:
  Transaction(SqliteConnection& db, bool write) : db_(db) { db_.Execute(write ? "BEGIN IMMEDIATE" : "BEGIN"); }
  Transaction(Transaction const&) = delete;
  Transaction& operator=(Transaction const&) = delete;
  ~Transaction() {
    if (!done_) sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void Commit() {
    db_.Execute("COMMIT");
    done_ = true;
  }

 private:
  SqliteConnection& db_;
  bool done_ = false;
};

}  // namespace

struct DiskDataCache::Statements {
  explicit Statements(SqliteConnection& db)
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
        savepoint(db, "SAVEPOINT item"),
        release(db, "RELEASE item") {}

  SqliteStatement findForRead;
  SqliteStatement findByName;
  SqliteStatement findById;
  SqliteStatement insert;
  SqliteStatement update;
  SqliteStatement putBlob;
  SqliteStatement removeEntry;
  SqliteStatement removeBlob;
  SqliteStatement touch;
  SqliteStatement oldest;
  SqliteStatement unusedSince;
  SqliteStatement usage;
  SqliteStatement setUsage;
  SqliteStatement freeBytes;
  SqliteStatement savepoint;
  SqliteStatement release;
};

// One write transaction (BEGIN IMMEDIATE: it holds the database's write lock throughout), which keeps the folder's
// totals as rows come and go and writes them with the commit. Rolled back unless committed.
class DiskDataCache::WriteTransaction {
 public:
  WriteTransaction(SqliteConnection& db, Statements& statements) : db_(db), statements_(statements) {
    db_.Execute("BEGIN IMMEDIATE");
    try {
      usage_ = ReadUsage(statements_);
    } catch (...) {
      Rollback();
      throw;
    }
  }
  WriteTransaction(WriteTransaction const&) = delete;
  WriteTransaction& operator=(WriteTransaction const&) = delete;
  ~WriteTransaction() {
    if (!done_) Rollback();
  }

  static Usage ReadUsage(Statements& statements) {
    StatementScope scope(statements.usage);
    if (!statements.usage.Step()) return {};
    return Usage{statements.usage.ColumnInteger(0), statements.usage.ColumnInteger(1)};
  }

  Usage const& usage() const { return usage_; }

  // The row and cost of the item filed under `key`.
  std::optional<std::pair<std::int64_t, std::int64_t>> Find(ItemKey const& key) {
    StatementScope scope(statements_.findByName);
    statements_.findByName.BindText(1, key.first.view());
    statements_.findByName.BindText(2, key.second.view());
    if (!statements_.findByName.Step()) return std::nullopt;
    return std::make_pair(statements_.findByName.ColumnInteger(0), statements_.findByName.ColumnInteger(1));
  }

  // Files `blob` under `key`, replacing `earlier` (what Find gave). A failure undoes this item alone and throws;
  // the transaction stays open for the others unless SQLite gave it up (IsOpen tells).
  void Put(ItemKey const& key, Blob const& blob, std::optional<std::pair<std::int64_t, std::int64_t>> const& earlier,
           std::int64_t cost, std::int64_t lastUse) {
    Usage const before = usage_;
    Step(statements_.savepoint);
    try {
      PutInSavepoint(key, blob, earlier, cost, lastUse);
      Step(statements_.release);
    } catch (StorageError const&) {
      usage_ = before;
      if (sqlite3_get_autocommit(db_.get()) != 0) {
        done_ = true;
      } else {
        sqlite3_exec(db_.get(), "ROLLBACK TO item; RELEASE item", nullptr, nullptr, nullptr);
      }
      throw;
    }
  }

  bool IsOpen() const { return !done_; }

  void Rollback() {
    sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    done_ = true;
  }

  void RemoveByName(ItemKey const& key) {
    if (auto const found = Find(key)) Remove(found->first, found->second);
  }

  void RemoveById(std::int64_t id) {
    std::optional<std::int64_t> cost;
    {
      StatementScope scope(statements_.findById);
      statements_.findById.BindInteger(1, id);
      if (statements_.findById.Step()) cost = statements_.findById.ColumnInteger(0);
    }
    if (cost) Remove(id, *cost);
  }

  // Refreshes the last use of `id`, unless it was used later already (by another process, say).
  void Touch(std::int64_t id, std::int64_t lastUse) {
    StatementScope scope(statements_.touch);
    statements_.touch.BindInteger(1, id);
    statements_.touch.BindInteger(2, lastUse);
    statements_.touch.Step();
  }

  // Removes the least recently used items until the items use at most `targetBytes`.
  void EvictDownTo(std::uint64_t targetBytes) {
    auto const target = static_cast<std::int64_t>(std::min<std::uint64_t>(targetBytes, INT64_MAX));
    while (usage_.bytes > target && usage_.items > 0) {
      std::vector<std::pair<std::int64_t, std::int64_t>> oldest;
      {
        StatementScope scope(statements_.oldest);
        statements_.oldest.BindInteger(1, kEvictionChunk);
        while (statements_.oldest.Step()) {
          oldest.emplace_back(statements_.oldest.ColumnInteger(0), statements_.oldest.ColumnInteger(1));
        }
      }
      if (oldest.empty()) return;
      for (auto const& [id, cost] : oldest) {
        Remove(id, cost);
        if (usage_.bytes <= target) return;
      }
    }
  }

  // Removes the items last used before `cutoff` (microseconds since the epoch), oldest first.
  void RemoveUnusedSince(std::int64_t cutoff) {
    for (;;) {
      std::vector<std::pair<std::int64_t, std::int64_t>> unused;
      {
        StatementScope scope(statements_.unusedSince);
        statements_.unusedSince.BindInteger(1, cutoff);
        statements_.unusedSince.BindInteger(2, kEvictionChunk);
        while (statements_.unusedSince.Step()) {
          unused.emplace_back(statements_.unusedSince.ColumnInteger(0), statements_.unusedSince.ColumnInteger(1));
        }
      }
      if (unused.empty()) return;
      for (auto const& [id, cost] : unused) Remove(id, cost);
    }
  }

  void RemoveAll() {
    db_.Execute("DELETE FROM entries; DELETE FROM blobs;");
    usage_ = Usage{};
  }

  void Commit() {
    {
      StatementScope scope(statements_.setUsage);
      statements_.setUsage.BindInteger(1, usage_.bytes);
      statements_.setUsage.BindInteger(2, usage_.items);
      statements_.setUsage.Step();
    }
    db_.Execute("COMMIT");
    done_ = true;
  }

 private:
  static void Step(SqliteStatement& statement) {
    StatementScope scope(statement);
    statement.Step();
  }

  void PutInSavepoint(ItemKey const& key, Blob const& blob,
                      std::optional<std::pair<std::int64_t, std::int64_t>> const& earlier, std::int64_t cost,
                      std::int64_t lastUse) {
    std::int64_t id = 0;
    auto const size = static_cast<std::int64_t>(blob->size());
    if (earlier) {
      id = earlier->first;
      StatementScope scope(statements_.update);
      statements_.update.BindInteger(1, id);
      statements_.update.BindInteger(2, size);
      statements_.update.BindInteger(3, cost);
      statements_.update.BindInteger(4, lastUse);
      statements_.update.Step();
      usage_.bytes += cost - earlier->second;
    } else {
      StatementScope scope(statements_.insert);
      statements_.insert.BindText(1, key.first.view());
      statements_.insert.BindText(2, key.second.view());
      statements_.insert.BindInteger(3, size);
      statements_.insert.BindInteger(4, cost);
      statements_.insert.BindInteger(5, lastUse);
      statements_.insert.Step();
      id = sqlite3_last_insert_rowid(db_.get());
      usage_.bytes += cost;
      usage_.items += 1;
    }
    StatementScope scope(statements_.putBlob);
    statements_.putBlob.BindInteger(1, id);
    statements_.putBlob.BindBlob(2, blob->data(), blob->size());
    statements_.putBlob.Step();
  }

  void Remove(std::int64_t id, std::int64_t cost) {
    {
      StatementScope scope(statements_.removeEntry);
      statements_.removeEntry.BindInteger(1, id);
      statements_.removeEntry.Step();
    }
    StatementScope scope(statements_.removeBlob);
    statements_.removeBlob.BindInteger(1, id);
    statements_.removeBlob.Step();
    usage_.bytes -= cost;
    usage_.items -= 1;
  }

  SqliteConnection& db_;
  Statements& statements_;
  Usage usage_;
  bool done_ = false;
};

std::shared_ptr<DiskDataCache> DiskDataCache::Create(
    ImmutableString const& path, bool createDirectory, Options options,
    std::shared_ptr<DiskCacheManager::ManagedDirectory>& outDirectory) {
  auto const badDirectory = [&](std::string const& why) {
    return zel_exception("Media cache folder \"" + path.ToUTF8String() + "\" " + why,
                         static_cast<Result>(kResultBadDirectory));
  };
  if (path.empty()) throw badDirectory("is not given");
  std::filesystem::path const directory(path.view());
  std::error_code error;
  if (createDirectory) std::filesystem::create_directories(directory, error);
  if (!std::filesystem::is_directory(directory, error)) {
    throw badDirectory(createDirectory ? "cannot be created" : "does not exist");
  }

  auto managed = std::make_shared<DiskCacheManager::ManagedDirectory>(DiskCacheManager::ManagedDirectory::PassKey{},
                                                                      path, DiskCacheManager::GetManagedVolume(path));
  std::shared_ptr<DiskDataCache> cache(new DiskDataCache(directory, options, managed));
  {
    std::lock_guard<std::mutex> lock(cache->dbMutex_);
    // Another process deletes the files only under the exclusive lock, and holds it briefly.
    cache->lockFd_ = OpenLockFile(directory);
    if (cache->lockFd_ >= 0 &&
        !LockWithin(cache->lockFd_, LOCK_SH, std::chrono::milliseconds(kBusyTimeoutMilliseconds))) {
      throw StorageError("Media cache folder \"" + path.ToUTF8String() + "\" is locked by another process",
                         SQLITE_BUSY);
    }
    cache->OpenDatabaseLocked();
  }
  managed->Attach(cache);
  outDirectory = std::move(managed);
  return cache;
}

DiskDataCache::DiskDataCache(std::filesystem::path const& directory, Options options,
                             std::shared_ptr<DiskCacheManager::ManagedDirectory> managedDirectory)
    : directory_(directory),
      databasePath_((directory / kDatabaseFileName).string()),
      options_(options),
      managedDirectory_(std::move(managedDirectory)),
      io_(zelcore::async::CreateSubExecutor(zelcore::async::CreatePreTerminationExecutor(), 1)) {}

DiskDataCache::~DiskDataCache() {
  io_->Shutdown();
  std::lock_guard<std::mutex> lock(dbMutex_);
  if (db_) EndReadSnapshotLocked();
  if (db_ && !touches_.empty()) {
    try {
      WriteTransaction transaction(*db_, *statements_);
      ApplyTouchesLocked(transaction);
      transaction.Commit();
    } catch (std::exception const&) {
      // Last uses are a hint for eviction; losing a few at shutdown harms nothing.
    }
  }
  // Other processes may keep the database open, and then SQLite leaves the log as it is when this one closes.
  TruncateLogLocked();
  CloseDatabaseLocked();
  if (lockFd_ >= 0) ::close(lockFd_);
}

void DiskDataCache::OpenDatabaseLocked() {
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMilliseconds);
  bool movedAside = false;
  for (;;) {
    try {
      SetUpDatabaseLocked();
      return;
    } catch (StorageError const& e) {
      statements_.reset();
      db_.reset();
      // Another process may be creating the same database; its setup is brief.
      if (IsBusy(e.SqliteCode()) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      bool const unusable =
          e.SqliteCode() == SQLITE_NOTADB || e.SqliteCode() == SQLITE_CORRUPT || e.SqliteCode() == SQLITE_MISMATCH;
      if (unusable && !movedAside) {
        MoveDatabaseAside();
        movedAside = true;
        continue;
      }
      throw;
    }
  }
}

void DiskDataCache::SetUpDatabaseLocked() {
  db_ = std::make_unique<SqliteConnection>(databasePath_);
  sqlite3_busy_timeout(db_->get(), kBusyTimeoutMilliseconds);
  // The log and its index stay (the log emptied) when the last connection closes, so that the next process can read
  // the database without creating them, which a full volume would refuse.
  int persistLog = 1;
  sqlite3_file_control(db_->get(), "main", SQLITE_FCNTL_PERSIST_WAL, &persistLog);
  // Setting the vacuum mode writes even when it does not change, so it is set on a new database only.
  if (db_->QueryInteger("PRAGMA page_count") == 0) db_->Execute(kNewDatabaseSettings);
  {
    SqliteStatement journal(*db_, "PRAGMA journal_mode = WAL");
    StatementScope scope(journal);
    // The mode stays as it was while another process holds the database during its own setup.
    if (!journal.Step() || journal.ColumnText(0) != "wal") {
      throw StorageError("Media cache database " + databasePath_ + " cannot use a write-ahead log", SQLITE_BUSY);
    }
  }
  db_->Execute(kConnectionSettings);

  // Looked at in a read transaction first: a database that is in order is opened without a write, so that a full
  // volume does not keep the cache from being read, cleared or pruned.
  bool ready = false;
  {
    Transaction reading(*db_, false);
    std::int64_t const applicationId = db_->QueryInteger("PRAGMA application_id");
    std::int64_t const tables = db_->QueryInteger("SELECT count(*) FROM sqlite_master");
    if (applicationId != kApplicationId && (applicationId != 0 || tables != 0)) {
      throw StorageError("Media cache database " + databasePath_ + " belongs to another program", SQLITE_MISMATCH);
    }
    std::int64_t const version = db_->QueryInteger("PRAGMA user_version");
    if (applicationId == kApplicationId && version > kSchemaVersion) {
      throw StorageError("Media cache database " + databasePath_ + " has a newer format", SQLITE_MISMATCH);
    }
    ready = applicationId == kApplicationId && version == kSchemaVersion &&
            db_->QueryInteger(
                "SELECT count(*) FROM sqlite_master WHERE name IN "
                "('entries', 'entries_by_last_use', 'blobs', 'stats')") == 4 &&
            // The totals are ours to trust only after recounting them: the file may come from anywhere.
            db_->QueryInteger(
                "SELECT used = (SELECT coalesce(sum(cost), 0) FROM entries) AND "
                "items = (SELECT count(*) FROM entries) FROM stats WHERE key = 0") == 1;
    reading.Commit();
  }
  if (!ready || options_.clearExistingItems) {
    try {
      Transaction transaction(*db_, true);
      db_->Execute(kSchema);
      db_->Execute(("PRAGMA application_id = " + std::to_string(kApplicationId) +
                    "; PRAGMA user_version = " + std::to_string(kSchemaVersion))
                       .c_str());
      db_->Execute(
          "UPDATE stats SET used = (SELECT coalesce(sum(cost), 0) FROM entries), "
          "items = (SELECT count(*) FROM entries) WHERE key = 0");
      if (options_.clearExistingItems) {
        db_->Execute("DELETE FROM entries; DELETE FROM blobs; UPDATE stats SET used = 0, items = 0;");
      }
      transaction.Commit();
    } catch (StorageError const& e) {
      // A database whose tables are there serves its items even when its totals cannot be corrected now; they
      // only steer eviction, and the next opening corrects them.
      bool const usable = db_->QueryInteger(
                              "SELECT count(*) FROM sqlite_master WHERE name IN "
                              "('entries', 'entries_by_last_use', 'blobs', 'stats')") == 4;
      if (!CannotWrite(e.SqliteCode()) || !usable || options_.clearExistingItems) throw;
    }
  }
  statements_ = std::make_unique<Statements>(*db_);
  // A blob's row holds its id and a record header beside it.
  constexpr std::int64_t kRowOverhead = 64;
  maxBlobBytes_ = static_cast<std::uint64_t>(
      std::max<std::int64_t>(sqlite3_limit(db_->get(), SQLITE_LIMIT_LENGTH, -1) - kRowOverhead, 0));
  pageBytes_ = static_cast<std::uint64_t>(std::max<std::int64_t>(db_->QueryInteger("PRAGMA page_size"), 512));
  if (options_.clearExistingItems) CompactLocked(true);
}

void DiskDataCache::MoveDatabaseAside() {
  std::error_code error;
  std::filesystem::path const database(databasePath_);
  std::filesystem::rename(database, std::filesystem::path(databasePath_ + ".unusable"), error);
  // The log and index of a file that is not a database are not worth keeping.
  std::filesystem::remove(std::filesystem::path(databasePath_ + "-wal"), error);
  std::filesystem::remove(std::filesystem::path(databasePath_ + "-shm"), error);
}

void DiskDataCache::CloseDatabaseLocked() {
  if (db_) EndReadSnapshotLocked();
  sqlite3_blob_close(blobReader_);
  blobReader_ = nullptr;
  statements_.reset();
  db_.reset();
}

void DiskDataCache::RequireDatabaseLocked() const {
  if (!db_) const_cast<DiskDataCache*>(this)->OpenDatabaseLocked();
}

bool DiskDataCache::TruncateLogLocked() const {
  if (!db_) return false;
  sqlite3_busy_timeout(db_->get(), kCheckpointWaitMilliseconds);
  int const code = sqlite3_wal_checkpoint_v2(db_->get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  sqlite3_busy_timeout(db_->get(), kBusyTimeoutMilliseconds);
  return code == SQLITE_OK;
}

void DiskDataCache::DeleteDatabaseFiles(std::filesystem::path const& directory, std::chrono::milliseconds lockWait) {
  int const fd = OpenLockFile(directory);
  bool const exclusive = LockWithin(fd, LOCK_EX, lockWait);
  if (exclusive) RemoveDatabaseFilesIn(directory);
  if (fd >= 0) ::close(fd);
  if (!exclusive) throw HeldByAnotherProcess((directory / kDatabaseFileName).string(), lockWait);
}

void DiskDataCache::ReplaceDatabaseLocked(std::chrono::milliseconds lockWait) {
  CloseDatabaseLocked();
  touches_.clear();
  brokenRows_.clear();
  // The shared lock goes first: the exclusive one waits for every other holder, this cache's own included.
  if (lockFd_ >= 0) ::flock(lockFd_, LOCK_UN);
  bool const exclusive = LockWithin(lockFd_, LOCK_EX, lockWait);
  if (exclusive) RemoveDatabaseFilesIn(directory_);
  if (lockFd_ >= 0 && !LockWithin(lockFd_, LOCK_SH, std::chrono::milliseconds(kBusyTimeoutMilliseconds))) {
    // Nobody holds the lock but another clear; the database is opened all the same, as before locks existed.
    ::flock(lockFd_, LOCK_UN);
  }
  try {
    OpenDatabaseLocked();
  } catch (StorageError const&) {
    // Left closed; the next use opens it again.
  }
  if (!exclusive) throw HeldByAnotherProcess(databasePath_, lockWait);
}

std::uint64_t DiskDataCache::QueryUsedBytes() const {
  std::lock_guard<std::mutex> lock(dbMutex_);
  try {
    RequireDatabaseLocked();
    EndReadSnapshotLocked();
    return static_cast<std::uint64_t>(std::max<std::int64_t>(WriteTransaction::ReadUsage(*statements_).bytes, 0));
  } catch (StorageError const&) {
    return 0;
  }
}

std::uint64_t DiskDataCache::QueryItemCount() const {
  std::lock_guard<std::mutex> lock(dbMutex_);
  try {
    RequireDatabaseLocked();
    EndReadSnapshotLocked();
    return static_cast<std::uint64_t>(std::max<std::int64_t>(WriteTransaction::ReadUsage(*statements_).items, 0));
  } catch (StorageError const&) {
    return 0;
  }
}

std::uint64_t DiskDataCache::MaxBlobBytes() const { return maxBlobBytes_; }

std::uint64_t DiskDataCache::ItemDiskCost(std::uint64_t blobBytes, std::uint64_t nameBytes) const {
  std::uint64_t const page = pageBytes_;
  // Overflow pages keep 4 bytes for the link to the next; the incremental vacuum keeps a pointer-map page for every
  // page / 5 pages.
  std::uint64_t const rowBytes = blobBytes + 2 * nameBytes + kRowHeaderBytes;
  std::uint64_t newPages = (rowBytes + page - 5) / (page - 4);
  newPages += newPages / (page / 5) + 1;
  return (newPages + kChangedPagesPerItem) * (page + kLogFrameHeaderBytes) + newPages * page;
}

std::uint64_t DiskDataCache::TransactionDiskCost() const {
  return kChangedPagesPerTransaction * (pageBytes_ + kLogFrameHeaderBytes);
}

std::uint64_t DiskDataCache::DiskCostOf(std::uint64_t blobBytes, std::uint64_t nameBytes) const {
  return ItemDiskCost(blobBytes, nameBytes) + TransactionDiskCost();
}

std::exception_ptr DiskDataCache::CheckItemFits(std::uint64_t blobBytes) const {
  return RefusalOf(blobBytes, blobBytes + kItemOverheadBytes, managedDirectory_->GetMaxUsedBytes(),
                   DiskCostOf(blobBytes, 0), managedDirectory_->GetManagedVolume()->GetWritableBytes());
}

DiskCacheStatistics DiskDataCache::QueryStatistics() const {
  std::lock_guard<std::mutex> lock(dbMutex_);
  RequireDatabaseLocked();
  EndReadSnapshotLocked();
  Usage const usage = WriteTransaction::ReadUsage(*statements_);
  DiskCacheStatistics statistics;
  statistics.items = static_cast<std::uint64_t>(std::max<std::int64_t>(usage.items, 0));
  statistics.usedBytes = static_cast<std::uint64_t>(std::max<std::int64_t>(usage.bytes, 0));
  StatFilesLocked(statistics);
  return statistics;
}

DiskCacheRemoval DiskDataCache::RemoveItems(std::optional<DiskCachePruneRules> const& rules,
                                            std::chrono::milliseconds lockWait) {
  std::lock_guard<std::mutex> lock(dbMutex_);
  auto const deadline = std::chrono::steady_clock::now() + lockWait;
  auto const remainingWait = [&] {
    return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()),
                    std::chrono::milliseconds(0));
  };
  DiskCacheRemoval removal;
  {
    DiskCacheStatistics before;
    StatFilesLocked(before);
    removal.fileBytesBefore = before.FileBytes();
  }
  // What SQLite cannot do on a full volume, deleting the files does: every item goes, the selected ones with them.
  auto const replace = [&](Usage const& held) {
    ReplaceDatabaseLocked(remainingWait());
    removal.items = static_cast<std::uint64_t>(std::max<std::int64_t>(held.items, 0));
    removal.usedBytes = static_cast<std::uint64_t>(std::max<std::int64_t>(held.bytes, 0));
    removal.filesDeleted = true;
    removal.spaceReturned = true;
    DiskCacheStatistics after;
    StatFilesLocked(after);
    removal.fileBytesAfter = after.FileBytes();
    return removal;
  };
  try {
    RequireDatabaseLocked();
  } catch (StorageError const& e) {
    if (!CannotWrite(e.SqliteCode())) throw;
    return replace(Usage{});
  }
  EndReadSnapshotLocked();
  auto const waitMilliseconds =
      static_cast<int>(std::clamp<std::int64_t>(lockWait.count(), 0, std::numeric_limits<int>::max()));
  // Only this call waits as the caller says; the cache's own writes keep their timeout.
  sqlite3_busy_timeout(db_->get(), waitMilliseconds);
  struct RestoreTimeout {
    DiskDataCache const& cache;
    ~RestoreTimeout() {
      if (cache.db_) sqlite3_busy_timeout(cache.db_->get(), kBusyTimeoutMilliseconds);
    }
  } const restore{*this};

  // Last uses are microseconds since the epoch.
  std::int64_t const cutoff =
      rules && rules->unusedFor
          ? NextUseTime() - std::clamp<std::int64_t>(rules->unusedFor->count(), 0, INT64_MAX / 1000000) * 1000000
          : 0;
  try {
    WriteTransaction transaction(*db_, *statements_);
    Usage const start = transaction.usage();
    try {
      if (!rules) {
        touches_.clear();
        brokenRows_.clear();
        transaction.RemoveAll();
      } else {
        ApplyTouchesLocked(transaction);
        ApplyRepairsLocked(transaction);
        if (rules->unusedFor) transaction.RemoveUnusedSince(cutoff);
        if (rules->maxUsedBytes) transaction.EvictDownTo(*rules->maxUsedBytes);
      }
      removal.items = static_cast<std::uint64_t>(std::max<std::int64_t>(start.items - transaction.usage().items, 0));
      removal.usedBytes =
          static_cast<std::uint64_t>(std::max<std::int64_t>(start.bytes - transaction.usage().bytes, 0));
      transaction.Commit();
    } catch (StorageError const& e) {
      if (!CannotWrite(e.SqliteCode())) throw;
      transaction.Rollback();
      return replace(start);
    }
  } catch (StorageError const& e) {
    if (!IsBusy(e.SqliteCode())) throw;
    throw HeldByAnotherProcess(databasePath_, lockWait);
  }

  // The items are gone for good; giving their space back may wait for other processes' readers and is retried by
  // later compactions when it cannot finish now. The incremental vacuum comes first even for a clear: it needs
  // a few pages of the volume where a VACUUM needs a copy of what is left.
  removal.spaceReturned = true;
  bool full = false;
  for (char const* step : {"PRAGMA incremental_vacuum", rules ? nullptr : "VACUUM"}) {
    if (step == nullptr) continue;
    try {
      db_->Execute(step);
    } catch (StorageError const& e) {
      removal.spaceReturned = false;
      full = full || CannotWrite(e.SqliteCode());
    }
  }
  try {
    SqliteStatement checkpoint(*db_, "PRAGMA wal_checkpoint(TRUNCATE)");
    StatementScope scope(checkpoint);
    // The first column is 1 when readers kept the checkpoint from finishing.
    if (!checkpoint.Step() || checkpoint.ColumnInteger(0) != 0) removal.spaceReturned = false;
  } catch (StorageError const& e) {
    removal.spaceReturned = false;
    full = full || CannotWrite(e.SqliteCode());
  }
  // A clear leaves nothing in the files that the volume could not take back otherwise.
  if (!rules && full) {
    try {
      ReplaceDatabaseLocked(remainingWait());
      removal.filesDeleted = true;
      removal.spaceReturned = true;
    } catch (zel_exception const&) {
      // Another process holds the folder; the free pages are reused by later writes.
    }
  }
  DiskCacheStatistics after;
  StatFilesLocked(after);
  removal.fileBytesAfter = after.FileBytes();
  return removal;
}

void DiskDataCache::StatFilesLocked(DiskCacheStatistics& statistics) const {
  auto const length = [](std::string const& path) -> std::uint64_t {
    std::error_code error;
    std::uintmax_t const size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<std::uint64_t>(size);
  };
  statistics.databaseFileBytes = length(databasePath_);
  statistics.logFileBytes = length(databasePath_ + "-wal");
  statistics.indexFileBytes = length(databasePath_ + "-shm");
}

ResultCode DiskDataCache::GetItem(ImmutableString const& first, ImmutableString const& second,
                                  ItemCallback const& callback, Blob& /*out*/) const {
  auto self = shared_from_this();
  bool const queued =
      zelcore::async::CallAsync(io_, [self, key = ItemKey{first, second}, callback] { self->ReadItem(key, callback); });
  return queued ? kResultItemPending : kResultCacheClosed;
}

Future<void> DiskDataCache::PutItem(ImmutableString const& first, ImmutableString const& second, Blob const& blob,
                                    bool bypassMemory) {
  return PutItemAndNotify(first, second, blob, bypassMemory, nullptr);
}

Future<void> DiskDataCache::PutItemAndNotify(ImmutableString const& first, ImmutableString const& second,
                                             Blob const& blob, bool /*bypassMemory*/,
                                             zelcore::UniqueFunction<void(bool)> stored) {
  if (!blob) {
    if (stored) stored(false);
    return zelcore::async::MakeExceptionalFuture<void>(
        MakeError("A media cache item needs a blob", kResultInvalidArgument));
  }
  return Enqueue(Write{ItemKey{first, second}, blob, Promise<void>(), std::move(stored)});
}

Future<void> DiskDataCache::RemoveItem(ImmutableString const& first, ImmutableString const& second) {
  return RemoveItemAndNotify(first, second, nullptr);
}

Future<void> DiskDataCache::RemoveItemAndNotify(ImmutableString const& first, ImmutableString const& second,
                                                zelcore::UniqueFunction<void(bool)> stored) {
  return Enqueue(Write{ItemKey{first, second}, nullptr, Promise<void>(), std::move(stored)});
}

Future<void> DiskDataCache::Flush() {
  Promise<void> promise;
  Future<void> future = promise.GetFuture();
  auto self = shared_from_this();
  bool const queued = zelcore::async::CallAsync(io_, [self, promise]() mutable {
    self->RunWrites();
    self->FlushTouches();
    promise.Fulfill();
  });
  if (!queued) promise.Fail(MakeError("The media cache is closed", kResultCacheClosed));
  return future;
}

Future<void> DiskDataCache::Enqueue(Write write) {
  Future<void> future = write.promise.GetFuture();
  bool schedule = false;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queue_.push_back(std::move(write));
    schedule = !std::exchange(writesScheduled_, true);
  }
  // One task drains the whole queue: puts that arrive while a batch is written form the next batch.
  if (schedule && !zelcore::async::CallAsync(io_, [self = shared_from_this()] { self->RunWrites(); })) {
    std::vector<Write> refused;
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      refused.swap(queue_);
      writesScheduled_ = false;
    }
    for (Write& each : refused) {
      if (each.stored) each.stored(false);
      each.promise.Fail(MakeError("The media cache is closed", kResultCacheClosed));
    }
  }
  return future;
}

void DiskDataCache::RunWrites() {
  std::vector<Write> batch;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    batch.swap(queue_);
    writesScheduled_ = false;
  }
  if (batch.empty()) return;

  std::vector<std::exception_ptr> failures(batch.size());
  {
    std::lock_guard<std::mutex> lock(dbMutex_);
    std::optional<std::uint64_t> const maxUsed = managedDirectory_->GetMaxUsedBytes();
    std::uint64_t room = managedDirectory_->GetManagedVolume()->GetWritableBytes();
    std::uint64_t const transactionCost = TransactionDiskCost();
    room = room > transactionCost ? room - transactionCost : 0;
    std::uint64_t written = 0;
    try {
      RequireDatabaseLocked();
      EndReadSnapshotLocked();
      WriteTransaction transaction(*db_, *statements_);
      std::int64_t const now = NextUseTime();
      for (std::size_t i = 0; i < batch.size(); ++i) {
        Write const& write = batch[i];
        if (!write.blob) {
          transaction.RemoveByName(write.key);
          continue;
        }
        std::uint64_t const cost = CostOf(write.key, write.blob->size());
        // Replacing an item frees its old pages only once the log is emptied; until then both are on the volume.
        std::uint64_t const diskCost =
            ItemDiskCost(write.blob->size(), write.key.first.size() + write.key.second.size());
        failures[i] = RefusalOf(write.blob->size(), cost, maxUsed, diskCost, room);
        if (failures[i]) continue;
        auto const earlier = transaction.Find(write.key);
        try {
          transaction.Put(write.key, write.blob, earlier, static_cast<std::int64_t>(cost), now);
          room -= diskCost;
          written += write.blob->size();
        } catch (StorageError const&) {
          if (!transaction.IsOpen()) throw;
          failures[i] = std::current_exception();
        }
      }
      ApplyTouchesLocked(transaction);
      ApplyRepairsLocked(transaction);
      if (maxUsed) transaction.EvictDownTo(*maxUsed);
      transaction.Commit();
    } catch (StorageError const& e) {
      std::exception_ptr const failure =
          e.SqliteCode() == SQLITE_FULL ? MakeError("The media cache could not store its items: the volume is full (" +
                                                        std::string(e.what()) + ")",
                                                    kResultVolumeFull)
                                        : std::current_exception();
      for (std::exception_ptr& each : failures) {
        if (!each) each = failure;
      }
    }
    if (db_) {
      CompactLocked(false);
      DiskCacheStatistics files;
      StatFilesLocked(files);
      if (written >= kLargeWriteBytes || files.logFileBytes > kLogKeepBytes) TruncateLogLocked();
    }
  }

  for (std::size_t i = 0; i < batch.size(); ++i) {
    Write& write = batch[i];
    if (write.stored) write.stored(failures[i] == nullptr);
    if (failures[i]) {
      write.promise.Fail(failures[i]);
    } else {
      write.promise.Fulfill();
    }
  }
}

std::exception_ptr DiskDataCache::RefusalOf(std::uint64_t blobBytes, std::uint64_t cost,
                                            std::optional<std::uint64_t> maxUsed, std::uint64_t diskCost,
                                            std::uint64_t room) const {
  std::string const item = "An item of " + std::to_string(blobBytes) + " bytes was not stored: ";
  if (blobBytes > maxBlobBytes_) {
    return MakeError(item + "it is larger than the media cache can store (" + std::to_string(maxBlobBytes_) + " bytes)",
                     kResultItemTooLarge);
  }
  if (maxUsed && cost > *maxUsed) {
    return MakeError(item + "it is larger than the cache bound (" + std::to_string(*maxUsed) + " bytes)",
                     kResultItemTooLarge);
  }
  if (diskCost > room) {
    return MakeError(item + "the volume is full (writing it takes up to " + std::to_string(diskCost) +
                         " bytes there, as the database's log holds a second copy until it is emptied, and " +
                         std::to_string(room) + " bytes may be used beyond the free space the cache keeps)",
                     kResultVolumeFull);
  }
  return nullptr;
}

void DiskDataCache::FlushTouches() {
  std::lock_guard<std::mutex> lock(dbMutex_);
  EndReadSnapshotLocked();
  if (touches_.empty() || !db_) return;
  try {
    WriteTransaction transaction(*db_, *statements_);
    ApplyTouchesLocked(transaction);
    transaction.Commit();
  } catch (StorageError const&) {
    // Last uses are a hint for eviction, and are dropped when they cannot be written (a full volume, say): a read
    // never fails for them.
    touches_.clear();
  }
}

void DiskDataCache::ReadItem(ItemKey const& key, ItemCallback const& callback) const {
  ResultCode result = kResultItemNotFound;
  Blob blob;
  {
    std::lock_guard<std::mutex> lock(dbMutex_);
    try {
      RequireDatabaseLocked();
      BeginReadSnapshotLocked();
      std::optional<std::pair<std::int64_t, std::int64_t>> found;  // id, size
      {
        SqliteStatement& find = statements_->findForRead;
        StatementScope scope(find);
        find.BindText(1, key.first.view());
        find.BindText(2, key.second.view());
        if (find.Step()) found.emplace(find.ColumnInteger(0), find.ColumnInteger(1));
      }
      if (found) {
        auto const [id, size] = *found;
        blob = ReadBlobLocked(id, size);
        if (blob) {
          result = kResultItemAvailable;
          if (options_.trackLastUse) touches_[id] = NextUseTime();
        } else {
          brokenRows_.push_back(id);
        }
      }
    } catch (StorageError const&) {
      EndReadSnapshotLocked();
      result = kResultStorageFailed;
    }
    if (!touches_.empty()) ScheduleTouchFlushLocked();
  }
  if (!callback) return;
  try {
    callback(result, key.first, key.second, blob);
  } catch (...) {
    zelcore::logging::LogException(std::current_exception(), "MF::DataCache::GetItem callback");
  }
}

Blob DiskDataCache::ReadBlobLocked(std::int64_t id, std::int64_t size) const {
  if (size < 0 || size > INT32_MAX) return nullptr;
  // A missing row or a value that is not a blob fails the move; the handle is useless after that.
  int const moved = blobReader_ != nullptr
                        ? sqlite3_blob_reopen(blobReader_, id)
                        : sqlite3_blob_open(db_->get(), "main", "blobs", "data", id, 0, &blobReader_);
  if (moved != SQLITE_OK) {
    sqlite3_blob_close(blobReader_);
    blobReader_ = nullptr;
    return nullptr;
  }
  if (sqlite3_blob_bytes(blobReader_) != size) return nullptr;
  auto memory = zelcore::allocator::RecycledMemory::Create(static_cast<std::size_t>(size));
  if (size > 0 && sqlite3_blob_read(blobReader_, memory->data(), static_cast<int>(size), 0) != SQLITE_OK) {
    sqlite3_blob_close(blobReader_);
    blobReader_ = nullptr;
    throw StorageError("Media cache database: " + std::string(sqlite3_errmsg(db_->get())), SQLITE_IOERR);
  }
  return memory;
}

void DiskDataCache::BeginReadSnapshotLocked() const {
  auto const now = std::chrono::steady_clock::now();
  if (readSnapshotOpen_ && now - readSnapshotStart_ < std::chrono::milliseconds(kReadSnapshotMilliseconds)) return;
  EndReadSnapshotLocked();
  db_->Execute("BEGIN");
  readSnapshotOpen_ = true;
  readSnapshotStart_ = now;
  std::uint64_t const generation = ++readSnapshotGeneration_;
  // Ends the snapshot when the reads stop, so that other processes' writes show and checkpoints can finish.
  std::weak_ptr<DiskDataCache const> weak = weak_from_this();
  zelcore::async::CallAsync(
      io_,
      [weak, generation] {
        auto self = weak.lock();
        if (!self) return;
        std::lock_guard<std::mutex> lock(self->dbMutex_);
        if (self->readSnapshotGeneration_ == generation) self->EndReadSnapshotLocked();
      },
      kReadSnapshotMilliseconds);
}

void DiskDataCache::EndReadSnapshotLocked() const {
  if (!readSnapshotOpen_) return;
  readSnapshotOpen_ = false;
  // An open blob handle would keep the transaction from ending.
  sqlite3_blob_close(blobReader_);
  blobReader_ = nullptr;
  if (!db_) return;
  // A read transaction has nothing to write; ending it cannot fail in a way that matters.
  sqlite3_exec(db_->get(), "COMMIT", nullptr, nullptr, nullptr);
}

void DiskDataCache::ScheduleTouchFlushLocked() const {
  if (touchFlushScheduled_) return;
  touchFlushScheduled_ = true;
  std::weak_ptr<DiskDataCache const> weak = weak_from_this();
  bool const queued = zelcore::async::CallAsync(
      io_,
      [weak] {
        if (auto self = weak.lock()) std::const_pointer_cast<DiskDataCache>(self)->FlushTouches();
      },
      kTouchFlushDelayMilliseconds);
  if (!queued) touchFlushScheduled_ = false;
}

void DiskDataCache::ApplyTouchesLocked(WriteTransaction& transaction) {
  touchFlushScheduled_ = false;
  for (auto const& [id, lastUse] : touches_) transaction.Touch(id, lastUse);
  touches_.clear();
}

void DiskDataCache::ApplyRepairsLocked(WriteTransaction& transaction) {
  for (std::int64_t const id : brokenRows_) transaction.RemoveById(id);
  brokenRows_.clear();
}

void DiskDataCache::CompactLocked(bool force) {
  try {
    std::int64_t freeBytes = 0;
    {
      StatementScope scope(statements_->freeBytes);
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

}  // namespace MF::detail
