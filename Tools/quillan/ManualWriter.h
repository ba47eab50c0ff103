#pragma once

#include <map>
#include <string>

namespace CLI {
class App;
}

namespace Quillan::Cli {

enum class ManualKind {
  kManPage,         // quillan.1, in roff
  kBashCompletion,  // a bash script that completes commands, options and their values
};

// Writes the man page or the bash completion of `app` to the file `output`. `valueWords` gives, per option name, the
// words its value may be ("table json"), or "@analyzers", "@files" or "@directories" to complete those; an option not
// in it completes file names. Throws CommandFailure when the file cannot be written.
void WriteManual(CLI::App const& app, ManualKind kind, std::map<std::string, std::string> const& valueWords,
                 std::string const& output, std::string const& version);

}  // namespace Quillan::Cli
