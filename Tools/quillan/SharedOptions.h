#pragma once

#include <string>
#include <vector>

#include "quillan/OutputFormat.h"

namespace CLI {
class App;
}

namespace Quillan::Cli {

// Declares --format and its shorthand --json on `command`, read into `format`. `ndjsonNote` tells more of the NDJSON
// lines of this command (", one per value"); it may be empty.
void AddFormatOptions(CLI::App& command, OutputFormat& format, std::string const& ndjsonNote = {});

// Declares --plugin on `command`: analyzer modules to load first, read into `modules`.
void AddPluginOption(CLI::App& command, std::vector<std::string>& modules);

}  // namespace Quillan::Cli
