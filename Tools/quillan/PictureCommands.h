#pragma once

#include "quillan/CommandActions.h"

namespace Quillan::Cli {

// Declares `quillan waveform` and `quillan scenes` on `app`, with their actions: pictures of the peaks and scenes
// analyzers' results, got through the host as `quillan analyze` gets them (computed, or served from the cache).
void AddPictureCommands(CLI::App& app, CommandActions& actions);

}  // namespace Quillan::Cli
