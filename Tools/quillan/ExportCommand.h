#pragma once

#include "quillan/CommandActions.h"

namespace Quillan::Cli {

// Declares `quillan export FILE... --to FORMAT [-o OUT] [--analyzer NAME...]` on `app`, with its action: the events of
// media files (cuts, silences, beats) in a form that editors and players read, from the stored results, or computed
// and stored as `quillan analyze` does when there are none.
void AddExportCommand(CLI::App& app, CommandActions& actions);

}  // namespace Quillan::Cli
