#include "quillan/PictureCommands.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <sstream>
#include <stdexcept>

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

}  // namespace

void PictureCommands::AddTo(CLI::App& app) {
  CLI::App* waveform = app.add_subcommand(
      "waveform", "draw a media file's peak envelope as a PNG picture, or write it as waveform data (JSON)");
  waveform->footer(
      "The envelope is the result of the peaks analyzer at its default of " +
      std::to_string(Examples::kDefaultSamplesPerPeak) +
      " samples per peak, the one 'quillan analyze' computes: it is taken from the cache when there, else computed "
      "and stored as the cache-location setting says. Times are " +
      kTimeForms + ".");
  waveform->add_option("FILE", waveform_.file, "the media file")->required();
  waveform->add_option("-o,--output", waveform_.output, "the picture (or JSON) file to write")
      ->type_name("OUT")
      ->required();
  AddOverwrite(waveform, waveform_.overwrite);
  waveform
      ->add_option("--width", waveform_.width,
                   "the picture's width in pixels (default 1800); for JSON, exactly this many pixels of data")
      ->type_name("PIXELS");
  waveform->add_option("--height", waveform_.height, "the picture's height in pixels (default 280)")
      ->type_name("PIXELS");
  waveform
      ->add_option("--channels", waveform_.channels,
                   "split: one lane per channel (the default); mix: one lane of the largest peak over them")
      ->check(CLI::IsMember({"split", "mix"}))
      ->type_name("LAYOUT");
  waveform
      ->add_option("--scale", waveform_.scale,
                   "linear: heights in proportion to the samples (the default); dbfs: from -60 dBFS to 0")
      ->check(CLI::IsMember({"linear", "dbfs"}))
      ->type_name("SCALE");
  waveform->add_option("--from", waveform_.from, "start at this time (default: the start)")->type_name("TIME");
  waveform->add_option("--to", waveform_.to, "end at this time (default: the end)")->type_name("TIME");
  waveform
      ->add_option("--format", waveform_.format,
                   "png: a picture with a time axis (the default); json: the envelope as waveform data (version, "
                   "sample rate, samples per pixel, bits, length, data: min and max of each pixel and channel), "
                   "--width pixels across")
      ->check(CLI::IsMember({"png", "json"}))
      ->type_name("FORMAT");
  waveform
      ->add_option("--bits", waveform_.bits,
                   "for JSON: 8 (the default) for values from -127 to 127, or 16 for values from -32767 to 32767")
      ->check(CLI::IsMember({8, 16}))
      ->type_name("BITS");
  AddPlugin(waveform, waveform_.modules);

  CLI::App* scenes = app.add_subcommand(
      "scenes", "draw a contact strip of a video: the first picture of each scene the scenes analyzer finds");
  scenes->footer(
      "The scenes are taken from the cache when there, else found and stored as the cache-location setting says, "
      "as 'quillan analyze' does.");
  scenes->add_option("FILE", scenes_.file, "the video file")->required();
  scenes->add_option("-o,--output", scenes_.output, "the PNG file to write")->type_name("OUT")->required();
  AddOverwrite(scenes, scenes_.overwrite);
  scenes
      ->add_option("--threshold", scenes_.threshold,
                   "the score (percent of full scale) from which a picture starts a new scene, 0 to 100 (the "
                   "analyzer's default: 4)")
      ->check(CLI::Range(0.0, 100.0))
      ->type_name("N");
  scenes
      ->add_option("--thumbnail-height", scenes_.thumbnailHeight, "the height of each picture in pixels (default 120)")
      ->type_name("PIXELS");
  scenes
      ->add_option("--max-width", scenes_.maxWidth, "the strip's width at most; pictures wrap into rows (default 1800)")
      ->type_name("PIXELS");
  scenes
      ->add_option("--max-scenes", scenes_.maxScenes,
                   "show at most this many scenes; a last tile counts the others (default 200)")
      ->type_name("N");
  scenes
      ->add_flag("--marks", scenes_.marks,
                 "also find black and frozen stretches (the black and freeze analyzers at their defaults, cached as "
                 "'quillan analyze' caches them) and mark them along the bottom of each picture, where they fall in "
                 "its scene: amber for black, cyan above it for frozen")
      ->disable_flag_override();
  AddPlugin(scenes, scenes_.modules);
}

std::optional<int> PictureCommands::Run(std::string const& path) const {
  if (path == "waveform") return RunWaveform();
  if (path == "scenes") return RunScenes();
  return std::nullopt;
}

