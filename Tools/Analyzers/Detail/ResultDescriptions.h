#pragma once

#include <optional>

#include "Analyzers/IResultDescriber.h"
#include "zelcore/Guid.h"
#include "zelcore/RecycledMemory.h"

namespace Quillan::Examples::detail {

// The result of the example analyzer `analyzerId` described; empty for another analyzer or a blob without its layout.
std::optional<ResultDescription> DescribeExampleResult(zelcore::utility::Guid const& analyzerId,
                                                       zelcore::Blob const& blob);

}  // namespace Quillan::Examples::detail
