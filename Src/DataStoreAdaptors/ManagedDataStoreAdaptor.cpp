#include "DataStoreAdaptors/ManagedDataStoreAdaptor.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>

#include "BE/Backend.h"
#include "DataStoreAdaptors/AnalyzerCacheSize.h"
#include "DataStoreAdaptors/DataStoreAdaptorUtils.h"
#include "zelcore/QuantityText.h"
#include "zelcore/Trace.h"

namespace Quillan {

// Defined beside the bound setting (AnalyzerCacheSize.cpp).
std::uint64_t GetAnalyzerCacheMaxBytesGeneration();
std::uint64_t ReadAnalyzerCacheMaxBytes(std::string* problem);

namespace {

using zelcore::Blob;
using zelcore::InterfaceRef;
using zelcore::async::Future;
using zelcore::async::Promise;
using zelcore::config::zel_exception;

constexpr zelcore::debug::TraceLevel kCreationTraceLevel = 7;
// How often a store looks whether another process changed the bound setting; each look is a stat of the settings file.
constexpr std::chrono::seconds kBoundSettingInterval{1};

std::exception_ptr CacheError(Result result) { return std::make_exception_ptr(zel_exception("", result)); }

ManagedDataStoreAdaptor::DataSource DataSourceOf(Target const& target) {
  std::string const text = GetContentStateGuid(target).AsUTF8String();
  return ManagedDataStoreAdaptor::DataSource(text.begin(), text.end());
}

ImmutableString AsName(ManagedDataStoreAdaptor::DataSource const& dataSource) {
  return ImmutableString::Create(std::string_view(reinterpret_cast<char const*>(dataSource.data()), dataSource.size()));
}

ImmutableString AnalyzerCacheDirectory() {
  InterfaceRef<BE::IBackend> const backend = BE::GetBackend();
  if (!backend) zelcore::config::DoThrowNullPtrException(BE::IBackend::InterfaceName().data());
  InterfaceRef<BE::IPreferences> const preferences = backend->GetPreferences();
  if (!preferences) zelcore::config::DoThrowNullPtrException(BE::IPreferences::InterfaceName().data());
  std::wstring const directory = preferences->GetAnalyzerCacheDirectory();
  return ImmutableString::Create(std::wstring_view(directory));
}

}  // namespace

ManagedDataStoreAdaptor::ManagedDataStoreAdaptor()
    : saveExecutor_(zelcore::async::CreateSubExecutor(zelcore::async::CreatePreTerminationExecutor(), 1)) {}

ManagedDataStoreAdaptor::~ManagedDataStoreAdaptor() = default;

std::uint64_t ManagedDataStoreAdaptor::FreeSpaceTargetFor(std::uint64_t totalBytes) {
  return std::min(kFreeSpaceBytes, totalBytes / kFreeSpaceShareDivisor);
}

InterfaceRef<IDataStoreAdaptor> ManagedDataStoreAdaptor::Create() {
  auto store = AllocateClassInstance();
  std::shared_ptr<MF::DataCache> const memory = MF::CreateDataCacheInMemory();
  ImmutableString const directory = AnalyzerCacheDirectory();
  store->followsBoundSetting_ = true;
  try {
    store->OpenCache(memory, directory);
  } catch (zel_exception const&) {
    store->cacheChain_.reset();
    store->managedDirectory_.reset();
    store->unavailable_ = std::current_exception();
  }
  return InterfaceRef<IDataStoreAdaptor>(std::move(store));
}

std::string ManagedDataStoreAdaptor::GetUnavailableReason() const {
  return unavailable_ ? zelcore::config::ExtractMessageFromException(unavailable_) : std::string();
}

std::exception_ptr ManagedDataStoreAdaptor::RefusalOf(Blob const& blob) const {
  if (unavailable_) return unavailable_;
  if (!managedDirectory_ || !blob) return nullptr;
  // Asked before the blob is handed over, so that the caller learns why a result was not kept: larger than the cache
  // bound, or the volume is full. The media cache asks again when it writes.
  return managedDirectory_->CheckItemFits(blob->size());
}

InterfaceRef<IDataStoreAdaptor> ManagedDataStoreAdaptor::CreateForTesting(ImmutableString const& directory,
                                                                          std::uint64_t memoryBytes) {
  auto store = AllocateClassInstance();
  store->OpenCache(MF::CreateDataCacheInMemory(memoryBytes), directory);
  return InterfaceRef<IDataStoreAdaptor>(std::move(store));
}

InterfaceRef<IDataStoreAdaptor> ManagedDataStoreAdaptor::CreateWithCacheForTesting(
    std::shared_ptr<MF::DataCacheChain> cacheChain) {
  auto store = AllocateClassInstance();
  store->cacheChain_ = std::move(cacheChain);
  return InterfaceRef<IDataStoreAdaptor>(std::move(store));
}

void ManagedDataStoreAdaptor::OpenCache(std::shared_ptr<MF::DataCache> const& memory,
                                        ImmutableString const& directory) {
  std::shared_ptr<MF::DataCache> const disk =
      MF::CreateDataCacheInFilesystemAndManageDirectory(directory, managedDirectory_, true, true, false);
  cacheChain_ = std::make_shared<MF::DataCacheChain>(memory, disk);
  managedDirectory_->SetMaxUsedBytes(kMaxUsedBytes);
  if (followsBoundSetting_) ApplyBoundSetting();
  std::shared_ptr<MF::DiskCacheManager::ManagedVolume> const volume = managedDirectory_->GetManagedVolume();
  volume->SetFreeSpacePercentage(std::nullopt);
  volume->SetFreeSpaceBytes(FreeSpaceTargetFor(volume->GetTotalBytes()));

  // Asks the trace configuration again only when it has changed since the last store was created.
  static zelcore::debug::TraceSwitch const traceSwitch("Quillan", kCreationTraceLevel);
  if (traceSwitch.Enabled()) {
    zelcore::debug::Trace(kCreationTraceLevel, "Quillan",
                          "Created analyzer cache (" + directory.ToUTF8String() + ") with size " +
                              std::to_string(managedDirectory_->GetMaxUsedBytes().value_or(0)) + "b\r\n");
  }
}

void ManagedDataStoreAdaptor::ApplyBoundSetting() {
  // Taken before the read, so that a change made during it is read again at the next save.
  boundGeneration_.store(GetAnalyzerCacheMaxBytesGeneration(), std::memory_order_relaxed);
  nextBoundCheck_.store((std::chrono::steady_clock::now() + kBoundSettingInterval).time_since_epoch().count(),
                        std::memory_order_relaxed);
  std::string problem;
  try {
    std::uint64_t const bytes = ReadAnalyzerCacheMaxBytes(&problem);
    if (problem.empty()) managedDirectory_->SetMaxUsedBytes(bytes);
  } catch (zel_exception const& error) {
    // A setting of another type, an unreadable settings file or a backend without properties.
    problem = error.what();
  }
  if (!problem.empty()) {
    // The bound stays as it is; whoever runs the store can say so (GetBoundSettingProblem).
    std::uint64_t const kept = managedDirectory_->GetMaxUsedBytes().value_or(kMaxUsedBytes);
    problem += "; the managed cache keeps " +
               std::string(kept == kMaxUsedBytes ? "the default bound of " : "its bound of ") +
               zelcore::text::FormatByteSize(kept);
  }
  std::lock_guard lock(boundProblemMutex_);
  boundProblem_ = std::move(problem);
}

std::string ManagedDataStoreAdaptor::GetBoundSettingProblem() const {
  std::lock_guard lock(boundProblemMutex_);
  return boundProblem_;
}

void ManagedDataStoreAdaptor::ApplyBoundSettingIfDue() {
  if (!followsBoundSetting_ || !managedDirectory_) return;
  if (boundGeneration_.load(std::memory_order_relaxed) == GetAnalyzerCacheMaxBytesGeneration() &&
      std::chrono::steady_clock::now().time_since_epoch().count() < nextBoundCheck_.load(std::memory_order_relaxed)) {
    return;
  }
  ApplyBoundSetting();
}

std::shared_ptr<MF::DiskCacheManager::ManagedDirectory> ManagedDataStoreAdaptor::RequireManagedDirectory() const {
  if (unavailable_) std::rethrow_exception(unavailable_);
  if (!managedDirectory_) {
    throw zel_exception("This analyzer cache has no managed folder", static_cast<Result>(MF::kResultBadDirectory));
  }
  return managedDirectory_;
}

ManagedDataStoreAdaptor::CacheStatistics ManagedDataStoreAdaptor::GetCacheStatistics() const {
  std::shared_ptr<MF::DiskCacheManager::ManagedDirectory> const directory = RequireManagedDirectory();
  CacheStatistics statistics;
  statistics.disk = directory->GetStatistics();
  statistics.maxUsedBytes = directory->GetMaxUsedBytes().value_or(UINT64_MAX);
  std::shared_ptr<MF::DiskCacheManager::ManagedVolume> const volume = directory->GetManagedVolume();
  statistics.freeSpaceTargetBytes = volume->GetRequiredFreeBytes();
  statistics.volumeAvailableBytes = volume->GetAvailableBytes();
  statistics.volumeTotalBytes = volume->GetTotalBytes();
  return statistics;
}

MF::DiskCacheRemoval ManagedDataStoreAdaptor::ClearCache(std::chrono::milliseconds lockWait) {
  return RequireManagedDirectory()->RemoveAllItems(lockWait);
}

MF::DiskCacheRemoval ManagedDataStoreAdaptor::PruneCache(MF::DiskCachePruneRules const& rules,
                                                         std::chrono::milliseconds lockWait) {
  return RequireManagedDirectory()->PruneItems(rules, lockWait);
}

Future<Blob> ManagedDataStoreAdaptor::LoadDataWithKey(Target const& target, Guid const& analyzerGuid,
                                                      ImmutableString const& parameter,
                                                      ImmutableString const& key) const {
  Promise<Blob> promise(zelcore::async::GetDefaultExecutor());
  try {
    promise.Fulfill(LoadDataForDataSource(DataSourceOf(target), analyzerGuid, parameter, key));
  } catch (...) {
    promise.Fail(std::current_exception());
  }
  return promise.GetFuture();
}

Future<Blob> ManagedDataStoreAdaptor::LoadDataForDataSource(DataSource const& dataSource, Guid const& analyzerGuid,
                                                            ImmutableString const& parameter,
                                                            ImmutableString const& key) const {
  // An unusable folder holds nothing.
  if (IsAnalyzerCacheIgnored() || unavailable_) {
    return zelcore::async::MakeExceptionalFuture<Blob>(CacheError(kResultMediaCacheMiss));
  }

  Promise<Blob> promise(zelcore::async::GetDefaultExecutor());
  Future<Blob> future = promise.GetFuture();
  try {
    ImmutableString const cacheKey = GenerateCacheKey(analyzerGuid, parameter, key);
    // Only a weak handle: a result that nobody waits for any more is not kept alive by the cache.
    MF::DataCache::ItemCallback const callback = [weak = zelcore::async::WeakPromise<Blob>(promise)](
                                                     MF::ResultCode code, ImmutableString const&,
                                                     ImmutableString const&, Blob const& blob) {
      Promise<Blob> result = weak.Lock();
      if (!result.IsValid()) return;
      if (code < 0) {
        result.Fail(CacheError(static_cast<Result>(code)));
      } else {
        result.Fulfill(blob);
      }
    };
    Blob item;
    MF::ResultCode const code = cacheChain_->GetItem(AsName(dataSource), cacheKey, callback, item);
    if (code == MF::kResultItemAvailable) {
      promise.Fulfill(std::move(item));
    } else if (code != MF::kResultItemPending) {
      promise.Fail(CacheError(static_cast<Result>(code)));
    }
  } catch (...) {
    promise.Fail(std::current_exception());
  }
  return future;
}

Future<void> ManagedDataStoreAdaptor::SaveDataWithKey(Target const& target, Guid const& analyzerGuid,
                                                      ImmutableString const& parameter, ImmutableString const& key,
                                                      Blob const& blob) {
  Promise<void> promise(zelcore::async::GetDefaultExecutor());
  try {
    promise.Fulfill(SaveDataForDataSource(DataSourceOf(target), analyzerGuid, parameter, key, blob));
  } catch (...) {
    promise.Fail(std::current_exception());
  }
  return promise.GetFuture();
}

Future<void> ManagedDataStoreAdaptor::SaveDataForDataSource(DataSource const& dataSource, Guid const& analyzerGuid,
                                                            ImmutableString const& parameter,
                                                            ImmutableString const& key, Blob const& blob) {
  if (std::exception_ptr refusal = RefusalOf(blob)) {
    if (refusal != unavailable_) {
      std::lock_guard lock(refusalObserverMutex_);
      if (refusalObserver_) refusalObserver_(zelcore::config::ExtractMessageFromException(refusal));
    }
    return zelcore::async::MakeExceptionalFuture<void>(std::move(refusal));
  }
  return zelcore::async::AsyncWithExecutorAndContinuationExecutorAndDelay(
      saveExecutor_, std::chrono::milliseconds::zero(), saveExecutor_,
      [analyzerGuid, parameter, key, self = GetSharedFromThis<ManagedDataStoreAdaptor>(), dataSource, blob] {
        ImmutableString const cacheKey = GenerateCacheKey(analyzerGuid, parameter, key);
        // Before the put, so that a bound lowered since evicts with this write.
        self->ApplyBoundSettingIfDue();
        // Done once the cache has the blob; the cache writes it to disk on its own.
        self->cacheChain_->PutItem(AsName(dataSource), cacheKey, blob, false);
      });
}

void ManagedDataStoreAdaptor::SetRefusalObserver(RefusalObserver observer) {
  std::lock_guard lock(refusalObserverMutex_);
  refusalObserver_ = std::move(observer);
}

bool ManagedDataStoreAdaptor::IsDataNotFoundInCache(std::exception_ptr const& exception) const {
  Result const result = zelcore::config::ExtractResultFromException(exception);
  return result == kResultMediaCacheMiss || result == kResultSidecarFileNotFound;
}

ManagedDataStoreAdaptor::operator InterfaceRef<zelcore::classref::UnknownBase>() {
  return InterfaceRef<zelcore::classref::UnknownBase>(GetSharedFromThis<zelcore::classref::UnknownBase>());
}

void* ManagedDataStoreAdaptor::QueryMap(std::string_view name) {
  return zelcore::classref::QueryMapOf<ManagedDataStoreAdaptor, IDataStoreAdaptor>(this, name);
}

std::string ManagedDataStoreAdaptor::GetUnknownTypeName() const {
  static std::string const name(InterfaceName());
  return name;
}

}  // namespace Quillan
