#include "MF/DataCache.h"

#include "MF/Detail/MemoryDataCache.h"

namespace MF {

DataCache::~DataCache() = default;

std::shared_ptr<DataCache> CreateDataCacheInMemory() { return CreateDataCacheInMemory(kDefaultMemoryCacheBytes); }

std::shared_ptr<DataCache> CreateDataCacheInMemory(std::uint64_t maxBytes) {
  return std::make_shared<detail::MemoryDataCache>(maxBytes);
}

}  // namespace MF
