#pragma once

#include <cstdint>
#include <filesystem>

#include <string>

#include "quillan/OutputFormat.h"
#include "quillan/ToolErrors.h"

namespace Quillan::Cli {

// What the managed analyzer cache folder holds.
struct CacheStats {
  std::uint64_t items = 0;
  std::uint64_t bytes = 0;
};

// The limits that the managed store keeps to on the folder's volume.
struct CacheLimits {
  std::uint64_t bound = 0;            // what the folder may hold
  std::uint64_t freeSpaceTarget = 0;  // what the cache leaves free on the volume
  std::uint64_t volumeAvailable = 0;  // what the volume has free now
};

// The managed analyzer cache folder of the project model's preferences.
std::filesystem::path ManagedCacheFolder();

// `quillan cache path|stats|clear`: `action` is one of those three.
int RunCacheCommand(std::string const& action, OutputFormat format);

}  // namespace Quillan::Cli
