#pragma once

#include <cstdint>

#include "Foundation/Export.h"
#include "zelcore/ImmutableString.h"

namespace Quillan {

// The key, in the backend's properties, of the largest sidecar file that a load or a save reads (an integer, in
// bytes). A sidecar is read whole, so this bounds the memory one read of it takes.
QUILLAN_EXPORT extern zelcore::utility::ImmutableString const kPrefsSidecarMaxLoadBytes;

// Well above what the results of every analyzer for one media need, and well below the format's 2 GiB.
inline constexpr std::uint64_t kDefaultSidecarMaxLoadBytes = std::uint64_t{256} << 20;
// The smallest bound that can be stored: smaller ones would refuse sidecars of a handful of results.
inline constexpr std::uint64_t kMinSidecarMaxLoadBytes = std::uint64_t{64} << 10;

// The stored bound: kDefaultSidecarMaxLoadBytes when it was never stored, and the format's own limit
// (SidecarDataStoreAdaptorSerialization::kMaxSideCarBufferSize) when it is above that. Re-reads the settings file
// first when another process changed it. Throws the null-pointer exception naming BE::IProperties when the backend
// has no properties, and BE::exSettingsFile, naming the file and the key, when the stored value is not an integer or
// is below kMinSidecarMaxLoadBytes. May be called from any thread.
QUILLAN_EXPORT std::uint64_t GetSidecarMaxLoadBytes();

}  // namespace Quillan
