#pragma once

#include <exception>
#include <memory>
#include <variant>

#include "Foundation/Export.h"
#include "Foundation/Future.h"
#include "zelcore/ClassRef.h"
#include "zelcore/Guid.h"
#include "zelcore/ImmutableString.h"
#include "zelcore/RecycledMemory.h"

namespace BE {
struct IClip;
struct IMedia;
}  // namespace BE

namespace Quillan {

using zelcore::utility::Guid;
using zelcore::utility::ImmutableString;

// What an analyzer analyses and what a store files results under: a clip (alternative 0) or a media (1).
using Target = std::variant<zelcore::InterfaceRef<BE::IClip>, zelcore::InterfaceRef<BE::IMedia>>;

// A cache of analysis results: opaque blobs filed per target, analyzer GUID, serialized parameter and key.
// Loads and saves may be called from any thread and answer through their future; a miss is a failure, which
// IsDataNotFoundInCache tells apart from a real error.
struct QUILLAN_EXPORT IDataStoreAdaptor : zelcore::classref::Unknown {
  ZEL_INTERFACE_NAME("Quillan::IDataStoreAdaptor")

  // Completes when the store has accepted `blob` under the quadruple.
  virtual zelcore::async::Future<void> SaveDataWithKey(Target const& target, Guid const& analyzerGuid,
                                                       ImmutableString const& parameter, ImmutableString const& key,
                                                       zelcore::Blob const& blob) = 0;
  // Completes with the blob stored under the quadruple, or fails (a miss included).
  virtual zelcore::async::Future<zelcore::Blob> LoadDataWithKey(Target const& target, Guid const& analyzerGuid,
                                                                ImmutableString const& parameter,
                                                                ImmutableString const& key) const = 0;
  // Whether `exception`, from this store's LoadDataWithKey, means that nothing is cached rather than an error.
  virtual bool IsDataNotFoundInCache(std::exception_ptr const& exception) const = 0;
};

}  // namespace Quillan
