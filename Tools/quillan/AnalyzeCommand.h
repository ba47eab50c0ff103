#pragma once

#include <optional>
#include <string>
#include <vector>

#include "quillan/CommandActions.h"
#include "quillan/ToolErrors.h"
#include "zelcore/RecycledMemory.h"

namespace Quillan::Cli {

// Declares `quillan analyze` (also spelt `analyse`) and `quillan show` on `app`, with their actions.
void AddAnalyzeCommands(CLI::App& app, CommandActions& actions);

// One analyzer's result for one file, got as `quillan analyze` gets it: from the cache that the settings choose, or
// computed and saved there.
struct SingleAnalysis {
  zelcore::Blob blob = nullptr;
  bool fromCache = false;
  // Nonzero when the user interrupted the run: the exit code to end with, 128 + the signal (130 for SIGINT).
  int interruptedExit = 0;
  // The analyzer does not apply to the file (no audio, no pictures): there is no blob. Only when asked for.
  bool notApplicable = false;
};

// Runs `analyzer` (a name or GUID, after loading `modules`) with `parameter` on `file` through the default host,
// showing its progress on a terminal. With `fresh`, an analyzer of the example module computes its result whatever
// the cache holds and saves it over the cached one (others cannot be asked to: `fresh` is then ignored). Throws
// UsageError (naming `command`) for an unknown analyzer, and CommandFailure with analyze's message when the file
// cannot be read, the job fails or gives no result. With `notApplicableIsResult`, an analyzer that does not apply to
// the file gives a SingleAnalysis that says so instead of a failure.
SingleAnalysis AnalyzeOneFile(std::string const& file, std::string const& analyzer,
                              std::optional<std::string> const& parameter, std::vector<std::string> const& modules,
                              std::string const& command, bool fresh = false, bool notApplicableIsResult = false);

}  // namespace Quillan::Cli
