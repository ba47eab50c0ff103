#pragma once

#include <any>
#include <cstdint>
#include <functional>

#include "zelcore/ClassRef.h"

namespace BE {
struct IClip;
}

namespace Quillan {

struct IAnalyzer;
struct IAnalyzerHost;

// Groups analyzer GUIDs in the registry. The host runs every analyzer of type 0 when it analyses a whole clip;
// other values are keys of the analyzer modules' own choosing.
enum class AnalyzerType : std::uint32_t {};

// Builds the analyzer for one clip, configured by an analyzer-specific parameter (empty when the caller has none)
// and bound to its host by a weak reference. An empty result means the analyzer does not apply to the clip.
using AnalyzerFactory = std::function<zelcore::InterfaceRef<IAnalyzer>(
    zelcore::InterfaceRef<BE::IClip> const& clip, std::any const& parameter,
    zelcore::InterfaceWeakRef<IAnalyzerHost> const& host)>;

}  // namespace Quillan
