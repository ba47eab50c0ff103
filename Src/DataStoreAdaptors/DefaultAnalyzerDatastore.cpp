#include "DataStoreAdaptors/DefaultAnalyzerDatastore.h"

#include <utility>

#include "DataStoreAdaptors/CompoundDataStoreAdaptor.h"
#include "DataStoreAdaptors/SidecarDataStoreAdaptor.h"

namespace Quillan {

zelcore::InterfaceRef<IDataStoreAdaptor> CreateDefaultAnalyzerDatastore(
    AnalyzerCacheLocation const& location, zelcore::InterfaceRef<IAnalyzerHost> const& host,
    bool allowAnyParameterHash) {
  auto sidecar = SidecarDataStoreAdaptor::CreateWithDefaultExtension(
      allowAnyParameterHash ? SidecarDataStoreAdaptor::kAllowAnyParameterHash
                            : SidecarDataStoreAdaptor::kExactParameterHash);
  zelcore::InterfaceRef<IDataStoreAdaptor> managed;
  if (host) managed = host->GetManagedDataStore();

  CompoundDataStoreAdaptor::Adaptors readAdaptors{sidecar};
  CompoundDataStoreAdaptor::Adaptors writeAdaptors;
  switch (location) {
    case AnalyzerCacheLocation::kSidecarFile:
      writeAdaptors.push_back(sidecar);
      if (managed) readAdaptors.push_back(managed);
      break;
    case AnalyzerCacheLocation::kManagedCache:
      if (managed) {
        readAdaptors.insert(readAdaptors.begin(), managed);
        writeAdaptors.push_back(managed);
      }
      break;
    case AnalyzerCacheLocation::kReadOnly:
      if (managed) readAdaptors.push_back(managed);
      break;
    default:
      // An unknown setting never writes: reading the sidecar file cannot harm anything.
      break;
  }
  return CompoundDataStoreAdaptor::Create(std::move(readAdaptors), std::move(writeAdaptors));
}

}  // namespace Quillan
