#pragma once

#include <string>

#include "Analyzers/IAnalyzer.h"
#include "Analyzers/IResultDescriber.h"

namespace Quillan {

// The result `blob` stored under `key` by `analyzer`, as the analyzer's IResultDescriber describes it. Where the
// analyzer has none, its description is not well formed (a summary of one line and a JSON object with a text
// "name", an object "fields" and an object "units" of texts), it throws, or `analyzer` is null, the description is
// the blob's size: summary "N bytes", fields {"size": N}, units {"size": "bytes"}, named `fallbackName`.
QUILLAN_EXPORT ResultDescription DescribeAnalyzerResult(zelcore::InterfaceRef<IAnalyzer> const& analyzer,
                                                        std::string const& fallbackName,
                                                        zelcore::utility::ImmutableString const& key,
                                                        zelcore::Blob const& blob);

}  // namespace Quillan
