#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "quillan/AnalyzeCommand.h"
#include "quillan/CacheCommands.h"
#include "quillan/ExportCommand.h"
#include "quillan/PictureCommands.h"
#include "quillan/SidecarCommands.h"

namespace CLI {
class App;
}

namespace Quillan::Cli {

// The tool's command line: every command, option and help text, read by CLI11. The help, the man page and the bash
// completion are all made from it. Not thread-safe; one per process.
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
  // Throws UsageError for arguments that no command or option took, naming the closest one.
  void RejectLeftovers(CLI::App const& command) const;
  void ApplyGlobals() const;
  int Dispatch();

  std::unique_ptr<CLI::App> app_;
  Globals globals_;
  AnalyzeOptions analyze_;
  AnalyzeOptions show_;
  OutputFormat listFormat_ = OutputFormat::kTable;
  std::vector<std::string> modules_;
  std::string sidecarFile_;
  std::vector<std::string> sidecarFiles_;
  SidecarGetOptions sidecarGet_;
  SidecarCleanOptions sidecarClean_;
  std::string settingName_;
  std::string settingValue_;
  PruneRequest prune_;
  std::vector<std::string> helpTopic_;
  std::string generateWhat_;
  std::string generateOutput_;
  PictureCommands pictures_;
  ExportCommand export_;
};

}  // namespace Quillan::Cli
