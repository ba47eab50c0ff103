#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Host/AnalyzerCacheLocation.h"
#include "quillan/CommandLine.h"

namespace Quillan::Cli {

// The arguments of `quillan analyze`.
struct AnalyzeOptions {
  std::vector<std::string> analyzers;                           // names or GUIDs; empty: every type-0 analyzer
  std::vector<std::pair<std::string, std::string>> parameters;  // analyzer name or GUID, parameter text
  std::optional<AnalyzerCacheLocation> cacheLocation;           // for this run only
  bool json = false;
  bool noProgress = false;
  std::vector<std::string> modules;
  std::vector<std::string> files;
};

// Reads the arguments after `analyze`. Throws UsageError.
AnalyzeOptions ParseAnalyzeArguments(ArgumentCursor& arguments);

// `quillan analyze ...`: admits each file as a clip over a media of that file, runs the analyzers through the
// default host, shows their progress, and prints each result or failure. Returns kExitOk when every job gave a
// result, kExitFailed when any failed or a file could not be read, and 128 + the signal after a SIGINT (130), SIGTERM
// (143) or SIGHUP (129), which cancels the running jobs through their progress items and waits for them to end.
// Sidecar files it could not write are reported once, on stderr.
int RunAnalyzeCommand(ArgumentCursor& arguments);

}  // namespace Quillan::Cli
