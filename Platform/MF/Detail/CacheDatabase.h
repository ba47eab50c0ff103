#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "MF/DataCache.h"
#include "MF/DiskCacheManager.h"
#include "zelsqlite/BlobReader.h"
#include "zelsqlite/Connection.h"
#include "zelsqlite/Statement.h"
#include "zelsqlite/Transaction.h"

namespace MF::detail {

// The statements that every use of the cache database shares, prepared once a connection.
struct CacheStatements {
  explicit CacheStatements(zelsqlite::Connection& db);

  zelsqlite::Statement findForRead;
  zelsqlite::Statement findByName;
  zelsqlite::Statement findById;
  zelsqlite::Statement insert;
  zelsqlite::Statement update;
  zelsqlite::Statement putBlob;
  zelsqlite::Statement removeEntry;
  zelsqlite::Statement removeBlob;
  zelsqlite::Statement touch;
  zelsqlite::Statement oldest;
  zelsqlite::Statement unusedSince;
  zelsqlite::Statement usage;
  zelsqlite::Statement setUsage;
  zelsqlite::Statement freeBytes;
  // Reads blobs straight into their buffers; moved from row to row within a read snapshot.
  zelsqlite::BlobReader blobs;
};

// The folder's totals as the database keeps them. Signed: totals read from a file that someone has tampered with
// may be anything.
struct Usage {
  std::int64_t bytes = 0;
  std::int64_t items = 0;
};

// The database of one managed folder: its schema, the connection to it, and the folder's lock file.
//
// - Opening looks at the database in a read transaction first, so that a database that is in order opens without a
//   write and a full volume does not keep the cache from being read, cleared or pruned. A file that is not a
//   database of ours is moved aside, never changed.
// - Its shared lock on the folder's lock file is held while the database is open; the database's files are deleted
//   only under the exclusive lock, so that no other process has them open.
// - Reads in quick succession share one read snapshot, which saves SQLite the locking of a transaction per read.
//
// Not thread-safe: the cache serialises every use under its database mutex, but for MaxBlobBytes and the disk costs,
// which may be called from any thread.
class CacheDatabase {
 public:
  static constexpr char kDatabaseFileName[] = "MediaCache.db";
  static constexpr char kLockFileName[] = "MediaCache.lock";
  // What one item costs beyond its blob and names: two table rows and an index entry, roughly.
  static constexpr std::uint64_t kItemOverheadBytes = 128;
  // Long enough for another process's batch of writes; a cache that waits longer reports a failed write.
  static constexpr std::chrono::milliseconds kBusyTimeout{10000};

  CacheDatabase(std::filesystem::path const& directory, bool clearExistingItems);
  CacheDatabase(CacheDatabase const&) = delete;
  CacheDatabase& operator=(CacheDatabase const&) = delete;
  // Empties the log (other processes may keep the database open, and SQLite then leaves it as it is), closes the
  // database and lets go of the lock file.
  ~CacheDatabase();

  // Takes the shared lock on the folder's lock file and opens (creating when missing) the database; see
  // DiskCacheManager::OpenDiskCache. Throws StorageError.
  void Open();
  // Opens the database again after a failed reopen. Throws StorageError when it still cannot be opened.
  void Require();
  bool IsOpen() const { return db_ != nullptr; }
  std::string const& path() const { return path_; }
  // Only while open.
  zelsqlite::Connection& connection() { return *db_; }
  CacheStatements& statements() { return *statements_; }

  Usage ReadUsage();

  // Begins a read transaction that later reads share, unless one began less than `maxAge` ago. The generation of
  // a snapshot it began, for EndReadSnapshot; empty when it kept the open one.
  std::optional<std::uint64_t> BeginReadSnapshot(std::chrono::milliseconds maxAge);
  // Ends the read snapshot (only the one of `generation`, when given), so that other processes' writes show and
  // checkpoints can finish. Every write ends it first.
  void EndReadSnapshot(std::optional<std::uint64_t> generation = std::nullopt);
  // Within a read snapshot: the blob of row `id`, which the entry says has `size` bytes; null when the row does not
  // hold that.
  Blob ReadBlob(std::int64_t id, std::int64_t size);

  // Empties the log into the database and truncates it, waiting at most briefly for other processes' readers; when
  // it cannot finish now, a later write tries again.
  void TruncateLog();
  // Gives free pages back to the file system once they add up to enough to matter, or whenever there are any
  // (`force`). Free pages are reused by later writes, so a failure only leaves the file as large as it was.
  void Compact(bool force);
  // Deletes the database's files (the clear or prune that SQLite could not do) and opens a new, empty database.
  // Throws zel_exception kResultCacheBusy, with the database opened again, when another cache holds the folder
  // for longer than `lockWait`.
  void Replace(std::chrono::milliseconds lockWait);
  // The database's files in `directory`, deleted under the exclusive lock of its lock file, waiting up to
  // `lockWait` for other caches to let go of it. Throws zel_exception kResultCacheBusy when they do not.
  static void DeleteFiles(std::filesystem::path const& directory, std::chrono::milliseconds lockWait);
  // The error of a clear or prune of the database at `path` that another process held for longer than `lockWait`.
  static zelcore::config::zel_exception HeldByAnotherProcess(std::string const& path,
                                                             std::chrono::milliseconds lockWait);
  // The lengths of the database's three files.
  void StatFiles(DiskCacheStatistics& statistics) const;

  // May be called from any thread once opened.
  // The largest blob the database takes in one value.
  std::uint64_t MaxBlobBytes() const { return maxBlobBytes_; }
  // The share of one item of `blobBytes`, with names of `nameBytes`, of what a write takes of the volume before a
  // checkpoint empties the log: its pages in the log (with the log's frame headers) and again in the database, and
  // the pages of the table and index rows the write changes.
  std::uint64_t ItemDiskCost(std::uint64_t blobBytes, std::uint64_t nameBytes) const;
  // The share of the transaction that writes the items.
  std::uint64_t TransactionDiskCost() const;

 private:
  void OpenConnection();
  void SetUp();
  void MoveAside();
  void Close();

  std::filesystem::path const directory_;
  std::string const path_;
  bool const clearExistingItems_;
  // The folder's lock file, held shared while the database is open; -1 when it could not be opened.
  int lockFd_ = -1;
  // Null after a reopen failed; the next use tries again.
  std::unique_ptr<zelsqlite::Connection> db_;
  std::unique_ptr<CacheStatements> statements_;
  std::optional<zelsqlite::Transaction> readSnapshot_;
  std::chrono::steady_clock::time_point readSnapshotStart_;
  std::uint64_t readSnapshotGeneration_ = 0;
  // Set at every opening; the same for every database this cache creates.
  std::atomic<std::uint64_t> maxBlobBytes_{0};
  std::atomic<std::uint64_t> pageBytes_{16384};
};

}  // namespace MF::detail
