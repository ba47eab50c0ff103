#include "quillan/ExportCommand.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Export/ExportFormat.h"
#include "quillan/AnalyzeCommand.h"
#include "quillan/OutputPath.h"
#include "quillan/TextTable.h"

namespace Quillan::Cli {
namespace {

std::string Join(std::vector<std::string_view> const& words, std::string const& separator) {
  std::string text;
  for (std::string_view const word : words) text += (text.empty() ? "" : separator) + std::string(word);
  return text;
}

// One analyzer's events of `file` added to `media`; false when the analyzer does not apply to the file. A stored
// result that does not decode is computed afresh and stored over, as the picture commands do.
bool AddEvents(std::string const& file, std::string const& analyzer, Export::MediaEvents& media, int& interrupted) {
  for (bool const fresh : {false, true}) {
    SingleAnalysis const analysis = AnalyzeOneFile(file, analyzer, std::nullopt, {}, "export", fresh, true);
    if (analysis.interruptedExit != 0) {
      interrupted = analysis.interruptedExit;
      return false;
    }
    if (analysis.notApplicable) return false;
    if (Export::AddAnalyzerResult(analyzer, analysis.blob, media)) return true;
    if (!analysis.fromCache) break;
    std::cerr << "quillan: warning: the cached " << analyzer << " result of " << Printable(file)
              << " does not decode; computing it afresh\n";
  }
  throw CommandFailure("the " + analyzer + " result of " + Printable(file) + " does not have its analyzer's layout");
}

// The arguments of `quillan export`.
struct ExportOptions {
  std::vector<std::string> files;
  std::string format;
  std::string output;
  bool overwrite = false;
  std::vector<std::string> analyzers;
};

// `quillan export`.
int RunExport(ExportOptions const& options) {
  Export::ExportFormat const format = *Export::ParseExportFormat(options.format);
  if (Export::IsSingleMediaFormat(format) && options.files.size() != 1) {
    throw UsageError("--to " + options.format + " writes the chapters of one file; " +
                         std::to_string(options.files.size()) + " were given",
                     "export");
  }
  std::optional<OutputPath> output;
  if (!options.output.empty()) {
    output.emplace(options.output, options.overwrite, "export");
    for (std::string const& file : options.files) output->ReadsMedia(file);
    output->Check();
  }
  std::vector<std::string> analyzers = options.analyzers;
  if (analyzers.empty()) {
    for (std::string_view const name : Export::ExportedAnalyzerNames()) analyzers.emplace_back(name);
  }
  std::vector<Export::MediaEvents> media;
  for (std::string const& file : options.files) {
    Export::MediaEvents& events = media.emplace_back();
    events.file = file;
    for (std::string const& analyzer : analyzers) {
      int interrupted = 0;
      AddEvents(file, analyzer, events, interrupted);
      if (interrupted != 0) return interrupted;
    }
  }
  std::string const text = Export::WriteExport(format, media);
  if (!output) {
    std::cout << text << std::flush;
    return kExitOk;
  }
  output->Write(std::span(reinterpret_cast<std::uint8_t const*>(text.data()), text.size()));
  std::size_t events = 0;
  for (Export::MediaEvents const& file : media) events += file.events.size();
  std::cerr << "Wrote " << Printable(options.output) << " (" << options.format << ", " << events
            << (events == 1 ? " event" : " events") << " of " << media.size()
            << (media.size() == 1 ? " file" : " files") << ")\n";
  return kExitOk;
}

}  // namespace

void AddExportCommand(CLI::App& app, CommandActions& actions) {
  auto const options = std::make_shared<ExportOptions>();
  std::vector<std::string> formats;
  for (std::string_view const name : Export::ExportFormatNames()) formats.emplace_back(name);
  std::vector<std::string> analyzers;
  for (std::string_view const name : Export::ExportedAnalyzerNames()) analyzers.emplace_back(name);
  CLI::App* command = app.add_subcommand(
      "export", "write the events of media files (shots, silences, beats) as chapters, a timeline, an EDL or a table");
  command->footer(
      "Formats: ffmetadata (FFmpeg metadata chapters, one per shot), webvtt (WebVTT chapters), mlt (MLT XML: the "
      "media cut into its shots, other events as guides), otio (OpenTimelineIO: a clip per shot, other events as "
      "markers), edl (CMX 3600 EDL of the shots), csv and ndjson (one row per event). A file without pictures is cut "
      "where its silences end, at 25 frames per second. The results are taken from the cache when there, else "
      "computed and stored as the cache-location setting says, as 'quillan analyze' does.");
  command->add_option("FILE", options->files, "a media file; chapters (ffmetadata, webvtt) take one")->required();
  command->add_option("--to", options->format, "the format: " + Join(Export::ExportFormatNames(), ", "))
      ->check(CLI::IsMember(formats))
      ->type_name("FORMAT")
      ->required();
  command->add_option("-o,--output", options->output, "the file to write (default: standard output)")->type_name("OUT");
  command->add_flag("-y,--overwrite", options->overwrite, "replace OUT when it exists (never an input or a sidecar)")
      ->disable_flag_override();
  command
      ->add_option("--analyzer,-a", options->analyzers,
                   "export this analyzer's events: " + Join(Export::ExportedAnalyzerNames(), ", ") +
                       " (default: all). May be repeated.")
      ->check(CLI::IsMember(analyzers))
      ->type_name("NAME")
      ->allow_extra_args(false);
  actions.Set(*command, [options] { return RunExport(*options); });
}

}  // namespace Quillan::Cli
