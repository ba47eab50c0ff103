#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "quillan/CommandActions.h"
#include "quillan/ToolErrors.h"

namespace CLI {
class App;
class ExtrasError;
}  // namespace CLI

namespace Quillan::Cli {

// The tool's command line, read by CLI11: its global options, and every command as the command's own file declares it
// (AddAnalyzeCommands and the like), with the action it runs. The help, the man page and the bash completion are all
// made from it. Not thread-safe; one per process.
class CommandLineApp {
 public:
  CommandLineApp();
  ~CommandLineApp();
  CommandLineApp(CommandLineApp const&) = delete;
  CommandLineApp& operator=(CommandLineApp const&) = delete;

  // Parses `argv` and runs its command. Returns the exit code; throws UsageError for a command line it cannot act on
  // and what the command throws.
  int Run(int argc, char const* const* argv);

  // The usage line of `command` ("sidecar get"; empty: the tool's own), for an error message.
  std::string UsageOf(std::string const& command) const;

 private:
  struct Globals {
    std::string cacheDirectory;
    std::string configDirectory;
    std::vector<std::string> debugEntries;
    bool version = false;
  };

  void Build();
  CLI::App* Find(std::string const& command) const;
  std::string HelpOf(CLI::App const& command) const;
  // The words that a value of each option or positional argument may be, for the completion (see ManualWriter).
  std::map<std::string, std::string> ValueWords() const;
  // What to tell of arguments that no command or option took: the first of them, with the closest option or command.
  UsageError LeftoverError(CLI::App const& command, CLI::ExtrasError const& error) const;
  void ApplyGlobals() const;
  // `quillan help [COMMAND...]`.
  int RunHelp() const;

  // Before app_, which is destroyed first: the commands' options that app_ fills live in their actions.
  CommandActions actions_;
  std::unique_ptr<CLI::App> app_;
  Globals globals_;
  std::vector<std::string> helpTopic_;
  std::string generateWhat_;
  std::string generateOutput_;
};

}  // namespace Quillan::Cli
