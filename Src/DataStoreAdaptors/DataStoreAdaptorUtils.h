#pragma once

#include <string>

#include "DataStoreAdaptors/IDataStoreAdaptor.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "Foundation/Export.h"
#include "zelcore/ZelException.h"

namespace Quillan {

// The debug entry that makes every store load report a miss; saves are not affected.
inline constexpr char kIgnoreAnalyzerCacheEntry[] = "ZELSE.IgnoreAnalyzerCache";

// Thrown for an empty cache key. Its message is always "The cache key may not be null".
class QUILLAN_EXPORT IllegalCacheKeyException : public zelcore::config::zel_exception {
 public:
  explicit IllegalCacheKeyException(Result result);
  explicit IllegalCacheKeyException(zelcore::config::zel_exception const& other);
};

// The key a result is filed under: "<analyzer GUID>__<parameter>__<inKey>", nothing escaped or shortened.
// Throws IllegalCacheKeyException (kResultIllegalArgument) when `inKey` is empty.
QUILLAN_EXPORT ImmutableString GenerateCacheKey(Guid const& analyzerGuid, ImmutableString const& parameter,
                                                ImmutableString const& inKey);

// A regular expression (ECMAScript) matching the cache key of `analyzerGuid` and `inKey` under any parameter.
QUILLAN_EXPORT std::string GenerateCacheKeyPattern(Guid const& analyzerGuid, ImmutableString const& inKey);

// The data source identity of a target: the clip's content-state GUID, or the media's content-and-metadata state
// GUID. Throws for an empty clip (null pointer) and, with kResultNotCached, for a media without metadata or without
// a state.
QUILLAN_EXPORT Guid GetContentStateGuid(Target const& target);

// Whether the ignore switch is on now. Each store decides when to read it.
QUILLAN_EXPORT bool IsAnalyzerCacheIgnored();

}  // namespace Quillan
