#include "quillan/PictureCommands.h"

#include <CLI/CLI.hpp>
#include <cstddef>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Analyzers/ExampleAnalyzers.h"
#include "Pictures/ContactStrip.h"
#include "Pictures/WaveformData.h"
#include "Pictures/WaveformImage.h"
#include "Pictures/WaveformView.h"
#include "quillan/AnalyzeCommand.h"
#include "quillan/OutputPath.h"
#include "quillan/TextTable.h"
#include "quillan/TimeArgument.h"

namespace Quillan::Cli {
namespace {

// The arguments of `quillan waveform`.
struct WaveformOptions {
  std::string file;
  std::string output;
  bool overwrite = false;
  int width = 1800;
  int height = 280;
  std::string channels = "split";
  std::string scale = "linear";
  std::string from;
  std::string to;
  std::string format = "png";
  int bits = 8;
  std::vector<std::string> modules;
};

// The arguments of `quillan scenes`.
struct ScenesOptions {
  std::string file;
  std::string output;
  bool overwrite = false;
  std::optional<double> threshold;
  int thumbnailHeight = 120;
  int maxWidth = 1800;
  std::size_t maxScenes = 200;
  bool marks = false;
  std::vector<std::string> modules;
};

void AddPlugin(CLI::App* command, std::vector<std::string>& modules) {
  command
      ->add_option("--plugin", modules,
                   "load an analyzer module (a shared library) first, e.g. one with analyzers of the same name. May "
                   "be repeated.")
      ->type_name("FILE.so")
      ->allow_extra_args(false);
}

void AddOverwrite(CLI::App* command, bool& overwrite) {
  command->add_flag("-y,--overwrite", overwrite, "replace OUT when it exists (never an input or a sidecar)")
      ->disable_flag_override();
}

std::string Source(bool fromCache) { return fromCache ? "cached" : "computed"; }

// Checked before any work, so that a refusal leaves the media, its sidecar and the caches untouched.
OutputPath Output(std::string const& path, bool overwrite, std::string const& media,
                  std::vector<std::string> const& modules, std::string const& command) {
  OutputPath output(path, overwrite, command);
  output.ReadsMedia(media);
  for (std::string const& module : modules) output.Reads(module, "the analyzer module");
  output.Check();
  return output;
}

// Why the waveform cannot be drawn from a peaks result, or empty.
std::string PeaksProblem(zelcore::Blob const& blob) {
  std::optional<Examples::PeakEnvelope> const envelope = Examples::DecodePeakEnvelope(blob);
  if (!envelope) return "the result does not have the peaks analyzer's layout";
  try {
    Pictures::WaveformView const whole(*envelope, Pictures::ChannelLayout::kSplit, std::nullopt, std::nullopt);
  } catch (Pictures::PictureError const& error) {
    return error.what();
  }
  return {};
}

constexpr char kNoPictures[] = "the result counts no pictures";

// Why the contact strip cannot be drawn from a scenes result, or empty.
std::string ScenesProblem(zelcore::Blob const& blob) {
  std::optional<Examples::Scenes> const scenes = Examples::DecodeScenes(blob);
  if (!scenes) return "the result does not have the scenes analyzer's layout";
  try {
    Pictures::SceneStarts(*scenes);
  } catch (Pictures::PictureError const& error) {
    return error.what();
  }
  if (scenes->frameCount == 0) return kNoPictures;
  return {};
}

// Why black or frozen stretches cannot be marked from a black or freeze result, or empty.
std::string BlackProblem(zelcore::Blob const& blob) {
  return Examples::DecodeBlack(blob) ? "" : "the result does not have the black analyzer's layout";
}
std::string FreezeProblem(zelcore::Blob const& blob) {
  return Examples::DecodeFreeze(blob) ? "" : "the result does not have the freeze analyzer's layout";
}

// The analysis, as AnalyzeOneFile gets it, of a result that `problemOf` finds nothing wrong with when one can be had:
// a cached result it rejects is computed afresh, and the new result replaces it in the cache, as `quillan analyze`
// does with a cached result that does not decode. Whether the fresh result is any better is for the caller to check.
SingleAnalysis UsableAnalysis(std::string const& file, std::string const& analyzer,
                              std::optional<std::string> const& parameter, std::vector<std::string> const& modules,
                              std::string const& command, std::string (*problemOf)(zelcore::Blob const&)) {
  SingleAnalysis analysis = AnalyzeOneFile(file, analyzer, parameter, modules, command);
  if (analysis.interruptedExit != 0 || !analysis.fromCache) return analysis;
  std::string const problem = problemOf(analysis.blob);
  if (problem.empty()) return analysis;
  std::cerr << "quillan: warning: the cached " << analyzer << " result of " << Printable(file) << " cannot be used ("
            << problem << "); computing it afresh\n";
  return AnalyzeOneFile(file, analyzer, parameter, modules, command, true);
}

// `quillan waveform`.
int RunWaveform(WaveformOptions const& options) {
  std::optional<double> from, to;
  if (!options.from.empty()) from = ParseTimeArgument(options.from, "--from", "waveform");
  if (!options.to.empty()) to = ParseTimeArgument(options.to, "--to", "waveform");
  if (from && to && *from >= *to) throw UsageError("--from must come before --to", "waveform");
  Pictures::ChannelLayout const channels =
      options.channels == "mix" ? Pictures::ChannelLayout::kMix : Pictures::ChannelLayout::kSplit;
  OutputPath const output = Output(options.output, options.overwrite, options.file, options.modules, "waveform");

  SingleAnalysis const analysis = UsableAnalysis(options.file, std::string(Examples::kPeaksAnalyzerName), std::nullopt,
                                                 options.modules, "waveform", PeaksProblem);
  if (analysis.interruptedExit != 0) return analysis.interruptedExit;
  if (std::string const problem = PeaksProblem(analysis.blob); !problem.empty()) {
    throw CommandFailure("cannot draw the peaks of " + Printable(options.file) + ": " + problem);
  }
  Examples::PeakEnvelope const envelope = *Examples::DecodePeakEnvelope(analysis.blob);

  std::vector<std::uint8_t> bytes;
  std::ostringstream what;
  try {
    if (options.format == "json") {
      Pictures::WaveformDataOptions dataOptions;
      dataOptions.width = options.width;
      dataOptions.bits = options.bits;
      dataOptions.channels = channels;
      dataOptions.fromSeconds = from;
      dataOptions.toSeconds = to;
      Pictures::WaveformData const data = Pictures::ResampleWaveform(envelope, dataOptions);
      std::string const text = Pictures::WaveformDataToJson(data) + "\n";
      bytes.assign(text.begin(), text.end());
      what << "waveform data, " << data.length << " pixels of " << data.samplesPerPixel << " samples, " << data.channels
           << (data.channels == 1 ? " channel" : " channels") << ", " << data.bits << " bits";
    } else {
      Pictures::WaveformImageOptions pictureOptions;
      pictureOptions.width = options.width;
      pictureOptions.height = options.height;
      pictureOptions.channels = channels;
      pictureOptions.scale =
          options.scale == "dbfs" ? Pictures::AmplitudeScale::kDecibels : Pictures::AmplitudeScale::kLinear;
      pictureOptions.fromSeconds = from;
      pictureOptions.toSeconds = to;
      bytes = Pictures::DrawWaveformPng(envelope, pictureOptions);
      what << "waveform picture, " << pictureOptions.width << " x " << pictureOptions.height << " pixels";
    }
  } catch (std::invalid_argument const& error) {
    // The library refuses sizes and ranges it cannot draw; the command line asked for them.
    throw UsageError(error.what(), "waveform");
  }
  output.Write(bytes);
  std::cout << "Wrote " << Printable(options.output) << " (" << what.str() << "; peak envelope "
            << Source(analysis.fromCache) << ", " << envelope.samplesPerPeak << " samples per peak)\n";
  return kExitOk;
}

// `quillan scenes`.
int RunScenes(ScenesOptions const& options) {
  std::optional<std::string> parameter;
  if (options.threshold) {
    std::ostringstream text;
    text << "threshold=" << *options.threshold;
    parameter = text.str();
  }
  OutputPath const output = Output(options.output, options.overwrite, options.file, options.modules, "scenes");
  SingleAnalysis const analysis = UsableAnalysis(options.file, std::string(Examples::kScenesAnalyzerName), parameter,
                                                 options.modules, "scenes", ScenesProblem);
  if (analysis.interruptedExit != 0) return analysis.interruptedExit;
  std::optional<Examples::Scenes> const scenes = Examples::DecodeScenes(analysis.blob);
  if (std::string const problem = ScenesProblem(analysis.blob); problem == kNoPictures) {
    throw CommandFailure(Printable(options.file) + " has no video to take pictures from");
  } else if (!problem.empty()) {
    throw CommandFailure("cannot draw the scenes of " + Printable(options.file) + ": " + problem);
  }

  Pictures::ContactStripOptions stripOptions;
  stripOptions.thumbnailHeight = options.thumbnailHeight;
  stripOptions.maxWidth = options.maxWidth;
  stripOptions.maxScenes = options.maxScenes;
  std::size_t blackCount = 0, frozenCount = 0;
  if (options.marks) {
    if (scenes->frameRate > 0) stripOptions.endSeconds = static_cast<double>(scenes->frameCount) / scenes->frameRate;
    SingleAnalysis const black = UsableAnalysis(options.file, std::string(Examples::kBlackAnalyzerName), std::nullopt,
                                                options.modules, "scenes", BlackProblem);
    if (black.interruptedExit != 0) return black.interruptedExit;
    std::optional<Examples::Black> const blackSegments = Examples::DecodeBlack(black.blob);
    if (!blackSegments)
      throw CommandFailure("cannot mark " + Printable(options.file) + ": " + BlackProblem(black.blob));
    SingleAnalysis const freeze = UsableAnalysis(options.file, std::string(Examples::kFreezeAnalyzerName), std::nullopt,
                                                 options.modules, "scenes", FreezeProblem);
    if (freeze.interruptedExit != 0) return freeze.interruptedExit;
    std::optional<Examples::Freeze> const frozenSegments = Examples::DecodeFreeze(freeze.blob);
    if (!frozenSegments) {
      throw CommandFailure("cannot mark " + Printable(options.file) + ": " + FreezeProblem(freeze.blob));
    }
    for (Examples::VideoSegment const& segment : blackSegments->segments) {
      stripOptions.marks.push_back({.kind = Pictures::MarkKind::kBlack, .start = segment.start, .end = segment.end});
    }
    for (Examples::VideoSegment const& segment : frozenSegments->segments) {
      stripOptions.marks.push_back({.kind = Pictures::MarkKind::kFrozen, .start = segment.start, .end = segment.end});
    }
    blackCount = blackSegments->segments.size();
    frozenCount = frozenSegments->segments.size();
  }
  Pictures::ContactStrip strip;
  try {
    strip = Pictures::DrawContactStrip(options.file, Pictures::SceneStarts(*scenes), stripOptions);
  } catch (std::invalid_argument const& error) {
    throw UsageError(error.what(), "scenes");
  }
  output.Write(strip.png);
  std::size_t const count = scenes->cuts.size() + 1;
  std::cout << "Wrote " << Printable(options.output) << " (a contact strip of " << count
            << (count == 1 ? " scene" : " scenes");
  if (strip.scenesLeftOut > 0) {
    std::cout << ", " << strip.scenesLeftOut << " of them left out after the first " << count - strip.scenesLeftOut;
  }
  if (options.marks) {
    std::cout << ", " << blackCount << " black and " << frozenCount << " frozen "
              << (frozenCount == 1 ? "stretch" : "stretches") << " marked";
  }
  std::cout << "; scenes " << Source(analysis.fromCache) << ")\n";
  return kExitOk;
}

}  // namespace

void AddPictureCommands(CLI::App& app, CommandActions& actions) {
  auto const waveformOptions = std::make_shared<WaveformOptions>();
  CLI::App* waveform = app.add_subcommand(
      "waveform", "draw a media file's peak envelope as a PNG picture, or write it as waveform data (JSON)");
  waveform->footer(
      "The envelope is the result of the peaks analyzer at its default of " +
      std::to_string(Examples::kDefaultSamplesPerPeak) +
      " samples per peak, the one 'quillan analyze' computes: it is taken from the cache when there, else computed "
      "and stored as the cache-location setting says. Times are " +
      kTimeForms + ".");
  waveform->add_option("FILE", waveformOptions->file, "the media file")->required();
  waveform->add_option("-o,--output", waveformOptions->output, "the picture (or JSON) file to write")
      ->type_name("OUT")
      ->required();
  AddOverwrite(waveform, waveformOptions->overwrite);
  waveform
      ->add_option("--width", waveformOptions->width,
                   "the picture's width in pixels (default 1800); for JSON, exactly this many pixels of data")
      ->type_name("PIXELS");
  waveform->add_option("--height", waveformOptions->height, "the picture's height in pixels (default 280)")
      ->type_name("PIXELS");
  waveform
      ->add_option("--channels", waveformOptions->channels,
                   "split: one lane per channel (the default); mix: one lane of the largest peak over them")
      ->check(CLI::IsMember({"split", "mix"}))
      ->type_name("LAYOUT");
  waveform
      ->add_option("--scale", waveformOptions->scale,
                   "linear: heights in proportion to the samples (the default); dbfs: from -60 dBFS to 0")
      ->check(CLI::IsMember({"linear", "dbfs"}))
      ->type_name("SCALE");
  waveform->add_option("--from", waveformOptions->from, "start at this time (default: the start)")->type_name("TIME");
  waveform->add_option("--to", waveformOptions->to, "end at this time (default: the end)")->type_name("TIME");
  waveform
      ->add_option("--format", waveformOptions->format,
                   "png: a picture with a time axis (the default); json: the envelope as waveform data (version, "
                   "sample rate, samples per pixel, bits, length, data: min and max of each pixel and channel), "
                   "--width pixels across")
      ->check(CLI::IsMember({"png", "json"}))
      ->type_name("FORMAT");
  waveform
      ->add_option("--bits", waveformOptions->bits,
                   "for JSON: 8 (the default) for values from -127 to 127, or 16 for values from -32767 to 32767")
      ->check(CLI::IsMember({8, 16}))
      ->type_name("BITS");
  AddPlugin(waveform, waveformOptions->modules);

  actions.Set(*waveform, [waveformOptions] { return RunWaveform(*waveformOptions); });

  auto const scenesOptions = std::make_shared<ScenesOptions>();
  CLI::App* scenes = app.add_subcommand(
      "scenes", "draw a contact strip of a video: the first picture of each scene the scenes analyzer finds");
  scenes->footer(
      "The scenes are taken from the cache when there, else found and stored as the cache-location setting says, "
      "as 'quillan analyze' does.");
  scenes->add_option("FILE", scenesOptions->file, "the video file")->required();
  scenes->add_option("-o,--output", scenesOptions->output, "the PNG file to write")->type_name("OUT")->required();
  AddOverwrite(scenes, scenesOptions->overwrite);
  scenes
      ->add_option("--threshold", scenesOptions->threshold,
                   "the score (percent of full scale) from which a picture starts a new scene, 0 to 100 (the "
                   "analyzer's default: 4)")
      ->check(CLI::Range(0.0, 100.0))
      ->type_name("N");
  scenes
      ->add_option("--thumbnail-height", scenesOptions->thumbnailHeight,
                   "the height of each picture in pixels (default 120)")
      ->type_name("PIXELS");
  scenes
      ->add_option("--max-width", scenesOptions->maxWidth,
                   "the strip's width at most; pictures wrap into rows (default 1800)")
      ->type_name("PIXELS");
  scenes
      ->add_option("--max-scenes", scenesOptions->maxScenes,
                   "show at most this many scenes; a last tile counts the others (default 200)")
      ->type_name("N");
  scenes
      ->add_flag("--marks", scenesOptions->marks,
                 "also find black and frozen stretches (the black and freeze analyzers at their defaults, cached as "
                 "'quillan analyze' caches them) and mark them along the bottom of each picture, where they fall in "
                 "its scene: amber for black, cyan above it for frozen")
      ->disable_flag_override();
  AddPlugin(scenes, scenesOptions->modules);
  actions.Set(*scenes, [scenesOptions] { return RunScenes(*scenesOptions); });
}

}  // namespace Quillan::Cli
