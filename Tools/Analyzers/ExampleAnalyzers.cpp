#include "Analyzers/ExampleAnalyzers.h"

#include <cmath>
#include <cstring>

#include "Analyzers/Detail/ExampleAnalyzer.h"
#include "Host/AnalyzerRegistry.h"

namespace Quillan::Examples {
namespace {

// Registers the analyzers when the library is loaded; the registry drops them when the application tears down.
struct Registrar {
  Registrar() {
    for (detail::RegisteredExample const& example : detail::RegisteredExamples()) {
      RegisterAnalyzer(example.id, AnalyzerType{0}, AnalyzerFactory(example.factory));
    }
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
  for (detail::RegisteredExample const& example : detail::RegisteredExamples()) names.push_back(example.name);
  return names;
}

std::optional<zelcore::utility::Guid> FindExampleAnalyzer(std::string_view name) {
  for (detail::RegisteredExample const& example : detail::RegisteredExamples()) {
    if (example.name == name) return example.id;
  }
  return std::nullopt;
}

std::optional<PeakEnvelope> DecodePeakEnvelope(zelcore::Blob const& blob) {
  constexpr std::size_t kHeader = 4 * 4 + 8 + 8;
  if (!blob || blob->size() < kHeader) return std::nullopt;
  PeakEnvelope envelope;
  envelope.channelCount = Get<std::uint32_t>(blob, 0);
  envelope.samplesPerPeak = Get<std::uint32_t>(blob, 4);
  envelope.sampleRate = Get<std::uint32_t>(blob, 8);
  auto const peakCount = Get<std::uint32_t>(blob, 12);
  envelope.frameCount = Get<std::uint64_t>(blob, 16);
  envelope.startSeconds = Get<double>(blob, 24);
  // A crafted channel count must not size anyone's memory (the formatter's per-channel maxima, say).
  if (envelope.channelCount == 0 || envelope.channelCount > kMaxPeakChannels || envelope.samplesPerPeak == 0) {
    return std::nullopt;
  }
  if (!std::isfinite(envelope.startSeconds) || envelope.startSeconds < 0) return std::nullopt;
  std::uint64_t const values = std::uint64_t{peakCount} * envelope.channelCount * 2;
  if (blob->size() != kHeader + values * sizeof(float)) return std::nullopt;
  // One peak per run of samplesPerPeak frames, the last run maybe shorter, at a rate that times can be taken from: an
  // envelope that says otherwise cannot be drawn or timed.
  std::uint64_t const runs =
      envelope.frameCount / envelope.samplesPerPeak + (envelope.frameCount % envelope.samplesPerPeak == 0 ? 0 : 1);
  if (envelope.sampleRate == 0 || runs != peakCount) return std::nullopt;
  envelope.peaks.resize(values);
  for (std::size_t i = 0; i < values; ++i) envelope.peaks[i] = Get<float>(blob, kHeader + i * sizeof(float));
  for (std::size_t i = 0; i < values; i += 2) {
    if (!(envelope.peaks[i] <= envelope.peaks[i + 1])) return std::nullopt;
  }
  return envelope;
}

namespace {

constexpr std::size_t kLoudnessHeader = 6 * 8 + 8 + 4 + 4;
constexpr std::int16_t kShortTermFloorCode = -32768;
constexpr std::size_t kScenesHeader = 8 + 8 + 8 + 8 + 4 + 4;
constexpr std::size_t kSceneCutSize = 8 + 8 + 8;
constexpr std::size_t kSceneTransitionSize = 8 + 8 + 8 + 8 + 8 + 4 + 4;
constexpr std::size_t kSilenceHeader = 8 + 8 + 8 + 4 + 4;
constexpr std::size_t kBeatsHeader = 8 + 8 + 8 + 4 + 4 + 4 + 4;
constexpr std::size_t kBlackHeader = 4 * 8 + 8 + 4 + 4;
constexpr std::size_t kFreezeHeader = 3 * 8 + 8 + 4 + 4;
constexpr std::size_t kSegmentSize = 8 + 8 + 8 + 8;

// The segments of a black or freeze blob after its header, whose count is at `countAt` and frame count
// `frameCount`; empty when the blob's size does not match the count or the segments are out of order, outside the
// counted frames or run backwards: a cached value is untrusted bytes.
std::optional<std::vector<VideoSegment>> DecodeSegments(zelcore::Blob const& blob, std::size_t header,
                                                        std::size_t countAt, std::uint64_t frameCount) {
  auto const count = Get<std::uint32_t>(blob, countAt);
  if (blob->size() != header + std::uint64_t{count} * kSegmentSize) return std::nullopt;
  std::vector<VideoSegment> segments(count);
  std::uint64_t previousEnd = 0;
  double previousEndSeconds = -HUGE_VAL;  // a stream may start before 0
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t const at = header + i * kSegmentSize;
    VideoSegment const segment{Get<std::uint64_t>(blob, at), Get<std::uint64_t>(blob, at + 8),
                               Get<double>(blob, at + 16), Get<double>(blob, at + 24)};
    if (segment.startFrame < previousEnd || segment.endFrame <= segment.startFrame || segment.endFrame > frameCount ||
        !std::isfinite(segment.start) || !std::isfinite(segment.end) || segment.start < previousEndSeconds ||
        segment.end < segment.start) {
      return std::nullopt;
    }
    previousEnd = segment.endFrame;
    previousEndSeconds = segment.end;
    segments[i] = segment;
  }
  return segments;
}

}  // namespace

std::optional<Loudness> DecodeLoudness(zelcore::Blob const& blob) {
  if (!blob || blob->size() < kLoudnessHeader) return std::nullopt;
  Loudness loudness;
  loudness.frameCount = Get<std::uint64_t>(blob, 48);
  loudness.sampleRate = Get<std::uint32_t>(blob, 56);
  auto const count = Get<std::uint32_t>(blob, 60);
  // The series must be the one its frames and rate give, and fill the bytes exactly, before anything is allocated.
  if (count != loudness.ShortTermCount() || blob->size() != kLoudnessHeader + std::uint64_t{count} * 2) {
    return std::nullopt;
  }
  loudness.integratedLufs = Get<double>(blob, 0);
  loudness.rangeLu = Get<double>(blob, 8);
  loudness.truePeakDbtp = Get<double>(blob, 16);
  loudness.samplePeakDbfs = Get<double>(blob, 24);
  loudness.momentaryMaxLufs = Get<double>(blob, 32);
  loudness.shortTermMaxLufs = Get<double>(blob, 40);
  loudness.shortTermLufs.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    auto const code = Get<std::int16_t>(blob, kLoudnessHeader + i * 2);
    loudness.shortTermLufs[i] =
        code == kShortTermFloorCode ? -std::numeric_limits<float>::infinity() : static_cast<float>(code) / 100.0f;
  }
  return loudness;
}

std::string_view TransitionKindName(TransitionKind kind) {
  switch (kind) {
    case TransitionKind::kDissolve:
      return "dissolve";
    case TransitionKind::kFadeToBlack:
      return "fade to black";
    case TransitionKind::kFadeFromBlack:
      return "fade from black";
    case TransitionKind::kFadeToWhite:
      return "fade to white";
    case TransitionKind::kFadeFromWhite:
      return "fade from white";
    case TransitionKind::kWipe:
      return "wipe";
  }
  return "unknown";
}

std::optional<Scenes> DecodeScenes(zelcore::Blob const& blob) {
  if (!blob || blob->size() < kScenesHeader) return std::nullopt;
  auto const cutCount = Get<std::uint32_t>(blob, 32);
  auto const transitionCount = Get<std::uint32_t>(blob, 36);
  // The size is checked before anything is allocated: a cached value is untrusted bytes.
  if (blob->size() !=
      kScenesHeader + std::uint64_t{cutCount} * kSceneCutSize + std::uint64_t{transitionCount} * kSceneTransitionSize) {
    return std::nullopt;
  }
  Scenes scenes;
  scenes.threshold = Get<double>(blob, 0);
  scenes.minimumSeconds = Get<double>(blob, 8);
  scenes.frameRate = Get<double>(blob, 16);
  scenes.frameCount = Get<std::uint64_t>(blob, 24);
  scenes.cuts.resize(cutCount);
  for (std::size_t i = 0; i < cutCount; ++i) {
    std::size_t const at = kScenesHeader + i * kSceneCutSize;
    scenes.cuts[i] = SceneCut{Get<std::uint64_t>(blob, at), Get<double>(blob, at + 8), Get<double>(blob, at + 16)};
  }
  scenes.transitions.resize(transitionCount);
  for (std::size_t i = 0; i < transitionCount; ++i) {
    std::size_t const at = kScenesHeader + cutCount * kSceneCutSize + i * kSceneTransitionSize;
    auto const kind = Get<std::uint32_t>(blob, at + 40);
    SceneTransition& transition = scenes.transitions[i];
    transition = {Get<std::uint64_t>(blob, at), Get<std::uint64_t>(blob, at + 8), Get<double>(blob, at + 16),
                  Get<double>(blob, at + 24),   Get<double>(blob, at + 32),       static_cast<TransitionKind>(kind)};
    if (kind >= kTransitionKindCount || transition.endFrame < transition.startFrame) return std::nullopt;
  }
  return scenes;
}

std::optional<Silence> DecodeSilence(zelcore::Blob const& blob) {
  if (!blob || blob->size() < kSilenceHeader) return std::nullopt;
  auto const rangeCount = Get<std::uint32_t>(blob, 28);
  if (blob->size() != kSilenceHeader + std::uint64_t{rangeCount} * 16) return std::nullopt;
  Silence silence;
  silence.thresholdDbfs = Get<double>(blob, 0);
  silence.minimumSeconds = Get<double>(blob, 8);
  silence.frameCount = Get<std::uint64_t>(blob, 16);
  silence.sampleRate = Get<std::uint32_t>(blob, 24);
  silence.ranges.resize(rangeCount);
  for (std::size_t i = 0; i < rangeCount; ++i) {
    silence.ranges[i] =
        SilentRange{Get<double>(blob, kSilenceHeader + i * 16), Get<double>(blob, kSilenceHeader + i * 16 + 8)};
  }
  return silence;
}

std::optional<Beats> DecodeBeats(zelcore::Blob const& blob) {
  if (!blob || blob->size() < kBeatsHeader) return std::nullopt;
  auto const onsetCount = Get<std::uint32_t>(blob, 28);
  auto const beatCount = Get<std::uint32_t>(blob, 32);
  if (blob->size() != kBeatsHeader + (std::uint64_t{onsetCount} + beatCount) * 8) return std::nullopt;
  Beats beats;
  beats.tempoBpm = Get<double>(blob, 0);
  beats.confidence = Get<double>(blob, 8);
  if (!(beats.confidence >= 0 && beats.confidence <= 1)) return std::nullopt;
  beats.frameCount = Get<std::uint64_t>(blob, 16);
  beats.sampleRate = Get<std::uint32_t>(blob, 24);
  beats.onsets.resize(onsetCount);
  beats.beats.resize(beatCount);
  for (std::size_t i = 0; i < onsetCount; ++i) beats.onsets[i] = Get<double>(blob, kBeatsHeader + i * 8);
  for (std::size_t i = 0; i < beatCount; ++i) beats.beats[i] = Get<double>(blob, kBeatsHeader + (onsetCount + i) * 8);
  return beats;
}

std::optional<Black> DecodeBlack(zelcore::Blob const& blob) {
  if (!blob || blob->size() < kBlackHeader) return std::nullopt;
  Black black;
  black.minimumSeconds = Get<double>(blob, 0);
  black.pictureThreshold = Get<double>(blob, 8);
  black.pixelThreshold = Get<double>(blob, 16);
  black.frameRate = Get<double>(blob, 24);
  black.frameCount = Get<std::uint64_t>(blob, 32);
  std::optional<std::vector<VideoSegment>> segments = DecodeSegments(blob, kBlackHeader, 40, black.frameCount);
  if (!segments) return std::nullopt;
  black.segments = std::move(*segments);
  return black;
}

std::optional<Freeze> DecodeFreeze(zelcore::Blob const& blob) {
  if (!blob || blob->size() < kFreezeHeader) return std::nullopt;
  Freeze freeze;
  freeze.minimumSeconds = Get<double>(blob, 0);
  freeze.noise = Get<double>(blob, 8);
  freeze.frameRate = Get<double>(blob, 16);
  freeze.frameCount = Get<std::uint64_t>(blob, 24);
  std::optional<std::vector<VideoSegment>> segments = DecodeSegments(blob, kFreezeHeader, 32, freeze.frameCount);
  if (!segments) return std::nullopt;
  freeze.segments = std::move(*segments);
  return freeze;
}

namespace detail {
namespace {

void PutSegments(BlobWriter& out, std::vector<VideoSegment> const& segments) {
  out.Put(static_cast<std::uint32_t>(segments.size()));
  out.Put(std::uint32_t{0});
  for (VideoSegment const& segment : segments) {
    out.Put(segment.startFrame);
    out.Put(segment.endFrame);
    out.Put(segment.start);
    out.Put(segment.end);
  }
}

}  // namespace

zelcore::Blob EncodeBlack(Black const& black) {
  BlobWriter out;
  out.Put(black.minimumSeconds);
  out.Put(black.pictureThreshold);
  out.Put(black.pixelThreshold);
  out.Put(black.frameRate);
  out.Put(black.frameCount);
  PutSegments(out, black.segments);
  return out.Finish();
}

zelcore::Blob EncodeFreeze(Freeze const& freeze) {
  BlobWriter out;
  out.Put(freeze.minimumSeconds);
  out.Put(freeze.noise);
  out.Put(freeze.frameRate);
  out.Put(freeze.frameCount);
  PutSegments(out, freeze.segments);
  return out.Finish();
}

zelcore::Blob EncodeLoudness(Loudness const& loudness) {
  BlobWriter out;
  out.Put(loudness.integratedLufs);
  out.Put(loudness.rangeLu);
  out.Put(loudness.truePeakDbtp);
  out.Put(loudness.samplePeakDbfs);
  out.Put(loudness.momentaryMaxLufs);
  out.Put(loudness.shortTermMaxLufs);
  out.Put(loudness.frameCount);
  out.Put(loudness.sampleRate);
  out.Put(static_cast<std::uint32_t>(loudness.shortTermLufs.size()));
  for (float const lufs : loudness.shortTermLufs) {
    // NaN (never measured) is stored as the floor too: it is no loudness to show.
    double const steps = std::round(static_cast<double>(lufs) * 100.0);
    out.Put(!(steps > kShortTermFloorCode) ? kShortTermFloorCode : static_cast<std::int16_t>(std::min(steps, 32767.0)));
  }
  return out.Finish();
}

zelcore::Blob EncodeScenes(Scenes const& scenes) {
  BlobWriter out;
  out.Put(scenes.threshold);
  out.Put(scenes.minimumSeconds);
  out.Put(scenes.frameRate);
  out.Put(scenes.frameCount);
  out.Put(static_cast<std::uint32_t>(scenes.cuts.size()));
  out.Put(static_cast<std::uint32_t>(scenes.transitions.size()));
  for (SceneCut const& cut : scenes.cuts) {
    out.Put(cut.frame);
    out.Put(cut.seconds);
    out.Put(cut.score);
  }
  for (SceneTransition const& transition : scenes.transitions) {
    out.Put(transition.startFrame);
    out.Put(transition.endFrame);
    out.Put(transition.startSeconds);
    out.Put(transition.endSeconds);
    out.Put(transition.score);
    out.Put(static_cast<std::uint32_t>(transition.kind));
    out.Put(std::uint32_t{0});
  }
  return out.Finish();
}

zelcore::Blob EncodeSilence(Silence const& silence) {
  BlobWriter out;
  out.Put(silence.thresholdDbfs);
  out.Put(silence.minimumSeconds);
  out.Put(silence.frameCount);
  out.Put(silence.sampleRate);
  out.Put(static_cast<std::uint32_t>(silence.ranges.size()));
  for (SilentRange const& range : silence.ranges) {
    out.Put(range.start);
    out.Put(range.end);
  }
  return out.Finish();
}

zelcore::Blob EncodeBeats(Beats const& beats) {
  BlobWriter out;
  out.Put(beats.tempoBpm);
  out.Put(beats.confidence);
  out.Put(beats.frameCount);
  out.Put(beats.sampleRate);
  out.Put(static_cast<std::uint32_t>(beats.onsets.size()));
  out.Put(static_cast<std::uint32_t>(beats.beats.size()));
  out.Put(std::uint32_t{0});
  for (double const onset : beats.onsets) out.Put(onset);
  for (double const beat : beats.beats) out.Put(beat);
  return out.Finish();
}

}  // namespace detail

bool IsWellFormedResult(zelcore::utility::Guid const& analyzerId, zelcore::Blob const& blob) {
  if (analyzerId == detail::kDigestAnalyzerId) return blob && blob->size() == 32;
  if (analyzerId == detail::kPeaksAnalyzerId) return DecodePeakEnvelope(blob).has_value();
  if (analyzerId == detail::kLoudnessAnalyzerId) return DecodeLoudness(blob).has_value();
  if (analyzerId == detail::kScenesAnalyzerId) return DecodeScenes(blob).has_value();
  if (analyzerId == detail::kSilenceAnalyzerId) return DecodeSilence(blob).has_value();
  if (analyzerId == detail::kBeatsAnalyzerId) return DecodeBeats(blob).has_value();
  if (analyzerId == detail::kBlackAnalyzerId) return DecodeBlack(blob).has_value();
  if (analyzerId == detail::kFreezeAnalyzerId) return DecodeFreeze(blob).has_value();
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
