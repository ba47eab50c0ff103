#pragma once

#include <functional>
#include <string>
#include <vector>

#include "BE/SettingsFileException.h"
#include "Host/AnalyzerCacheLocation.h"
#include "quillan/CommandActions.h"
#include "quillan/ToolErrors.h"

namespace Quillan::Cli {

// "sidecar", "managed", "read-only" or a decimal int32 (kept as it is: values without a name read the sidecar file
// only and write nowhere). Throws UsageError naming `command` for anything else.
AnalyzerCacheLocation ParseCacheLocation(std::string const& text, std::string const& command);
// The text ParseCacheLocation reads back: the name of a named value, else its number.
std::string CacheLocationText(AnalyzerCacheLocation location);

// Makes `location` the cache location of this process only: the project model's properties hold it in memory as a
// value not yet final, so analyzers read it through GetDefaultCacheLocation while the settings file stays as it
// was (nothing in the tool writes a final value afterwards, which would persist it). Throws CommandFailure when the
// setting is read-only and holds another value.
void OverrideCacheLocationForThisRun(AnalyzerCacheLocation location);

// Where the tool's folders came from, for `config list`: "--config-dir", "QUILLAN_CONFIG_DIR" or "default".
struct FolderSources {
  std::string configDirectory;
  std::string cacheDirectory;
};

// What the tool says of a settings problem: its message (which names the file and the key), and for a key that
// `config set` writes, the command that replaces the value.
std::string SettingsProblemText(BE::exSettingsFile const& problem);

// The settings that `config get` and `config set` know.
std::vector<std::string> SettingNames();

// Declares `quillan config get|set|list` on `app`, with their actions. `sources` tells `config list` where the tool's
// folders came from.
void AddConfigCommands(CLI::App& app, CommandActions& actions, std::function<FolderSources()> sources);

}  // namespace Quillan::Cli
