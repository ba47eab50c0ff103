#pragma once

#include "zelcore/Export.h"

namespace zelcore::config {

// The application's shutdown call: drains the pre-termination executor (every task queued on it or its
// sub-executors runs, including tasks they queue meanwhile), then runs the singleton terminations. Call it
// before the process exits, from a thread that is not running a task of the pre-termination executor.
ZELCORE_EXPORT void ShutdownApplication();

}  // namespace zelcore::config
