#include "quillan/SharedOptions.h"

#include <CLI/CLI.hpp>

namespace Quillan::Cli {

void AddFormatOptions(CLI::App& command, OutputFormat& format, std::string const& ndjsonNote) {
  std::vector<std::string> names;
  for (auto const& [name, value] : OutputFormatNames()) names.push_back(name);
  command
      .add_option_function<std::string>(
          "--format", [&format](std::string const& name) { format = OutputFormatNames().at(name); },
          "how results are printed: table (aligned columns, the default), json (one document), ndjson (one JSON "
          "object per line" +
              ndjsonNote + ") or csv (a header line, then one row per line)")
      ->check(CLI::IsMember(names))
      ->type_name("FORMAT");
  command
      .add_flag_callback(
          "--json", [&format] { format = OutputFormat::kJson; }, "the same as --format json")
      ->disable_flag_override();
}

void AddPluginOption(CLI::App& command, std::vector<std::string>& modules) {
  command
      .add_option("--plugin", modules,
                  "load an analyzer module (a shared library) first; its analyzers can then be named like the "
                  "built-in ones. May be repeated.")
      ->type_name("FILE.so")
      ->allow_extra_args(false);
}

}  // namespace Quillan::Cli
