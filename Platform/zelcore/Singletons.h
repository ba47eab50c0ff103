#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "zelcore/Export.h"

namespace zelcore::config {

// Registers `termination` to tear down a singleton when the application shuts down. `name` identifies it in
// reports (a termination that throws is logged under its name); registering a name twice registers two
// terminations. May be called from any thread, including from a running termination.
ZELCORE_EXPORT void AddTerminationForSingleton(std::string_view name, std::function<void()> termination);

// Runs every registered termination once, the latest registered first, and forgets it. Terminations run
// outside any lock, so one may call into other singletons or register a new termination; a termination
// registered during a run (or after it) is kept for the next run. A termination that throws is logged and
// the others still run. May be called from any thread; concurrent runs share the work, each termination runs
// once.
ZELCORE_EXPORT void RunSingletonTerminations();

// The names of the terminations waiting for the next run, in registration order.
ZELCORE_EXPORT std::vector<std::string> GetPendingSingletonTerminations();

}  // namespace zelcore::config