int PictureCommands::RunWaveform() const {
  std::optional<double> from, to;
  if (!waveform_.from.empty()) from = ParseTimeArgument(waveform_.from, "--from", "waveform");
  if (!waveform_.to.empty()) to = ParseTimeArgument(waveform_.to, "--to", "waveform");
  if (from && to && *from >= *to) throw UsageError("--from must come before --to", "waveform");
  Pictures::ChannelLayout const channels =
      waveform_.channels == "mix" ? Pictures::ChannelLayout::kMix : Pictures::ChannelLayout::kSplit;
  OutputPath const output =
      Output(waveform_.output, waveform_.overwrite, waveform_.file, waveform_.modules, "waveform");

  SingleAnalysis const analysis = UsableAnalysis(waveform_.file, std::string(Examples::kPeaksAnalyzerName),
                                                 std::nullopt, waveform_.modules, "waveform", PeaksProblem);
  if (analysis.interruptedExit != 0) return analysis.interruptedExit;
  if (std::string const problem = PeaksProblem(analysis.blob); !problem.empty()) {
    throw CommandFailure("cannot draw the peaks of " + Printable(waveform_.file) + ": " + problem);
  }
  Examples::PeakEnvelope const envelope = *Examples::DecodePeakEnvelope(analysis.blob);

  std::vector<std::uint8_t> bytes;
  std::ostringstream what;
  try {
    if (waveform_.format == "json") {
      Pictures::WaveformDataOptions options;
      options.width = waveform_.width;
      options.bits = waveform_.bits;
      options.channels = channels;
      options.fromSeconds = from;
      options.toSeconds = to;
      Pictures::WaveformData const data = Pictures::ResampleWaveform(envelope, options);
      std::string const text = Pictures::WaveformDataToJson(data) + "\n";
      bytes.assign(text.begin(), text.end());
      what << "waveform data, " << data.length << " pixels of " << data.samplesPerPixel << " samples, " << data.channels
           << (data.channels == 1 ? " channel" : " channels") << ", " << data.bits << " bits";
    } else {
      Pictures::WaveformImageOptions options;
      options.width = waveform_.width;
      options.height = waveform_.height;
      options.channels = channels;
      options.scale =
          waveform_.scale == "dbfs" ? Pictures::AmplitudeScale::kDecibels : Pictures::AmplitudeScale::kLinear;
      options.fromSeconds = from;
      options.toSeconds = to;
      bytes = Pictures::DrawWaveformPng(envelope, options);
      what << "waveform picture, " << options.width << " x " << options.height << " pixels";
    }
  } catch (std::invalid_argument const& error) {
    // The library refuses sizes and ranges it cannot draw; the command line asked for them.
    throw UsageError(error.what(), "waveform");
  }
  output.Write(bytes);
  std::cout << "Wrote " << Printable(waveform_.output) << " (" << what.str() << "; peak envelope "
            << Source(analysis.fromCache) << ", " << envelope.samplesPerPeak << " samples per peak)\n";
  return kExitOk;
}

int PictureCommands::RunScenes() const {
  std::optional<std::string> parameter;
  if (scenes_.threshold) {
    std::ostringstream text;
    text << "threshold=" << *scenes_.threshold;
    parameter = text.str();
  }
  OutputPath const output = Output(scenes_.output, scenes_.overwrite, scenes_.file, scenes_.modules, "scenes");
  SingleAnalysis const analysis = UsableAnalysis(scenes_.file, std::string(Examples::kScenesAnalyzerName), parameter,
                                                 scenes_.modules, "scenes", ScenesProblem);
  if (analysis.interruptedExit != 0) return analysis.interruptedExit;
  std::optional<Examples::Scenes> const scenes = Examples::DecodeScenes(analysis.blob);
  if (std::string const problem = ScenesProblem(analysis.blob); problem == kNoPictures) {
    throw CommandFailure(Printable(scenes_.file) + " has no video to take pictures from");
  } else if (!problem.empty()) {
    throw CommandFailure("cannot draw the scenes of " + Printable(scenes_.file) + ": " + problem);
  }

  Pictures::ContactStripOptions options;
  options.thumbnailHeight = scenes_.thumbnailHeight;
  options.maxWidth = scenes_.maxWidth;
  options.maxScenes = scenes_.maxScenes;
  std::size_t blackCount = 0, frozenCount = 0;
  if (scenes_.marks) {
    if (scenes->frameRate > 0) options.endSeconds = static_cast<double>(scenes->frameCount) / scenes->frameRate;
    SingleAnalysis const black = UsableAnalysis(scenes_.file, std::string(Examples::kBlackAnalyzerName), std::nullopt,
                                                scenes_.modules, "scenes", BlackProblem);
    if (black.interruptedExit != 0) return black.interruptedExit;
    std::optional<Examples::Black> const blackSegments = Examples::DecodeBlack(black.blob);
    if (!blackSegments)
      throw CommandFailure("cannot mark " + Printable(scenes_.file) + ": " + BlackProblem(black.blob));
    SingleAnalysis const freeze = UsableAnalysis(scenes_.file, std::string(Examples::kFreezeAnalyzerName), std::nullopt,
                                                 scenes_.modules, "scenes", FreezeProblem);
    if (freeze.interruptedExit != 0) return freeze.interruptedExit;
    std::optional<Examples::Freeze> const frozenSegments = Examples::DecodeFreeze(freeze.blob);
    if (!frozenSegments) {
      throw CommandFailure("cannot mark " + Printable(scenes_.file) + ": " + FreezeProblem(freeze.blob));
    }
    for (Examples::VideoSegment const& segment : blackSegments->segments) {
      options.marks.push_back({Pictures::MarkKind::kBlack, segment.start, segment.end});
    }
    for (Examples::VideoSegment const& segment : frozenSegments->segments) {
      options.marks.push_back({Pictures::MarkKind::kFrozen, segment.start, segment.end});
    }
    blackCount = blackSegments->segments.size();
    frozenCount = frozenSegments->segments.size();
  }
  Pictures::ContactStrip strip;
  try {
    strip = Pictures::DrawContactStrip(scenes_.file, Pictures::SceneStarts(*scenes), options);
  } catch (std::invalid_argument const& error) {
    throw UsageError(error.what(), "scenes");
  }
  output.Write(strip.png);
  std::size_t const count = scenes->cuts.size() + 1;
  std::cout << "Wrote " << Printable(scenes_.output) << " (a contact strip of " << count
            << (count == 1 ? " scene" : " scenes");
  if (strip.scenesLeftOut > 0) {
    std::cout << ", " << strip.scenesLeftOut << " of them left out after the first " << count - strip.scenesLeftOut;
  }
  if (scenes_.marks) {
    std::cout << ", " << blackCount << " black and " << frozenCount << " frozen "
              << (frozenCount == 1 ? "stretch" : "stretches") << " marked";
  }
  std::cout << "; scenes " << Source(analysis.fromCache) << ")\n";
  return kExitOk;
}

}  // namespace Quillan::Cli
