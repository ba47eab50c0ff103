#include "MF/DiskCacheManager.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <utility>

#include "MF/Detail/DiskDataCache.h"
#include "zelcore/ZelException.h"

namespace MF {

using zelcore::config::Result;
using zelcore::config::zel_exception;

namespace {

struct VolumeStatus {
  std::uint64_t available = 0;
  std::uint64_t total = 0;
};

VolumeStatus StatVolume(std::string const& path) {
  struct statvfs status {};
  if (statvfs(path.c_str(), &status) != 0) return {};
  return VolumeStatus{static_cast<std::uint64_t>(status.f_bavail) * status.f_frsize,
                      static_cast<std::uint64_t>(status.f_blocks) * status.f_frsize};
}

}  // namespace

// ManagedVolume

DiskCacheManager::ManagedVolume::ManagedVolume(PassKey, std::string path) : path_(std::move(path)) {}

void DiskCacheManager::ManagedVolume::SetFreeSpacePercentage(std::optional<float> percentage) {
  if (percentage && !(*percentage >= 0.0f && *percentage <= 100.0f)) {
    throw zel_exception("The free space to keep must be between 0 and 100 percent",
                        static_cast<Result>(kResultInvalidArgument));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    freeSpacePercentage_ = percentage;
  }
}

std::optional<float> DiskCacheManager::ManagedVolume::GetFreeSpacePercentage() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return freeSpacePercentage_;
}

void DiskCacheManager::ManagedVolume::SetFreeSpaceBytes(std::optional<std::uint64_t> bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    freeSpaceBytes_ = bytes;
  }
}

std::optional<std::uint64_t> DiskCacheManager::ManagedVolume::GetFreeSpaceBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return freeSpaceBytes_;
}

std::uint64_t DiskCacheManager::ManagedVolume::GetRequiredFreeBytes() const {
  std::optional<float> percentage;
  std::optional<std::uint64_t> bytes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    percentage = freeSpacePercentage_;
    bytes = freeSpaceBytes_;
  }
  std::uint64_t required = bytes.value_or(0);
  if (percentage && *percentage > 0.0f) {
    double const share = std::ceil(static_cast<double>(GetTotalBytes()) * *percentage / 100.0);
    required = std::max(required, static_cast<std::uint64_t>(share));
  }
  return required;
}

std::uint64_t DiskCacheManager::ManagedVolume::GetAvailableBytes() const { return StatVolume(StatPath()).available; }

std::uint64_t DiskCacheManager::ManagedVolume::GetTotalBytes() const { return StatVolume(StatPath()).total; }

std::uint64_t DiskCacheManager::ManagedVolume::GetWritableBytes() const {
  std::uint64_t const required = GetRequiredFreeBytes();
  VolumeStatus const volume = StatVolume(StatPath());
  // A volume that cannot say what it has left is not held to the rule.
  if (volume.total == 0) return UINT64_MAX;
  return volume.available > required ? volume.available - required : 0;
}

std::string DiskCacheManager::ManagedVolume::StatPath() const {
  // The folder that first named the volume may be gone by now; any live one on it serves.
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto const& each : directories_) {
    if (auto directory = each.lock()) return directory->GetPath().ToUTF8String();
  }
  return path_;
}

void DiskCacheManager::ManagedVolume::AddDirectory(std::weak_ptr<ManagedDirectory> directory) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(directories_, [](std::weak_ptr<ManagedDirectory> const& each) { return each.expired(); });
  directories_.push_back(std::move(directory));
}

// ManagedDirectory

DiskCacheManager::ManagedDirectory::ManagedDirectory(PassKey, ImmutableString path,
                                                     std::shared_ptr<ManagedVolume> volume)
    : path_(path), volume_(std::move(volume)) {}

void DiskCacheManager::ManagedDirectory::SetMaxUsedBytes(std::optional<std::uint64_t> maxBytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    maxUsedBytes_ = maxBytes;
  }
}

std::optional<std::uint64_t> DiskCacheManager::ManagedDirectory::GetMaxUsedBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return maxUsedBytes_;
}

