#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Host/AnalyzerCacheLocation.h"
#include "quillan/OutputFormat.h"
#include "quillan/ToolErrors.h"
#include "zelcore/RecycledMemory.h"

namespace Quillan::Cli {

// Which job starts next when fewer may run than there are.
enum class JobOrder {
  kShortestFirst,  // the smallest file first, so that short files do not wait behind long ones
  kGiven,          // the files in the order given, each file's analyzers in the order given
};

// The arguments of `quillan analyze`.
struct AnalyzeOptions {
  std::vector<std::string> analyzers;        // names or GUIDs; empty: every type-0 analyzer
  std::vector<std::string> parameters;       // NAME=VALUE: analyzer name or GUID, parameter text
  std::optional<std::string> cacheLocation;  // for this run only
  OutputFormat format = OutputFormat::kTable;
  bool noProgress = false;
  bool recursive = false;  // folders are walked to any depth; else a folder's own files only
  // Globs that pick (include) or leave out (exclude) what a folder yields; matched against the names along its path
  // below the folder, or against that whole path when they hold a '/'. A file given by name is always taken.
  std::vector<std::string> include;
  std::vector<std::string> exclude;
  bool force = false;       // compute afresh and replace what is stored
  bool storedOnly = false;  // print what is stored, computing nothing (`quillan show`)
  std::size_t jobs = 0;     // analyses at once; 0: one per processor
  JobOrder order = JobOrder::kShortestFirst;
  std::vector<std::string> modules;
  std::vector<std::string> files;  // files and folders
};

// `quillan analyze ...`: admits each file as a clip over a media of that file, runs the analyzers through the
// default host, shows their progress, and prints each result or failure. Returns kExitOk when every job gave a
// result, kExitFailed when any failed or a file could not be read, and 128 + the signal after a SIGINT (130), SIGTERM
// (143) or SIGHUP (129), which cancels the running jobs through their progress items and waits for them to end.
// Sidecar files it could not write are reported once, on stderr.
int RunAnalyzeCommand(AnalyzeOptions const& options);

// One analyzer's result for one file, got as `quillan analyze` gets it: from the cache that the settings choose, or
// computed and saved there.
struct SingleAnalysis {
  zelcore::Blob blob;
  bool fromCache = false;
  // Nonzero when the user interrupted the run: the exit code to end with (see RunAnalyzeCommand).
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
