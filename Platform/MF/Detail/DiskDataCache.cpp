#include "MF/Detail/DiskDataCache.h"

#include <algorithm>
#include <exception>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "MF/Detail/CacheMaintenance.h"
#include "MF/Detail/ItemWriter.h"
#include "zelcore/Logging.h"
#include "zelcore/ZelException.h"

namespace MF::detail {

using zelcore::async::Future;
using zelcore::async::Promise;
using zelcore::config::Result;
using zelcore::config::zel_exception;
using zelsqlite::StorageError;

namespace {

// Read touches are written at the latest this long after the read (or with the next write).
constexpr std::int64_t kTouchFlushDelayMilliseconds = 1000;

}  // namespace

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
    cache->database_.Open();
  }
  managed->Attach(cache);
  outDirectory = std::move(managed);
  return cache;
}

DiskDataCache::DiskDataCache(std::filesystem::path const& directory, Options options,
                             std::shared_ptr<DiskCacheManager::ManagedDirectory> managedDirectory)
    : options_(options),
      managedDirectory_(std::move(managedDirectory)),
      io_(zelcore::async::CreateSubExecutor(zelcore::async::CreatePreTerminationExecutor(), 1)),
      database_(directory, options.clearExistingItems) {}

DiskDataCache::~DiskDataCache() {
  io_->Shutdown();
  std::lock_guard<std::mutex> lock(dbMutex_);
  try {
    writes_.FlushTouches(database_);
  } catch (std::exception const&) {
    // Last uses are a hint for eviction; losing a few at shutdown harms nothing.
  }
}

Usage DiskDataCache::QueryUsage() const {
  std::lock_guard<std::mutex> lock(dbMutex_);
  try {
    database_.Require();
    database_.EndReadSnapshot();
    return database_.ReadUsage();
  } catch (StorageError const&) {
    return Usage{};
  }
}

std::uint64_t DiskDataCache::QueryUsedBytes() const {
  return static_cast<std::uint64_t>(std::max<std::int64_t>(QueryUsage().bytes, 0));
}

std::uint64_t DiskDataCache::QueryItemCount() const {
  return static_cast<std::uint64_t>(std::max<std::int64_t>(QueryUsage().items, 0));
}

std::uint64_t DiskDataCache::MaxBlobBytes() const { return database_.MaxBlobBytes(); }

std::uint64_t DiskDataCache::DiskCostOf(std::uint64_t blobBytes, std::uint64_t nameBytes) const {
  return database_.ItemDiskCost(blobBytes, nameBytes) + database_.TransactionDiskCost();
}

std::exception_ptr DiskDataCache::CheckItemFits(std::uint64_t blobBytes) const {
  return WriteQueue::RefusalOf(database_, blobBytes, blobBytes + CacheDatabase::kItemOverheadBytes,
                               managedDirectory_->GetMaxUsedBytes(), DiskCostOf(blobBytes, 0),
                               managedDirectory_->GetManagedVolume()->GetWritableBytes());
}

void DiskDataCache::DeleteDatabaseFiles(std::filesystem::path const& directory, std::chrono::milliseconds lockWait) {
  CacheDatabase::DeleteFiles(directory, lockWait);
}

DiskCacheStatistics DiskDataCache::QueryStatistics() const {
  std::lock_guard<std::mutex> lock(dbMutex_);
  return ReadStatistics(database_);
}

DiskCacheRemoval DiskDataCache::RemoveItems(std::optional<DiskCachePruneRules> const& rules,
                                            std::chrono::milliseconds lockWait) {
  std::lock_guard<std::mutex> lock(dbMutex_);
  return RemoveItemsFrom(database_, writes_, rules, lockWait);
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
        CacheError("A media cache item needs a blob", kResultInvalidArgument));
  }
  return Enqueue(WriteQueue::Write{ItemKey{first, second}, blob, Promise<void>(), std::move(stored)});
}

Future<void> DiskDataCache::RemoveItem(ImmutableString const& first, ImmutableString const& second) {
  return RemoveItemAndNotify(first, second, nullptr);
}

Future<void> DiskDataCache::RemoveItemAndNotify(ImmutableString const& first, ImmutableString const& second,
                                                zelcore::UniqueFunction<void(bool)> stored) {
  return Enqueue(WriteQueue::Write{ItemKey{first, second}, nullptr, Promise<void>(), std::move(stored)});
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
  if (!queued) promise.Fail(CacheError("The media cache is closed", kResultCacheClosed));
  return future;
}

