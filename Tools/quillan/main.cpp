#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "BE/Backend.h"
#include "BE/Properties.h"
#include "quillan/AnalyzeCommand.h"
#include "quillan/AnalyzerCatalog.h"
#include "quillan/CacheCommands.h"
#include "quillan/CommandLine.h"
#include "quillan/ConfigCommands.h"
#include "quillan/SidecarCommands.h"
#include "zelcore/Application.h"
#include "zelcore/DebugDatabase.h"

namespace Quillan::Cli {
namespace {

// The options before the subcommand.
struct GlobalOptions {
  std::string cacheDirectory;
  std::string configDirectory;
  std::vector<std::pair<std::string, std::string>> debugEntries;
  bool help = false;
  bool version = false;
};

GlobalOptions ParseGlobalOptions(ArgumentCursor& arguments) {
  GlobalOptions options;
  for (;;) {
    std::string value;
    if (arguments.TakeOption("--cache-dir", value)) {
      if (value.empty()) throw UsageError("--cache-dir needs a folder");
      options.cacheDirectory = value;
    } else if (arguments.TakeOption("--config-dir", value)) {
      if (value.empty()) throw UsageError("--config-dir needs a folder");
      options.configDirectory = value;
    } else if (arguments.TakeOption("--debug", value)) {
      options.debugEntries.push_back(SplitAssignment(value, "--debug", {}));
    } else if (arguments.TakeFlag("--help") || arguments.TakeFlag("-h")) {
      options.help = true;
    } else if (arguments.TakeFlag("--version")) {
      options.version = true;
    } else {
      return options;
    }
  }
}

// Points the platform at the folders of the command line. The project model reads these variables when it first
// makes its settings and picks its cache folder, which has not happened yet: nothing before this line touches it.
void ApplyGlobalOptions(GlobalOptions const& options) {
  // Absolute, so that a later change of the working folder cannot move them.
  if (!options.cacheDirectory.empty()) {
    setenv("QUILLAN_CACHE_DIR", std::filesystem::absolute(options.cacheDirectory).c_str(), 1);
  }
  if (!options.configDirectory.empty()) {
    setenv("QUILLAN_CONFIG_DIR", std::filesystem::absolute(options.configDirectory).c_str(), 1);
  }
  auto const properties = zelcore::InterfaceRef<BE::IProperties>::Query(BE::GetBackend());
  // Only if something made the backend before main (a module's static initialiser, say).
  if (properties && properties->GetFilePath() != BE::GetDefaultPropertiesFilePath()) {
    properties->SetFilePath(BE::GetDefaultPropertiesFilePath());
  }
  for (auto const& [key, value] : options.debugEntries) zelcore::debug::DebugDatabase::Instance().SetEntry(key, value);
}

bool WantsHelp(std::vector<std::string> const& arguments) {
  for (std::string const& argument : arguments) {
    if (argument == "--") return false;
    if (argument == "--help" || argument == "-h") return true;
  }
  return false;
}

int RunCommand(std::string const& command, std::vector<std::string> rest) {
  if (WantsHelp(rest)) {
    std::string name = command;
    if ((command == "sidecar") && !rest.empty() && rest.front() != "--help" && rest.front() != "-h") {
      name += " " + rest.front();
    }
    std::cout << UsageOf(name) << "\n";
    return kExitOk;
  }
  ArgumentCursor arguments(std::move(rest), command);
  if (command == "analyze") return RunAnalyzeCommand(arguments);
  if (command == "analyzers") return RunAnalyzersCommand(arguments);
  if (command == "sidecar") return RunSidecarCommand(arguments);
  if (command == "cache") return RunCacheCommand(arguments);
  if (command == "config") return RunConfigCommand(arguments);
  throw UsageError("unknown command \"" + command + "\"");
}

int Main(int argc, char** argv) {
  std::vector<std::string> const all(argv + 1, argv + argc);
  ArgumentCursor global(all, {});
  GlobalOptions const options = ParseGlobalOptions(global);
  if (options.help) {
    std::cout << HelpText();
    return kExitOk;
  }
  if (options.version) {
    std::cout << "quillan " << QUILLAN_VERSION << "\n";
    return kExitOk;
  }
  std::string const command = global.TakePositional("COMMAND");
  std::vector<std::string> rest;
  while (!global.AtEnd()) rest.push_back(global.TakeRaw());
  ApplyGlobalOptions(options);
  return RunCommand(command, std::move(rest));
}

}  // namespace
}  // namespace Quillan::Cli

int main(int argc, char** argv) {
  using namespace Quillan::Cli;
  int exitCode = kExitOk;
  try {
    exitCode = Main(argc, argv);
  } catch (UsageError const& error) {
    std::cerr << "quillan: " << error.what() << "\n" << UsageOf(error.Command()) << "\n";
    exitCode = kExitUsage;
  } catch (std::exception const& error) {
    std::cerr << "quillan: " << error.what() << "\n";
    exitCode = kExitFailed;
  }
  std::cout.flush();
  // Queued cache writes commit before the platform's singletons go.
  zelcore::config::ShutdownApplication();
  return exitCode;
}
