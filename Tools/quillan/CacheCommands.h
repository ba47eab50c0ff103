#pragma once

#include <filesystem>

#include "quillan/CommandActions.h"

namespace Quillan::Cli {

// The managed analyzer cache folder of the project model's preferences.
std::filesystem::path ManagedCacheFolder();

// Declares `quillan cache path|stats|clear|prune` on `app`, with their actions: the managed cache's folder, what it
// holds, and the removal of all or the least recently used of its items.
void AddCacheCommands(CLI::App& app, CommandActions& actions);

}  // namespace Quillan::Cli
