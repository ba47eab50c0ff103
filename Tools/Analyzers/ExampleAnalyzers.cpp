#include "Analyzers/ExampleAnalyzers.h"

#include <array>
#include <cstring>

#include "Analyzers/Detail/ExampleAnalyzer.h"
#include "Host/AnalyzerRegistry.h"

namespace Quillan::Examples {
namespace {

struct Entry {
  std::string_view name;
  zelcore::utility::Guid id;
  AnalyzerFactory (*factory)();
};

std::array<Entry, 3> const& Entries() {
  static std::array<Entry, 3> const entries{{
      {kDigestAnalyzerName, detail::kDigestAnalyzerId, [] { return AnalyzerFactory(&detail::CreateDigestAnalyzer); }},
      {kPeaksAnalyzerName, detail::kPeaksAnalyzerId, [] { return AnalyzerFactory(&detail::CreatePeaksAnalyzer); }},
      {kLoudnessAnalyzerName, detail::kLoudnessAnalyzerId,
       [] { return AnalyzerFactory(&detail::CreateLoudnessAnalyzer); }},
  }};
  return entries;
}

// Registers the analyzers when the library is loaded; the registry drops them when the application tears down.
struct Registrar {
  Registrar() {
    for (Entry const& entry : Entries()) RegisterAnalyzer(entry.id, AnalyzerType{0}, entry.factory());
  }
} const gRegistrar;

// Reads a T at `offset`; the caller has checked the size.
template <class T>
T Get(zelcore::Blob const& blob, std::size_t offset) {
  T value;
  std::memcpy(&value, blob->data() + offset, sizeof(T));
  return value;
}

}  // namespace

std::vector<std::string_view> GetExampleAnalyzerNames() {
  std::vector<std::string_view> names;
  for (auto const& entry : Entries()) names.push_back(entry.name);
  return names;
}

std::optional<zelcore::utility::Guid> FindExampleAnalyzer(std::string_view name) {
  for (auto const& entry : Entries()) {
    if (entry.name == name) return entry.id;
  }
  return std::nullopt;
}

std::optional<PeakEnvelope> DecodePeakEnvelope(zelcore::Blob const& blob) {
  constexpr std::size_t kHeader = 4 * 4 + 8;
  if (!blob || blob->size() < kHeader) return std::nullopt;
  PeakEnvelope envelope;
  envelope.channelCount = Get<std::uint32_t>(blob, 0);
  envelope.samplesPerPeak = Get<std::uint32_t>(blob, 4);
  envelope.sampleRate = Get<std::uint32_t>(blob, 8);
  auto const peakCount = Get<std::uint32_t>(blob, 12);
  envelope.frameCount = Get<std::uint64_t>(blob, 16);
  // A crafted channel count must not size anyone's memory (the formatter's per-channel maxima, say).
  if (envelope.channelCount == 0 || envelope.channelCount > kMaxPeakChannels || envelope.samplesPerPeak == 0) {
    return std::nullopt;
  }
  std::uint64_t const values = std::uint64_t{peakCount} * envelope.channelCount;
  if (blob->size() != kHeader + values * sizeof(float)) return std::nullopt;
  envelope.peaks.resize(values);
  for (std::size_t i = 0; i < values; ++i) envelope.peaks[i] = Get<float>(blob, kHeader + i * sizeof(float));
  return envelope;
}

std::optional<Loudness> DecodeLoudness(zelcore::Blob const& blob) {
  if (!blob || blob->size() != 3 * sizeof(double)) return std::nullopt;
  return Loudness{Get<double>(blob, 0), Get<double>(blob, 8), Get<double>(blob, 16)};
}

bool IsWellFormedResult(zelcore::utility::Guid const& analyzerId, zelcore::Blob const& blob) {
  if (analyzerId == detail::kDigestAnalyzerId) return blob && blob->size() == 32;
  if (analyzerId == detail::kPeaksAnalyzerId) return DecodePeakEnvelope(blob).has_value();
  if (analyzerId == detail::kLoudnessAnalyzerId) return DecodeLoudness(blob).has_value();
  return true;
}

std::string DigestToHex(zelcore::Blob const& blob) {
  if (!blob || blob->size() != 32) return {};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (std::size_t i = 0; i < blob->size(); ++i) {
    hex += kDigits[blob->data()[i] >> 4];
    hex += kDigits[blob->data()[i] & 15];
  }
  return hex;
}

}  // namespace Quillan::Examples