std::uint64_t DiskCacheManager::ManagedDirectory::GetUsedBytes() const {
  std::shared_ptr<detail::DiskDataCache> cache;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cache = cache_.lock();
  }
  return cache ? cache->QueryUsedBytes() : 0;
}

std::uint64_t DiskCacheManager::ManagedDirectory::GetItemCount() const {
  std::shared_ptr<detail::DiskDataCache> cache;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cache = cache_.lock();
  }
  return cache ? cache->QueryItemCount() : 0;
}

std::uint64_t DiskCacheManager::ManagedDirectory::GetMaxItemBytes() const {
  std::shared_ptr<detail::DiskDataCache> cache;
  std::optional<std::uint64_t> bound;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cache = cache_.lock();
    bound = maxUsedBytes_;
  }
  if (!cache) return 0;
  std::uint64_t const largest = cache->MaxBlobBytes();
  return bound ? std::min(largest, *bound) : largest;
}

std::exception_ptr DiskCacheManager::ManagedDirectory::CheckItemFits(std::uint64_t blobBytes) const {
  std::shared_ptr<detail::DiskDataCache> cache;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cache = cache_.lock();
  }
  return cache ? cache->CheckItemFits(blobBytes) : nullptr;
}

DiskCacheStatistics DiskCacheManager::ManagedDirectory::GetStatistics() const { return LockCache()->QueryStatistics(); }

DiskCacheRemoval DiskCacheManager::ManagedDirectory::RemoveAllItems(std::chrono::milliseconds lockWait) {
  return LockCache()->RemoveItems(std::nullopt, lockWait);
}

DiskCacheRemoval DiskCacheManager::ManagedDirectory::PruneItems(DiskCachePruneRules const& rules,
                                                                std::chrono::milliseconds lockWait) {
  return LockCache()->RemoveItems(rules, lockWait);
}

std::shared_ptr<detail::DiskDataCache> DiskCacheManager::ManagedDirectory::LockCache() const {
  std::shared_ptr<detail::DiskDataCache> cache;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cache = cache_.lock();
  }
  if (!cache) {
    throw zel_exception("The media cache of \"" + path_.ToUTF8String() + "\" is closed",
                        static_cast<Result>(kResultCacheClosed));
  }
  return cache;
}

void DiskCacheManager::ManagedDirectory::Attach(std::weak_ptr<detail::DiskDataCache> cache) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cache_ = std::move(cache);
  }
  volume_->AddDirectory(weak_from_this());
}

// DiskCacheManager

std::shared_ptr<DiskCacheManager::ManagedVolume> DiskCacheManager::GetManagedVolume(ImmutableString const& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    throw zel_exception("Media cache folder \"" + path.ToUTF8String() + "\" does not exist",
                        static_cast<Result>(kResultBadDirectory));
  }
  // Leaked on purpose: managed volumes may be released during static destruction.
  static auto* const mutex = new std::mutex;
  static auto* const volumes = new std::map<dev_t, std::weak_ptr<ManagedVolume>>;
  std::lock_guard<std::mutex> lock(*mutex);
  std::weak_ptr<ManagedVolume>& slot = (*volumes)[status.st_dev];
  if (auto volume = slot.lock()) return volume;
  auto volume = std::make_shared<ManagedVolume>(ManagedVolume::PassKey{}, path.ToUTF8String());
  slot = volume;
  return volume;
}

void DiskCacheManager::DeleteCacheFiles(ImmutableString const& path, std::chrono::milliseconds lockWait) {
  detail::DiskDataCache::DeleteDatabaseFiles(std::filesystem::path(path.view()), lockWait);
}

std::shared_ptr<DataCache> CreateDataCacheInFilesystemAndManageDirectory(
    ImmutableString const& path, std::shared_ptr<DiskCacheManager::ManagedDirectory>& outDirectory,
    bool createDirectory, bool trackLastUse, bool clearExistingItems) {
  return detail::DiskDataCache::Create(path, createDirectory,
                                       detail::DiskDataCache::Options{trackLastUse, clearExistingItems}, outDirectory);
}

}  // namespace MF
