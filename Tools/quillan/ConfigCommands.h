#pragma once

#include <string>

#include "Host/AnalyzerCacheLocation.h"
#include "quillan/CommandLine.h"

namespace Quillan::Cli {

// "sidecar", "managed", "read-only" or a decimal int32 (kept as it is: values without a name read the sidecar file
// only and write nowhere). Throws UsageError naming `command` for anything else.
AnalyzerCacheLocation ParseCacheLocation(std::string const& text, std::string const& command);
// The text ParseCacheLocation reads back: the name of a named value, else its number.
std::string CacheLocationText(AnalyzerCacheLocation location);

// Makes `location` the cache location of this process only: the project model's properties hold it in memory as a
// value not yet final, so analyzers read it through GetDefaultCacheLocation while the settings file stays as it
// was (nothing in the tool writes a final value afterwards, which would persist it). Throws CommandFailure when the
// setting is read-only and holds another value.
void OverrideCacheLocationForThisRun(AnalyzerCacheLocation location);

// `quillan config get cache-location` and `quillan config set cache-location VALUE`.
int RunConfigCommand(ArgumentCursor& arguments);

}  // namespace Quillan::Cli
