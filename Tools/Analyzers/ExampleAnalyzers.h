#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zelcore/Guid.h"
#include "zelcore/RecycledMemory.h"

// Marks what the example analyzer module exports to the command-line tool and tests.
#define QUILLAN_EXAMPLES_EXPORT __attribute__((visibility("default")))

// The example analyzer module (public header). Loading the library registers three analyzers with the default
// registry, each under a fixed GUID and AnalyzerType 0, each working on the clip's media file:
//
//   name       result blob (all numbers little-endian)
//   digest     32 bytes: the SHA-256 of the media file's bytes.
//   peaks      uint32 channelCount, uint32 samplesPerPeak, uint32 sampleRate, uint32 peakCount, uint64 frameCount,
//              then peakCount * channelCount float32: the largest absolute sample of each run of samplesPerPeak
//              frames (the last run may be shorter), peak i of channel c at index i * channelCount + c.
//              Parameter: samples per peak, a positive integer as int or as text; 256 when none is given. At most
//              two jobs run at a time.
//   loudness   float64 integrated loudness (LUFS), float64 loudness range (LU), float64 true peak (dBTP, the
//              largest over the channels). Silence gives -inf for loudness and true peak.
//
// Every analyzer loads its cached result first (through the store that the user's cache-location setting chooses)
// and computes and saves it only when that fails. Its job's result is an ExampleResult. Cancelling its progress item
// stops the computation early; the job then fails with kResultJobCancelled. A media file that cannot be read fails
// the job with kResultFileRead, a bad samples-per-peak parameter with kResultIllegalArgument; failures cache nothing.
namespace Quillan::Examples {

inline constexpr std::string_view kDigestAnalyzerName = "digest";
inline constexpr std::string_view kPeaksAnalyzerName = "peaks";
inline constexpr std::string_view kLoudnessAnalyzerName = "loudness";
inline constexpr std::uint32_t kDefaultSamplesPerPeak = 256;

// What a job of an example analyzer ends with (held by the job's std::any).
struct ExampleResult {
  zelcore::Blob blob;
  // Whether the blob came from a cache rather than from computing it.
  bool fromCache = false;
};

// The names of the module's analyzers, in a fixed order.
QUILLAN_EXAMPLES_EXPORT std::vector<std::string_view> GetExampleAnalyzerNames();
// The GUID registered under `name`; empty for an unknown name.
QUILLAN_EXAMPLES_EXPORT std::optional<zelcore::utility::Guid> FindExampleAnalyzer(std::string_view name);

struct PeakEnvelope {
  std::uint32_t channelCount = 0;
  std::uint32_t samplesPerPeak = 0;
  std::uint32_t sampleRate = 0;
  std::uint64_t frameCount = 0;
  std::vector<float> peaks;  // peak i of channel c at i * channelCount + c

  std::size_t PeakCount() const { return channelCount == 0 ? 0 : peaks.size() / channelCount; }
  float Peak(std::size_t index, std::uint32_t channel) const { return peaks[index * channelCount + channel]; }
};

struct Loudness {
  double integratedLufs = 0;
  double rangeLu = 0;
  double truePeakDbtp = 0;
};

// Decoders of the result blobs; empty when the blob does not have the documented layout. They check a blob against
// its byte size before they allocate: a peak envelope must have 1 to kMaxPeakChannels channels, a positive
// samples-per-peak, and exactly the bytes its counts name.
inline constexpr std::uint32_t kMaxPeakChannels = 1024;
QUILLAN_EXAMPLES_EXPORT std::optional<PeakEnvelope> DecodePeakEnvelope(zelcore::Blob const& blob);
QUILLAN_EXAMPLES_EXPORT std::optional<Loudness> DecodeLoudness(zelcore::Blob const& blob);
// Lowercase hexadecimal of a digest blob; empty when the blob is not 32 bytes.
QUILLAN_EXAMPLES_EXPORT std::string DigestToHex(zelcore::Blob const& blob);
// Whether `blob` decodes as a result of the example analyzer `analyzerId` (true for analyzers it does not know).
// A cached value that does not is treated as not cached, and computed again.
QUILLAN_EXAMPLES_EXPORT bool IsWellFormedResult(zelcore::utility::Guid const& analyzerId, zelcore::Blob const& blob);

}  // namespace Quillan::Examples
