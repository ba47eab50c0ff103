#include "Analyzers/Detail/ResultDescriptions.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Analyzers/Detail/ExampleAnalyzer.h"
#include "Analyzers/ExampleAnalyzers.h"

namespace Quillan::Examples::detail {
namespace {

using nlohmann::ordered_json;

// How many cuts or ranges a summary lists before it elides the rest.
constexpr std::size_t kListed = 4;
constexpr char kTooShort[] = "too short: under 400 ms, no loudness block to measure";

// A figure as a summary shows it: "-23.02 LUFS", "-inf dBFS" for silence, "n/a" for what could not be measured.
std::string Fixed(double value, char const* unit, int decimals = 2) {
  if (std::isnan(value)) return "n/a";
  if (std::isinf(value)) return std::string(value < 0 ? "-inf " : "inf ") + unit;
  char text[64];
  std::snprintf(text, sizeof text, "%.*f %s", decimals, value, unit);
  return text;
}

// " a, b, c, d, ..." of the first kListed items of `items`, each shown by `show`.
template <class T, class Show>
std::string Listing(std::vector<T> const& items, Show show) {
  std::string text;
  for (std::size_t i = 0; i < items.size() && i < kListed; ++i) text += (i == 0 ? ": " : ", ") + show(items[i]);
  return items.size() > kListed ? text + ", ..." : text;
}

// `units` is the units' JSON text: they are the same for every result of an analyzer, so each writes them once.
ResultDescription Described(std::string summary, std::string_view name, ordered_json const& fields,
                            std::string_view units) {
  std::string json = "{\"name\":" + ordered_json(name).dump() + ",\"fields\":" + fields.dump() + ",\"units\":";
  json += units;
  json += '}';
  return {std::move(summary), std::move(json)};
}

std::optional<ResultDescription> DescribeDigest(zelcore::Blob const& blob) {
  std::string const hex = DigestToHex(blob);
  if (hex.empty()) return std::nullopt;
  return Described("sha256 " + hex, kDigestAnalyzerName, {{"sha256", hex}}, "{}");
}

std::optional<ResultDescription> DescribePeaks(zelcore::Blob const& blob) {
  std::optional<PeakEnvelope> const envelope = DecodePeakEnvelope(blob);
  if (!envelope) return std::nullopt;
  std::vector<float> maxima(envelope->channelCount, 0.0f);
  std::vector<float> lows(envelope->channelCount, 0.0f);
  std::vector<float> highs(envelope->channelCount, 0.0f);
  for (std::size_t i = 0; i < envelope->PeakCount(); ++i) {
    for (std::uint32_t c = 0; c < envelope->channelCount; ++c) {
      maxima[c] = std::max(maxima[c], envelope->Peak(i, c));
      lows[c] = std::min(lows[c], envelope->Min(i, c));
      highs[c] = std::max(highs[c], envelope->Max(i, c));
    }
  }
  std::string summary = std::to_string(envelope->channelCount) + " ch, " + std::to_string(envelope->PeakCount()) +
                        " peaks of " + std::to_string(envelope->samplesPerPeak) + " frames, max";
  for (float const peak : maxima) {
    char text[32];
    std::snprintf(text, sizeof text, " %.3f", static_cast<double>(peak));
    summary += text;
  }
  if (envelope->startSeconds > 0) summary += ", from " + Fixed(envelope->startSeconds, "s");
  ordered_json fields = {{"channels", envelope->channelCount},
                         {"samplesPerPeak", envelope->samplesPerPeak},
                         {"sampleRate", envelope->sampleRate},
                         {"frames", envelope->frameCount},
                         {"start", envelope->startSeconds},
                         {"peakCount", envelope->PeakCount()},
                         {"maxPeak", maxima},
                         {"min", lows},
                         {"max", highs}};
  static std::string const units = ordered_json{
      {"samplesPerPeak", "frames"},
      {"sampleRate", "Hz"},
      {"frames", "frames"},
      {"start", "s"},
      {"maxPeak", "FS"},
      {"min", "FS"},
      {"max", "FS"}}.dump();
  return Described(std::move(summary), kPeaksAnalyzerName, fields, units);
}

// Loudness targets that broadcasters, podcasts and music streaming services ask for and the true-peak
// ceiling they share, for the gains the description offers.
constexpr double kGainTargetsLufs[] = {-23, -16, -14};
constexpr double kGainCeilingDbtp = -1;

std::optional<ResultDescription> DescribeLoudness(zelcore::Blob const& blob) {
  std::optional<Loudness> const loudness = DecodeLoudness(blob);
  if (!loudness) return std::nullopt;
  std::string const peaks =
      "true peak " + Fixed(loudness->truePeakDbtp, "dBTP") + ", sample peak " + Fixed(loudness->samplePeakDbfs, "dBFS");
  // "gain to -23/-16/-14 LUFS at -1 dBTP: -3.00/+4.00/+5.02 dB"; silence has no gain to any target.
  std::string targets, gainFigures;
  ordered_json gains = ordered_json::array();
  for (double const target : kGainTargetsLufs) {
    double const gain = loudness->GainDb(target, kGainCeilingDbtp);
    std::string const separator = targets.empty() ? "" : "/";
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", target);
    targets += separator + text;
    std::snprintf(text, sizeof text, "%+.2f", gain);
    gainFigures += separator + text;
    ordered_json const limited =
        std::isnan(gain) ? ordered_json() : ordered_json(gain < target - loudness->integratedLufs);
    gains.push_back({{"target", target}, {"ceiling", kGainCeilingDbtp}, {"gain", gain}, {"peakLimited", limited}});
  }
  std::string const gainText =
      std::isfinite(loudness->integratedLufs)
          ? ", gain to " + targets + " LUFS at " + Fixed(kGainCeilingDbtp, "dBTP", 0) + ": " + gainFigures + " dB"
          : "";
  // As stored, to 0.01 LU: a float's binary tail would only lengthen the JSON.
  std::vector<double> shortTerm;
  shortTerm.reserve(loudness->shortTermLufs.size());
  for (float const lufs : loudness->shortTermLufs) shortTerm.push_back(std::round(lufs * 100.0) / 100.0);
  std::string summary = loudness->TooShort()
                            ? std::string(kTooShort) + "; " + peaks
                            : Fixed(loudness->integratedLufs, "LUFS") + ", range " + Fixed(loudness->rangeLu, "LU") +
                                  ", " + peaks + ", max momentary " + Fixed(loudness->momentaryMaxLufs, "LUFS") +
                                  ", max short-term " + Fixed(loudness->shortTermMaxLufs, "LUFS") + " (" +
                                  std::to_string(loudness->shortTermLufs.size()) + " values every 100 ms)" + gainText;
  // Short-term value i is of the 3 s ending at shortTermFirstEnd + i * shortTermStep seconds. Blocks are
  // sampleRate / 10 frames: 100 ms at the usual rates, a little less at a rate not divisible by 10.
  double const step = loudness->sampleRate == 0
                          ? 0.0
                          : static_cast<double>(std::max(loudness->sampleRate / 10, 1u)) / loudness->sampleRate;
  // JSON has no infinities: silence (-inf) and what could not be measured (NaN) are both null; "tooShort" tells which.
  ordered_json fields = {{"integrated", loudness->integratedLufs},
                         {"range", loudness->rangeLu},
                         {"truePeak", loudness->truePeakDbtp},
                         {"samplePeak", loudness->samplePeakDbfs},
                         {"momentaryMax", loudness->momentaryMaxLufs},
                         {"shortTermMax", loudness->shortTermMaxLufs},
                         {"frames", loudness->frameCount},
                         {"sampleRate", loudness->sampleRate},
                         {"tooShort", loudness->TooShort()},
                         {"shortTermFirstEnd", 30 * step},
                         {"shortTermStep", step},
                         {"shortTerm", std::move(shortTerm)},
                         {"gains", std::move(gains)}};
  static std::string const units = ordered_json({{"integrated", "LUFS"},
                                                 {"range", "LU"},
                                                 {"truePeak", "dBTP"},
                                                 {"samplePeak", "dBFS"},
                                                 {"momentaryMax", "LUFS"},
                                                 {"shortTermMax", "LUFS"},
                                                 {"frames", "frames"},
                                                 {"sampleRate", "Hz"},
                                                 {"shortTermFirstEnd", "s"},
                                                 {"shortTermStep", "s"},
                                                 {"shortTerm", "LUFS"},
                                                 {"gains.target", "LUFS"},
                                                 {"gains.ceiling", "dBTP"},
                                                 {"gains.gain", "dB"}})
                                       .dump();
  return Described(std::move(summary), kLoudnessAnalyzerName, fields, units);
}

// "1 cut", "2 cuts": summaries are read by people.
std::string Counted(std::size_t count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

std::optional<ResultDescription> DescribeScenes(zelcore::Blob const& blob) {
  std::optional<Scenes> const scenes = DecodeScenes(blob);
  if (!scenes) return std::nullopt;
  std::string summary = Counted(scenes->cuts.size(), "cut", "cuts") +
                        Listing(scenes->cuts, [](SceneCut const& cut) { return Fixed(cut.seconds, "s"); }) + "; " +
                        Counted(scenes->transitions.size(), "transition", "transitions") +
                        Listing(scenes->transitions,
                                [](SceneTransition const& t) {
                                  return std::string(TransitionKindName(t.kind)) + " " + Fixed(t.startSeconds, "s") +
                                         "-" + Fixed(t.endSeconds, "s");
                                }) +
                        "; " + std::to_string(scenes->frameCount) + " frames";
  ordered_json cuts = ordered_json::array();
  for (SceneCut const& cut : scenes->cuts) {
    cuts.push_back({{"frame", cut.frame}, {"seconds", cut.seconds}, {"score", cut.score}});
  }
  ordered_json transitions = ordered_json::array();
  for (SceneTransition const& t : scenes->transitions) {
    transitions.push_back({{"kind", TransitionKindName(t.kind)},
                           {"startFrame", t.startFrame},
                           {"endFrame", t.endFrame},
                           {"start", t.startSeconds},
                           {"end", t.endSeconds},
                           {"score", t.score}});
  }
  ordered_json fields = {{"threshold", scenes->threshold}, {"minimum", scenes->minimumSeconds},
                         {"frameRate", scenes->frameRate}, {"frames", scenes->frameCount},
                         {"cuts", std::move(cuts)},        {"transitions", std::move(transitions)}};
  static std::string const units = ordered_json({{"threshold", "%"},
                                                 {"minimum", "s"},
                                                 {"frameRate", "fps"},
                                                 {"frames", "frames"},
                                                 {"cuts.frame", "frames"},
                                                 {"cuts.seconds", "s"},
                                                 {"cuts.score", "%"},
                                                 {"transitions.startFrame", "frames"},
                                                 {"transitions.endFrame", "frames"},
                                                 {"transitions.start", "s"},
                                                 {"transitions.end", "s"},
                                                 {"transitions.score", "%"}})
                                       .dump();
  return Described(std::move(summary), kScenesAnalyzerName, fields, units);
}

std::optional<ResultDescription> DescribeSilence(zelcore::Blob const& blob) {
  std::optional<Silence> const silence = DecodeSilence(blob);
  if (!silence) return std::nullopt;
  std::string summary = Counted(silence->ranges.size(), "silent range", "silent ranges") +
                        Listing(silence->ranges, [](SilentRange const& range) {
                          return Fixed(range.start, "s") + "-" + Fixed(range.end, "s");
                        });
  ordered_json ranges = ordered_json::array();
  for (SilentRange const& range : silence->ranges) ranges.push_back({{"start", range.start}, {"end", range.end}});
  ordered_json fields = {{"threshold", silence->thresholdDbfs},
                         {"minimum", silence->minimumSeconds},
                         {"frames", silence->frameCount},
                         {"sampleRate", silence->sampleRate},
                         {"ranges", std::move(ranges)}};
  static std::string const units = ordered_json({{"threshold", "dBFS"},
                                                 {"minimum", "s"},
                                                 {"frames", "frames"},
                                                 {"sampleRate", "Hz"},
                                                 {"ranges.start", "s"},
                                                 {"ranges.end", "s"}})
                                       .dump();
  return Described(std::move(summary), kSilenceAnalyzerName, fields, units);
}

std::optional<ResultDescription> DescribeBeats(zelcore::Blob const& blob) {
  std::optional<Beats> const beats = DecodeBeats(blob);
  if (!beats) return std::nullopt;
  std::string summary = Fixed(beats->tempoBpm, "BPM", 1) + " (confidence " + Fixed(beats->confidence * 100, "%", 0) +
                        "), " + Counted(beats->beats.size(), "beat", "beats") + ", " +
                        Counted(beats->onsets.size(), "onset", "onsets");
  ordered_json fields = {{"tempo", beats->tempoBpm},    {"confidence", beats->confidence},
                         {"frames", beats->frameCount}, {"sampleRate", beats->sampleRate},
                         {"onsets", beats->onsets},     {"beats", beats->beats}};
  static std::string const units = ordered_json({{"tempo", "BPM"},
                                                 {"confidence", "0..1"},
                                                 {"frames", "frames"},
                                                 {"sampleRate", "Hz"},
                                                 {"onsets", "s"},
                                                 {"beats", "s"}})
                                       .dump();
  return Described(std::move(summary), kBeatsAnalyzerName, fields, units);
}

// The segments of black or freeze: a summary listing and their JSON with its units, under `what` ("black").
std::string SegmentListing(std::vector<VideoSegment> const& segments, char const* what) {
  return Counted(segments.size(), std::string(what) + " segment", std::string(what) + " segments") +
         Listing(segments,
                 [](VideoSegment const& segment) { return Fixed(segment.start, "s") + "-" + Fixed(segment.end, "s"); });
}

ordered_json SegmentsJson(std::vector<VideoSegment> const& segments) {
  ordered_json list = ordered_json::array();
  for (VideoSegment const& segment : segments) {
    list.push_back({{"start", segment.start},
                    {"end", segment.end},
                    {"duration", segment.end - segment.start},
                    {"startFrame", segment.startFrame},
                    {"endFrame", segment.endFrame}});
  }
  return list;
}

void AddSegmentUnits(ordered_json& units) {
  units["segments.start"] = "s";
  units["segments.end"] = "s";
  units["segments.duration"] = "s";
  units["segments.startFrame"] = "frames";
  units["segments.endFrame"] = "frames";
}

std::optional<ResultDescription> DescribeBlack(zelcore::Blob const& blob) {
  std::optional<Black> const black = DecodeBlack(blob);
  if (!black) return std::nullopt;
  std::string summary =
      SegmentListing(black->segments, "black") + " in " + std::to_string(black->frameCount) + " frames";
  ordered_json fields = {{"minimum", black->minimumSeconds},
                         {"pictureThreshold", black->pictureThreshold},
                         {"pixelThreshold", black->pixelThreshold},
                         {"frameRate", black->frameRate},
                         {"frames", black->frameCount},
                         {"segments", SegmentsJson(black->segments)}};
  static std::string const units = [] {
    ordered_json units = {{"minimum", "s"}, {"pixelThreshold", "FS"}, {"frameRate", "fps"}, {"frames", "frames"}};
    AddSegmentUnits(units);
    return units.dump();
  }();
  return Described(std::move(summary), kBlackAnalyzerName, fields, units);
}

std::optional<ResultDescription> DescribeFreeze(zelcore::Blob const& blob) {
  std::optional<Freeze> const freeze = DecodeFreeze(blob);
  if (!freeze) return std::nullopt;
  std::string summary =
      SegmentListing(freeze->segments, "frozen") + " in " + std::to_string(freeze->frameCount) + " frames";
  ordered_json fields = {{"minimum", freeze->minimumSeconds},
                         {"noise", freeze->noise},
                         {"frameRate", freeze->frameRate},
                         {"frames", freeze->frameCount},
                         {"segments", SegmentsJson(freeze->segments)}};
  static std::string const units = [] {
    ordered_json units = {{"minimum", "s"}, {"noise", "FS"}, {"frameRate", "fps"}, {"frames", "frames"}};
    AddSegmentUnits(units);
    return units.dump();
  }();
  return Described(std::move(summary), kFreezeAnalyzerName, fields, units);
}

}  // namespace

std::optional<ResultDescription> DescribeExampleResult(zelcore::utility::Guid const& analyzerId,
                                                       zelcore::Blob const& blob) {
  if (analyzerId == kDigestAnalyzerId) return DescribeDigest(blob);
  if (analyzerId == kPeaksAnalyzerId) return DescribePeaks(blob);
  if (analyzerId == kLoudnessAnalyzerId) return DescribeLoudness(blob);
  if (analyzerId == kScenesAnalyzerId) return DescribeScenes(blob);
  if (analyzerId == kSilenceAnalyzerId) return DescribeSilence(blob);
  if (analyzerId == kBeatsAnalyzerId) return DescribeBeats(blob);
  if (analyzerId == kBlackAnalyzerId) return DescribeBlack(blob);
  if (analyzerId == kFreezeAnalyzerId) return DescribeFreeze(blob);
  return std::nullopt;
}

}  // namespace Quillan::Examples::detail
