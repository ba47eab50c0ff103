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
  if (std::isinf(value)) return std::string(value < 0 ? "-inf " : "inf ") + unit;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f %s", value, unit);
  return buffer;
}

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
      out.Key("truePeakDbtp").Number(loudness->truePeakDbtp).EndObject();
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
      return Fixed(loudness->integratedLufs, "LUFS") + ", range " + Fixed(loudness->rangeLu, "LU") + ", true peak " +
             Fixed(loudness->truePeakDbtp, "dBTP");
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
