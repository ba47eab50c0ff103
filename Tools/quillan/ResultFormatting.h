#pragma once

#include <string>

#include "quillan/JsonWriter.h"
#include "zelcore/Guid.h"
#include "zelcore/RecycledMemory.h"
#include "zelcore/ZelException.h"

namespace Quillan::Cli {

// The decoded result of analyzer `id` as a JSON object: the digest's hex, the loudness figures or a summary of the
// peak envelope for the example analyzers, else (and for a blob without the documented layout) its size only.
void WriteResultJson(JsonWriter& out, zelcore::utility::Guid const& id, zelcore::Blob const& blob);
// The same as one line of text for a table.
std::string ResultSummary(zelcore::utility::Guid const& id, zelcore::Blob const& blob);

// A result code as people read it: "0xa00f0007".
std::string ResultCodeText(zelcore::config::Result code);
// What a failure says: its message, or when it has none (many of the system's failures carry only a code) what its
// code means.
std::string DescribeFailure(zelcore::config::Result code, std::string const& message);

}  // namespace Quillan::Cli
