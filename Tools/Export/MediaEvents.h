#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zelcore/RecycledMemory.h"

// Marks what the export library offers the tool, the Node binding and the tests.
#define QUILLAN_EXPORT_EXPORT __attribute__((visibility("default")))

namespace Quillan::Export {

// One thing an analyzer found in a media file: a moment (no end) or a range, in seconds from the presentation's start.
struct Event {
  std::string analyzer;  // "scenes"
  std::string kind;      // "cut", "silence", "beat", "onset"
  double start = 0;
  std::optional<double> end;
  std::optional<double> score;
  // The analyzer's own numbers for this event (a cut's "frame"), in the order the analyzer gives them.
  std::vector<std::pair<std::string, double>> fields;
};

// A frame rate as a fraction, so that 29.97 (30000/1001) stays exact.
struct FrameRate {
  std::int64_t numerator = 0;
  std::int64_t denominator = 1;

  double Value() const { return static_cast<double>(numerator) / static_cast<double>(denominator); }
  bool IsDropFrame() const { return denominator == 1001 && (numerator == 30000 || numerator == 60000); }
  // The nearest frame at `seconds`.
  std::int64_t FrameAt(double seconds) const;
};

// The rate a decoder reports (a double) as the fraction it stands for: NTSC rates become n*1000/1001, others whole or
// thousandths.
QUILLAN_EXPORT_EXPORT FrameRate RateFromDecoder(double framesPerSecond);

// What one media file's results say, gathered by AddAnalyzerResult.
struct MediaEvents {
  std::string file;               // the path's bytes, as given
  std::optional<FrameRate> rate;  // of its pictures; none for a file without video
  std::uint64_t frameCount = 0;   // its pictures
  double durationSeconds = 0;     // the longest length any result tells
  std::vector<Event> events;      // in the order the results were added, each analyzer's in time order
};

// Adds what the result `blob` of the example analyzer `analyzer` holds to `media`: its events, and what it tells of
// the media's length and picture rate. False, adding nothing, when the analyzer has no events to export (digest,
// peaks, loudness) or the blob does not decode.
QUILLAN_EXPORT_EXPORT bool AddAnalyzerResult(std::string_view analyzer, zelcore::Blob const& blob, MediaEvents& media);

// The names of the analyzers that AddAnalyzerResult takes, in a fixed order: what an export runs by default.
QUILLAN_EXPORT_EXPORT std::vector<std::string_view> ExportedAnalyzerNames();

// A stretch of a media file at a frame rate: frames [first, end).
struct Segment {
  std::int64_t first = 0;
  std::int64_t end = 0;
};

// How timelines and chapters cut a media file: into its shots (at the cuts, at the picture rate) when it has video;
// else into the sounding parts between its silences at kAudioOnlyRate. One segment over the whole file when nothing
// cuts it; none for a file of no length.
inline constexpr FrameRate kAudioOnlyRate{25, 1};
struct Segmentation {
  FrameRate rate;
  bool shots = true;  // false: parts between silences
  std::vector<Segment> segments;
};
QUILLAN_EXPORT_EXPORT Segmentation Segments(MediaEvents const& media);

}  // namespace Quillan::Export
