#pragma once

#include <optional>

#include "Analyzers/IAnalyzer.h"
#include "Analyzers/IParameterDescriber.h"

namespace Quillan {

// What `analyzer` says of itself through its IParameterDescriber. Empty when `analyzer` is null or has none, when
// its describer throws, and when the description is not well formed: a summary and every meaning, default, range and
// unit of one line; every name not empty, given once, and free of spaces, ',' and '='; at most one bare setting; a
// minimum not above its maximum.
QUILLAN_EXPORT std::optional<AnalyzerDescription> DescribeAnalyzerParameters(
    zelcore::InterfaceRef<IAnalyzer> const& analyzer);

}  // namespace Quillan
