#include "DataStoreAdaptors/SidecarMaxLoadBytes.h"

#include <algorithm>

#include "BE/Backend.h"
#include "BE/Properties.h"
#include "BE/SettingsFileException.h"
#include "DataStoreAdaptors/SidecarDataStoreAdaptorSerialization.h"
#include "Host/AnalyzerCacheLocation.h"

namespace Quillan {

zelcore::utility::ImmutableString const kPrefsSidecarMaxLoadBytes =
    zelcore::utility::ImmutableString::_PrivateCreateStatic("SidecarMaxLoadBytes");

std::uint64_t GetSidecarMaxLoadBytes() {
  auto const properties = zelcore::InterfaceRef<BE::IProperties>::Query(BE::GetBackend());
  if (!properties) zelcore::config::DoThrowNullPtrException("BE::IProperties");
  // Another program may have changed the setting since it was read; every job asks, so a look at the file stands
  // for a second.
  properties->RefreshIfStale();
  // A plain integer in the settings file: every bound the format allows fits in an int.
  BE::SerializeableValue<int> value(0);
  if (!properties->ReadValue(kPrefsSidecarMaxLoadBytes, value)) return kDefaultSidecarMaxLoadBytes;
  if (value.GetValue() < static_cast<std::int64_t>(kMinSidecarMaxLoadBytes)) {
    throw BE::exSettingsFile(properties->GetFilePath(), std::string(kPrefsSidecarMaxLoadBytes.view()),
                             "the largest sidecar to read must be at least " + std::to_string(kMinSidecarMaxLoadBytes) +
                                 " bytes, not " + std::to_string(value.GetValue()));
  }
  return std::min<std::uint64_t>(static_cast<std::uint64_t>(value.GetValue()),
                                 SidecarDataStoreAdaptorSerialization::kMaxSideCarBufferSize);
}

}  // namespace Quillan
