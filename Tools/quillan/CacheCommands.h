#pragma once

#include <cstdint>
#include <filesystem>

#include "quillan/CommandLine.h"

namespace Quillan::Cli {

// What the managed analyzer cache folder holds.
struct CacheStats {
  std::uint64_t items = 0;
  std::uint64_t bytes = 0;
};

// The managed analyzer cache folder of the project model's preferences.
std::filesystem::path ManagedCacheFolder();

// `quillan cache path|stats|clear [--json]`
int RunCacheCommand(ArgumentCursor& arguments);

}  // namespace Quillan::Cli
