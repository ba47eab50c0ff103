#pragma once

#include <map>
#include <string>
#include <vector>

#include "quillan/AnalyzerCatalog.h"

namespace CLI {
class App;
}

namespace Quillan::Cli {

enum class ManualKind {
  kManPage,         // quillan.1, in roff
  kBashCompletion,  // a bash script that completes commands, options and their values
};

// Writes the man page or the bash completion of `app` to the file `output`; the man page lists `analyzers` and the
// settings of their parameters. `valueWords` gives, per option name ("--format") or positional argument ("config set
// NAME": the command's path and the argument's name), the words its value may be ("table json"), or "@analyzers",
// "@parameters" (an analyzer's name and "="), "@commands" (the tool's commands, word by word), "@files" or
// "@directories" to complete those; an option or argument not in it completes file names. Throws CommandFailure when
// the file cannot be written.
void WriteManual(CLI::App const& app, ManualKind kind, std::map<std::string, std::string> const& valueWords,
                 std::vector<AnalyzerInfo> const& analyzers, std::string const& output, std::string const& version);

}  // namespace Quillan::Cli
