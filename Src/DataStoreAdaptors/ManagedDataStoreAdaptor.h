#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "DataStoreAdaptors/IDataStoreAdaptor.h"
#include "Foundation/Export.h"
#include "MF/DataCacheChain.h"
#include "MF/DiskCacheManager.h"
#include "zelcore/Executor.h"

namespace Quillan {

// Keeps analysis results in the application's media cache: a size-managed folder on disk with a memory cache in
// front of it. An entry's first name is the target's data source (the text of its content-state GUID), its second
// name the cache key, and its value the blob.
//
// Loads run on the caller's thread up to the cache lookup and complete at once from memory, or later from the
// cache's I/O executor. Saves queue one task each on the store's serial executor (a sub-executor of the
// pre-termination executor, so queued saves are drained before the application quits), which hands the blob to the
// cache and completes: a save is done once the cache has the blob, not once it is on disk. Every future's
// continuations run on the default executor. May be used from any thread; the store's only lock guards what the last
// read of the bound setting found.
class QUILLAN_EXPORT ManagedDataStoreAdaptor : public IDataStoreAdaptor,
                                               public zelcore::classref::ClassStatics<ManagedDataStoreAdaptor> {
 public:
  ZEL_INTERFACE_NAME("Quillan::ManagedDataStoreAdaptor")

  // The UTF-8 text of a target's content-state GUID.
  using DataSource = std::basic_string<unsigned char>;

  // What the cache folder may hold unless the user set another bound (GetAnalyzerCacheMaxBytes), and at most what
  // the cache leaves free on its volume.
  static constexpr std::uint64_t kMaxUsedBytes = 5368709120;
  static constexpr std::uint64_t kFreeSpaceBytes = 5368709120;
  // On volumes smaller than 100 GiB the cache leaves this share free instead, so that it can work at all there.
  static constexpr std::uint64_t kFreeSpaceShareDivisor = 20;

  // The free space the cache leaves on a volume of `totalBytes`: the smaller of kFreeSpaceBytes and a twentieth.
  static std::uint64_t FreeSpaceTargetFor(std::uint64_t totalBytes);

  // What `quillan cache stats` shows: the folder's items and files, and the limits the store keeps them to.
  struct CacheStatistics {
    MF::DiskCacheStatistics disk;
    // The bound on disk.usedBytes: beyond it the least recently used items are evicted at the next write.
    std::uint64_t maxUsedBytes = 0;
    // What the cache leaves free on its volume (FreeSpaceTargetFor the volume's size); it stops growing there.
    std::uint64_t freeSpaceTargetBytes = 0;
    // What the volume has free now, and its size.
    std::uint64_t volumeAvailableBytes = 0;
    std::uint64_t volumeTotalBytes = 0;
  };

  // The store of the default host, in the analyzer cache folder of the project model's preferences, bounded by the
  // stored setting (GetAnalyzerCacheMaxBytes), which it reads again within a second of a save after another
  // process changed it, and at the next save after this process changed it. A folder that
  // cannot be used gives a store that finds nothing and refuses every save with the reason (GetUnavailableReason),
  // so that a run goes on without managed caching. Throws the null-pointer exception naming BE::IBackend or
  // BE::IPreferences when the project model has none.
  static zelcore::InterfaceRef<IDataStoreAdaptor> Create();
  // The same over `directory`, with a memory cache of `memoryBytes`: for tests and benchmarks.
  static zelcore::InterfaceRef<IDataStoreAdaptor> CreateForTesting(ImmutableString const& directory,
                                                                   std::uint64_t memoryBytes);
  // A store over a cache chain built by the caller, without a managed folder.
  static zelcore::InterfaceRef<IDataStoreAdaptor> CreateWithCacheForTesting(
      std::shared_ptr<MF::DataCacheChain> cacheChain);

  ~ManagedDataStoreAdaptor() override;

  // Why the cache folder cannot be used; empty when it can.
  std::string GetUnavailableReason() const;
  // Why the last read of the bound setting failed (a value of another type, an unreadable settings file, a bound below
  // kMinAnalyzerCacheMaxBytes), naming the file, the key and the bound the folder keeps instead (kMaxUsedBytes
  // until a read succeeds); empty when the last read succeeded or the store does not follow the setting.
  std::string GetBoundSettingProblem() const;

  // The folder's statistics and limits, read now on the calling thread. Throws the reason when the folder cannot be
  // used, and what MF::DiskCacheManager::ManagedDirectory::GetStatistics throws.
  CacheStatistics GetCacheStatistics() const;
  // Removes every stored result from the folder and shrinks its database; see
  // MF::DiskCacheManager::ManagedDirectory::RemoveAllItems (throws MF::kResultCacheBusy, removing nothing, when
  // another process holds the database longer than `lockWait`). Results this process holds in its memory cache stay
  // there until they are evicted. Runs on the calling thread.
  MF::DiskCacheRemoval ClearCache(
      std::chrono::milliseconds lockWait = MF::DiskCacheManager::ManagedDirectory::kDefaultLockWait);
  // Removes the least recently used results that `rules` select; see
  // MF::DiskCacheManager::ManagedDirectory::PruneItems. Runs on the calling thread.
  MF::DiskCacheRemoval PruneCache(
      MF::DiskCachePruneRules const& rules,
      std::chrono::milliseconds lockWait = MF::DiskCacheManager::ManagedDirectory::kDefaultLockWait);

  // Told the reason of each save refused before its result reaches the cache ("larger than the cache bound", "the
  // volume is full"), so that a caller behind a compound store, which drops its members' errors, can say why. Not
  // told of an unusable folder, which GetUnavailableReason answers. The observer runs on the saving thread; an empty
  // one stops the telling. May be called from any thread.
  using RefusalObserver = std::function<void(std::string const& reason)>;
  void SetRefusalObserver(RefusalObserver observer);

  std::shared_ptr<MF::DataCacheChain> GetCacheChainForTesting() const { return cacheChain_; }
  std::shared_ptr<MF::DiskCacheManager::ManagedDirectory> GetManagedDirectoryForTesting() const {
    return managedDirectory_;
  }

  // IDataStoreAdaptor:
  zelcore::async::Future<void> SaveDataWithKey(Target const& target, Guid const& analyzerGuid,
                                               ImmutableString const& parameter, ImmutableString const& key,
                                               zelcore::Blob const& blob) override;
  zelcore::async::Future<zelcore::Blob> LoadDataWithKey(Target const& target, Guid const& analyzerGuid,
                                                        ImmutableString const& parameter,
                                                        ImmutableString const& key) const override;
  // True for a miss of the media cache (also the ignore switch) and for kResultSidecarFileNotFound.
  bool IsDataNotFoundInCache(std::exception_ptr const& exception) const override;
  virtual operator zelcore::InterfaceRef<zelcore::classref::UnknownBase>();

  // UnknownBase:
  void* QueryMap(std::string_view name) override;
  std::string GetUnknownTypeName() const override;

 protected:
  friend struct zelcore::classref::ClassStatics<ManagedDataStoreAdaptor>;
  ManagedDataStoreAdaptor();

  // Looks the entry up on the calling thread. Reads the ignore switch afresh at every call.
  zelcore::async::Future<zelcore::Blob> LoadDataForDataSource(DataSource const& dataSource, Guid const& analyzerGuid,
                                                              ImmutableString const& parameter,
                                                              ImmutableString const& key) const;
  // Queues the hand-over of `blob` to the cache on the save executor.
  zelcore::async::Future<void> SaveDataForDataSource(DataSource const& dataSource, Guid const& analyzerGuid,
                                                     ImmutableString const& parameter, ImmutableString const& key,
                                                     zelcore::Blob const& blob);

 private:
  // Opens the disk cache in `directory` behind `memory`, applies the bounds and traces the creation.
  void OpenCache(std::shared_ptr<MF::DataCache> const& memory, ImmutableString const& directory);
  // A save's refusal when the cache cannot take `blob`; null when it can.
  std::exception_ptr RefusalOf(zelcore::Blob const& blob) const;
  // The managed folder, or the reason why there is none.
  std::shared_ptr<MF::DiskCacheManager::ManagedDirectory> RequireManagedDirectory() const;
  // Reads the bound setting and applies it to the folder; keeps the bound it has when the setting cannot be read.
  void ApplyBoundSetting();
  // Applies the setting when this process changed it or a second has passed since it was last read.
  void ApplyBoundSettingIfDue();

  std::shared_ptr<zelcore::async::AsyncThreadedSubExecutor> saveExecutor_;
  std::shared_ptr<MF::DataCacheChain> cacheChain_;
  std::shared_ptr<MF::DiskCacheManager::ManagedDirectory> managedDirectory_;
  // Set, with no chain, when the folder cannot be used.
  std::exception_ptr unavailable_;
  // Whether the folder's bound follows the stored setting (stores made by Create), and when it was last read.
  bool followsBoundSetting_ = false;
  std::atomic<std::uint64_t> boundGeneration_{0};
  std::atomic<std::int64_t> nextBoundCheck_{0};  // steady clock, nanoseconds
  mutable std::mutex boundProblemMutex_;
  std::string boundProblem_;  // guarded by boundProblemMutex_
  mutable std::mutex refusalObserverMutex_;
  RefusalObserver refusalObserver_;  // guarded by refusalObserverMutex_
};

}  // namespace Quillan
