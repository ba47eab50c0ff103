#include "quillan/ResultFormatting.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <vector>

#include "Analyzers/ExampleAnalyzers.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "Foundation/FutureExceptions.h"

namespace Quillan::Cli {
namespace {

using zelcore::utility::Guid;

bool Is(Guid const& id, std::string_view name) { return Examples::FindExampleAnalyzer(name) == id; }

// The largest peak of each channel.
std::vector<float> MaxPeaks(Examples::PeakEnvelope const& envelope) {
  std::vector<float> maxima(envelope.channelCount, 0.0f);
  for (std::size_t i = 0; i < envelope.PeakCount(); ++i) {
    for (std::uint32_t c = 0; c < envelope.channelCount; ++c) maxima[c] = std::max(maxima[c], envelope.Peak(i, c));
  }
  return maxima;
}

std::string Fixed(double value, char const* unit) {
  if (std::isnan(value)) return "n/a";  // too short to measure
  if (std::isinf(value)) return std::string(value < 0 ? "-inf " : "inf ") + unit;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f %s", value, unit);
  return buffer;
}

std::string Seconds(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.2f s", value);
  return buffer;
}

// How many cuts or ranges a table row lists before it elides the rest.
constexpr std::size_t kListed = 4;
constexpr char kTooShort[] = "too short: under 400 ms, no loudness block to measure";

std::size_t SizeOf(zelcore::Blob const& blob) { return blob ? blob->size() : 0; }

}  // namespace

void WriteResultJson(JsonWriter& out, Guid const& id, zelcore::Blob const& blob) {
  out.BeginObject();
  if (Is(id, Examples::kDigestAnalyzerName)) {
    if (std::string const hex = Examples::DigestToHex(blob); !hex.empty()) {
      out.Key("sha256").String(hex).EndObject();
      return;
    }
  } else if (Is(id, Examples::kLoudnessAnalyzerName)) {
    if (std::optional<Examples::Loudness> const loudness = Examples::DecodeLoudness(blob)) {
      out.Key("integratedLufs").Number(loudness->integratedLufs).Key("loudnessRangeLu").Number(loudness->rangeLu);
      out.Key("truePeakDbtp").Number(loudness->truePeakDbtp).Key("samplePeakDbfs").Number(loudness->samplePeakDbfs);
      out.Key("momentaryMaxLufs").Number(loudness->momentaryMaxLufs);
      out.Key("shortTermMaxLufs").Number(loudness->shortTermMaxLufs);
      out.Key("frames").Unsigned(loudness->frameCount).Key("sampleRate").Unsigned(loudness->sampleRate);
      if (loudness->TooShort()) out.Key("tooShort").String(kTooShort);
      out.EndObject();
      return;
    }
  } else if (Is(id, Examples::kScenesAnalyzerName)) {
    if (std::optional<Examples::Scenes> const scenes = Examples::DecodeScenes(blob)) {
      out.Key("threshold").Number(scenes->threshold).Key("frameRate").Number(scenes->frameRate);
      out.Key("frames").Unsigned(scenes->frameCount).Key("cuts").BeginArray();
      for (Examples::SceneCut const& cut : scenes->cuts) {
        out.BeginObject().Key("frame").Unsigned(cut.frame).Key("seconds").Number(cut.seconds);
        out.Key("score").Number(cut.score).EndObject();
      }
      out.EndArray().EndObject();
      return;
    }
  } else if (Is(id, Examples::kSilenceAnalyzerName)) {
    if (std::optional<Examples::Silence> const silence = Examples::DecodeSilence(blob)) {
      out.Key("thresholdDbfs").Number(silence->thresholdDbfs).Key("minimumSeconds").Number(silence->minimumSeconds);
      out.Key("frames").Unsigned(silence->frameCount).Key("sampleRate").Unsigned(silence->sampleRate);
      out.Key("ranges").BeginArray();
      for (Examples::SilentRange const& range : silence->ranges) {
        out.BeginObject().Key("start").Number(range.start).Key("end").Number(range.end).EndObject();
      }
      out.EndArray().EndObject();
      return;
    }
  } else if (Is(id, Examples::kBeatsAnalyzerName)) {
    if (std::optional<Examples::Beats> const beats = Examples::DecodeBeats(blob)) {
      out.Key("tempoBpm").Number(beats->tempoBpm).Key("frames").Unsigned(beats->frameCount);
      out.Key("sampleRate").Unsigned(beats->sampleRate).Key("onsets").BeginArray();
      for (double const onset : beats->onsets) out.Number(onset);
      out.EndArray().Key("beats").BeginArray();
      for (double const beat : beats->beats) out.Number(beat);
      out.EndArray().EndObject();
      return;
    }
  } else if (Is(id, Examples::kPeaksAnalyzerName)) {
    if (std::optional<Examples::PeakEnvelope> const envelope = Examples::DecodePeakEnvelope(blob)) {
      out.Key("channels").Unsigned(envelope->channelCount).Key("samplesPerPeak").Unsigned(envelope->samplesPerPeak);
      out.Key("sampleRate").Unsigned(envelope->sampleRate).Key("frames").Unsigned(envelope->frameCount);
      out.Key("peakCount").Unsigned(envelope->PeakCount()).Key("maxPeak").BeginArray();
      for (float const peak : MaxPeaks(*envelope)) out.Number(peak);
      out.EndArray().EndObject();
      return;
    }
  }
  out.Key("size").Unsigned(SizeOf(blob)).EndObject();
}

std::string ResultSummary(Guid const& id, zelcore::Blob const& blob) {
  if (Is(id, Examples::kDigestAnalyzerName)) {
    if (std::string const hex = Examples::DigestToHex(blob); !hex.empty()) return "sha256 " + hex;
  } else if (Is(id, Examples::kLoudnessAnalyzerName)) {
    if (std::optional<Examples::Loudness> const loudness = Examples::DecodeLoudness(blob)) {
      std::string const peaks = "true peak " + Fixed(loudness->truePeakDbtp, "dBTP") + ", sample peak " +
                                Fixed(loudness->samplePeakDbfs, "dBFS");
      if (loudness->TooShort()) return std::string(kTooShort) + "; " + peaks;
      return Fixed(loudness->integratedLufs, "LUFS") + ", range " + Fixed(loudness->rangeLu, "LU") + ", " + peaks +
             ", max momentary " + Fixed(loudness->momentaryMaxLufs, "LUFS") + ", max short-term " +
             Fixed(loudness->shortTermMaxLufs, "LUFS");
    }
  } else if (Is(id, Examples::kScenesAnalyzerName)) {
    if (std::optional<Examples::Scenes> const scenes = Examples::DecodeScenes(blob)) {
      std::string text =
          std::to_string(scenes->cuts.size()) + " cuts in " + std::to_string(scenes->frameCount) + " frames";
      for (std::size_t i = 0; i < scenes->cuts.size() && i < kListed; ++i)
        text += (i == 0 ? ": " : ", ") + Seconds(scenes->cuts[i].seconds);
      return scenes->cuts.size() > kListed ? text + ", ..." : text;
    }
  } else if (Is(id, Examples::kSilenceAnalyzerName)) {
    if (std::optional<Examples::Silence> const silence = Examples::DecodeSilence(blob)) {
      std::string text = std::to_string(silence->ranges.size()) + " silent ranges";
      for (std::size_t i = 0; i < silence->ranges.size() && i < kListed; ++i) {
        text += (i == 0 ? ": " : ", ") + Seconds(silence->ranges[i].start) + "-" + Seconds(silence->ranges[i].end);
      }
      return silence->ranges.size() > kListed ? text + ", ..." : text;
    }
  } else if (Is(id, Examples::kBeatsAnalyzerName)) {
    if (std::optional<Examples::Beats> const beats = Examples::DecodeBeats(blob)) {
      char buffer[96];
      std::snprintf(buffer, sizeof buffer, "%.1f BPM, %zu beats, %zu onsets", beats->tempoBpm, beats->beats.size(),
                    beats->onsets.size());
      return buffer;
    }
  } else if (Is(id, Examples::kPeaksAnalyzerName)) {
    if (std::optional<Examples::PeakEnvelope> const envelope = Examples::DecodePeakEnvelope(blob)) {
      std::string text = std::to_string(envelope->channelCount) + " ch, " + std::to_string(envelope->PeakCount()) +
                         " peaks of " + std::to_string(envelope->samplesPerPeak) + " frames, max";
      for (float const peak : MaxPeaks(*envelope)) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, " %.3f", static_cast<double>(peak));
        text += buffer;
      }
      return text;
    }
  }
  return std::to_string(SizeOf(blob)) + " bytes";
}

std::string ResultCodeText(zelcore::config::Result code) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08x", static_cast<unsigned>(code));
  return buffer;
}

std::string DescribeFailure(zelcore::config::Result code, std::string const& message) {
  if (!message.empty()) return message;
  switch (code) {
    case kResultJobCancelled:
      return "cancelled";
    case kResultUnavailable:
      return "not available: the host refused the file or built no analyzer, or no cache could serve the request";
    case kResultNotCached:
      return "nothing cached";
    case kResultAnalyzerNotRegistered:
      return "no analyzer is registered under this GUID";
    case kResultNotImplemented:
      return "the analyzer does not provide this operation";
    case kResultTargetMissing:
      return "the analyzer's clip or media is missing";
    case zelcore::config::kResultFileRead:
      return "the file could not be read";
    case zelcore::async::kResultBrokenPromise:
      return "the job was dropped before it ended";
    default:
      return "failed";
  }
}

}  // namespace Quillan::Cli
