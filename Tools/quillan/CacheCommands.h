#pragma once

#include <filesystem>
#include <string>

#include "quillan/OutputFormat.h"
#include "quillan/ToolErrors.h"

namespace Quillan::Cli {

// What `quillan cache prune` removes: results unused for longer than `olderThan` ("30d"), then the least recently
// used ones until the rest fit `toSize` ("1G"). Empty texts are rules not given.
struct PruneRequest {
  std::string olderThan;
  std::string toSize;
};

// The managed analyzer cache folder of the project model's preferences.
std::filesystem::path ManagedCacheFolder();

// `quillan cache path|stats|clear|prune`: `action` is one of those four; `prune` is read for "prune" only.
int RunCacheCommand(std::string const& action, OutputFormat format, PruneRequest const& prune);

}  // namespace Quillan::Cli