Future<void> DiskDataCache::Enqueue(WriteQueue::Write write) {
  Future<void> future = write.promise.GetFuture();
  // One task drains the whole queue: puts that arrive while a batch is written form the next batch.
  if (writes_.Push(std::move(write)) &&
      !zelcore::async::CallAsync(io_, [self = shared_from_this()] { self->RunWrites(); })) {
    for (WriteQueue::Write& each : writes_.TakeAll()) {
      if (each.stored) each.stored(false);
      each.promise.Fail(CacheError("The media cache is closed", kResultCacheClosed));
    }
  }
  return future;
}

void DiskDataCache::RunWrites() {
  std::vector<WriteQueue::Write> batch = writes_.TakeAll();
  if (batch.empty()) return;
  std::vector<std::exception_ptr> failures;
  {
    std::lock_guard<std::mutex> lock(dbMutex_);
    failures = writes_.WriteBatch(batch, database_, managedDirectory_->GetMaxUsedBytes(),
                                  managedDirectory_->GetManagedVolume()->GetWritableBytes());
  }
  for (std::size_t i = 0; i < batch.size(); ++i) {
    WriteQueue::Write& write = batch[i];
    if (write.stored) write.stored(failures[i] == nullptr);
    if (failures[i]) {
      write.promise.Fail(failures[i]);
    } else {
      write.promise.Fulfill();
    }
  }
}

void DiskDataCache::FlushTouches() {
  std::lock_guard<std::mutex> lock(dbMutex_);
  writes_.FlushTouches(database_);
}

void DiskDataCache::ReadItem(ItemKey const& key, ItemCallback const& callback) const {
  ResultCode result = kResultItemNotFound;
  Blob blob;
  {
    std::lock_guard<std::mutex> lock(dbMutex_);
    try {
      database_.Require();
      BeginReadSnapshotLocked();
      std::optional<std::pair<std::int64_t, std::int64_t>> found;  // id, size
      {
        zelsqlite::Statement& find = database_.statements().findForRead;
        zelsqlite::StatementScope scope(find);
        find.BindText(1, key.first.view());
        find.BindText(2, key.second.view());
        if (find.Step()) found.emplace(find.ColumnInteger(0), find.ColumnInteger(1));
      }
      if (found) {
        auto const [id, size] = *found;
        blob = database_.ReadBlob(id, size);
        if (blob) {
          result = kResultItemAvailable;
          if (options_.trackLastUse) writes_.RecordUse(id, NextUseTime());
        } else {
          writes_.RecordBroken(id);
        }
      }
    } catch (StorageError const&) {
      database_.EndReadSnapshot();
      result = kResultStorageFailed;
    }
    if (writes_.HasTouches()) ScheduleTouchFlushLocked();
  }
  if (!callback) return;
  try {
    callback(result, key.first, key.second, blob);
  } catch (...) {
    zelcore::logging::LogException(std::current_exception(), "MF::DataCache::GetItem callback");
  }
}

void DiskDataCache::BeginReadSnapshotLocked() const {
  std::optional<std::uint64_t> const generation =
      database_.BeginReadSnapshot(std::chrono::milliseconds(kReadSnapshotMilliseconds));
  if (!generation) return;
  // Ends the snapshot when the reads stop, so that other processes' writes show and checkpoints can finish.
  std::weak_ptr<DiskDataCache const> weak = weak_from_this();
  zelcore::async::CallAsync(
      io_,
      [weak, generation] {
        auto self = weak.lock();
        if (!self) return;
        std::lock_guard<std::mutex> lock(self->dbMutex_);
        self->database_.EndReadSnapshot(generation);
      },
      kReadSnapshotMilliseconds);
}

void DiskDataCache::ScheduleTouchFlushLocked() const {
  if (!writes_.ClaimTouchFlush()) return;
  std::weak_ptr<DiskDataCache const> weak = weak_from_this();
  bool const queued = zelcore::async::CallAsync(
      io_,
      [weak] {
        if (auto self = weak.lock()) std::const_pointer_cast<DiskDataCache>(self)->FlushTouches();
      },
      kTouchFlushDelayMilliseconds);
  if (!queued) writes_.TouchFlushNotScheduled();
}

}  // namespace MF::detail
