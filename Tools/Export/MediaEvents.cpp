#include "Export/MediaEvents.h"

#include <algorithm>
#include <cmath>
#include <functional>

#include "Analyzers/ExampleAnalyzers.h"

namespace Quillan::Export {
namespace {

// Where a gradual transition splits two shots: a fade ends its shot where the picture is gone (to black or white)
// and starts the next where it comes back; a dissolve or a wipe splits in its middle.
std::uint64_t TransitionBoundary(Examples::SceneTransition const& transition) {
  switch (transition.kind) {
    case Examples::TransitionKind::kFadeToBlack:
    case Examples::TransitionKind::kFadeToWhite:
      return transition.endFrame;
    case Examples::TransitionKind::kFadeFromBlack:
    case Examples::TransitionKind::kFadeFromWhite:
      return transition.startFrame;
    case Examples::TransitionKind::kDissolve:
    case Examples::TransitionKind::kWipe:
      break;
  }
  return transition.startFrame + (transition.endFrame - transition.startFrame) / 2;
}

void TakeLength(MediaEvents& media, std::uint64_t frames, double rate) {
  if (rate > 0) media.durationSeconds = std::max(media.durationSeconds, static_cast<double>(frames) / rate);
}

bool AddScenes(zelcore::Blob const& blob, MediaEvents& media) {
  std::optional<Examples::Scenes> const scenes = Examples::DecodeScenes(blob);
  if (!scenes) return false;
  if (scenes->frameCount > 0 && scenes->frameRate > 0) {
    media.rate = RateFromDecoder(scenes->frameRate);
    media.frameCount = scenes->frameCount;
    TakeLength(media, scenes->frameCount, media.rate->Value());
  }
  for (Examples::SceneCut const& cut : scenes->cuts) {
    media.events.push_back(
        {"scenes", "cut", cut.seconds, std::nullopt, cut.score, {{"frame", static_cast<double>(cut.frame)}}});
  }
  for (Examples::SceneTransition const& transition : scenes->transitions) {
    media.events.push_back({"scenes",
                            std::string(Examples::TransitionKindName(transition.kind)),
                            transition.startSeconds,
                            transition.endSeconds,
                            transition.score,
                            {{"startFrame", static_cast<double>(transition.startFrame)},
                             {"endFrame", static_cast<double>(transition.endFrame)},
                             {"boundaryFrame", static_cast<double>(TransitionBoundary(transition))}}});
  }
  return true;
}

// Black stretches and frozen pictures, each a segment of the video named `kind`.
void AddSegments(std::string_view analyzer, std::string_view kind, std::vector<Examples::VideoSegment> const& segments,
                 MediaEvents& media) {
  for (Examples::VideoSegment const& segment : segments) {
    media.events.push_back({std::string(analyzer),
                            std::string(kind),
                            segment.start,
                            segment.end,
                            std::nullopt,
                            {{"startFrame", static_cast<double>(segment.startFrame)},
                             {"endFrame", static_cast<double>(segment.endFrame)}}});
  }
}

bool AddBlack(zelcore::Blob const& blob, MediaEvents& media) {
  std::optional<Examples::Black> const black = Examples::DecodeBlack(blob);
  if (!black) return false;
  TakeLength(media, black->frameCount, black->frameRate);
  AddSegments(Examples::kBlackAnalyzerName, "black", black->segments, media);
  return true;
}

bool AddFreeze(zelcore::Blob const& blob, MediaEvents& media) {
  std::optional<Examples::Freeze> const freeze = Examples::DecodeFreeze(blob);
  if (!freeze) return false;
  TakeLength(media, freeze->frameCount, freeze->frameRate);
  AddSegments(Examples::kFreezeAnalyzerName, "freeze", freeze->segments, media);
  return true;
}

bool AddSilence(zelcore::Blob const& blob, MediaEvents& media) {
  std::optional<Examples::Silence> const silence = Examples::DecodeSilence(blob);
  if (!silence) return false;
  TakeLength(media, silence->frameCount, silence->sampleRate);
  for (Examples::SilentRange const& range : silence->ranges) {
    media.events.push_back({"silence", "silence", range.start, range.end, std::nullopt, {}});
  }
  return true;
}

bool AddBeats(zelcore::Blob const& blob, MediaEvents& media) {
  std::optional<Examples::Beats> const beats = Examples::DecodeBeats(blob);
  if (!beats) return false;
  TakeLength(media, beats->frameCount, beats->sampleRate);
  for (double const beat : beats->beats) {
    media.events.push_back({"beats", "beat", beat, std::nullopt, std::nullopt, {{"tempo", beats->tempoBpm}}});
  }
  for (double const onset : beats->onsets) {
    media.events.push_back({"beats", "onset", onset, std::nullopt, std::nullopt, {}});
  }
  return true;
}

// Which analyzer's result becomes which events. A new analyzer with events to export takes one line here.
struct Mapping {
  std::string_view analyzer;
  bool (*add)(zelcore::Blob const&, MediaEvents&);
};
constexpr Mapping kMappings[] = {
    {Examples::kScenesAnalyzerName, AddScenes}, {Examples::kSilenceAnalyzerName, AddSilence},
    {Examples::kBeatsAnalyzerName, AddBeats},   {Examples::kBlackAnalyzerName, AddBlack},
    {Examples::kFreezeAnalyzerName, AddFreeze},
};

}  // namespace

std::int64_t FrameRate::FrameAt(double seconds) const {
  return static_cast<std::int64_t>(std::llround(seconds * static_cast<double>(numerator) / denominator));
}

FrameRate RateFromDecoder(double framesPerSecond) {
  double const ntsc = framesPerSecond * 1.001;
  double const whole = std::round(ntsc);
  if (std::abs(framesPerSecond - std::round(framesPerSecond)) > 1e-6 && std::abs(ntsc - whole) < 1e-3) {
    return {static_cast<std::int64_t>(whole) * 1000, 1001};
  }
  if (std::abs(framesPerSecond - std::round(framesPerSecond)) < 1e-6) {
    return {static_cast<std::int64_t>(std::round(framesPerSecond)), 1};
  }
  return {static_cast<std::int64_t>(std::llround(framesPerSecond * 1000)), 1000};
}

bool AddAnalyzerResult(std::string_view analyzer, zelcore::Blob const& blob, MediaEvents& media) {
  for (Mapping const& mapping : kMappings) {
    if (mapping.analyzer == analyzer) return mapping.add(blob, media);
  }
  return false;
}

std::vector<std::string_view> ExportedAnalyzerNames() {
  std::vector<std::string_view> names;
  for (Mapping const& mapping : kMappings) names.push_back(mapping.analyzer);
  return names;
}

Segmentation Segments(MediaEvents const& media) {
  Segmentation segmentation;
  std::vector<std::int64_t> cuts;
  std::int64_t length = 0;
  if (media.rate) {
    segmentation.rate = *media.rate;
    length = static_cast<std::int64_t>(media.frameCount);
    // Cuts and gradual transitions both start shots.
    for (Event const& event : media.events) {
      if (event.analyzer != Examples::kScenesAnalyzerName) continue;
      char const* const boundary = event.kind == "cut" ? "frame" : "boundaryFrame";
      auto const frame = std::find_if(event.fields.begin(), event.fields.end(),
                                      [&](auto const& field) { return field.first == boundary; });
      cuts.push_back(frame != event.fields.end() ? static_cast<std::int64_t>(frame->second)
                                                 : segmentation.rate.FrameAt(event.start));
    }
  } else {
    segmentation.rate = kAudioOnlyRate;
    segmentation.shots = false;
    length = segmentation.rate.FrameAt(media.durationSeconds);
    for (Event const& event : media.events) {
      if (event.kind == "silence" && event.end) cuts.push_back(segmentation.rate.FrameAt(*event.end));
    }
  }
  std::sort(cuts.begin(), cuts.end());
  std::int64_t first = 0;
  for (std::int64_t const cut : cuts) {
    if (cut <= first || cut >= length) continue;
    segmentation.segments.push_back({first, cut});
    first = cut;
  }
  if (length > first) segmentation.segments.push_back({first, length});
  return segmentation;
}

}  // namespace Quillan::Export
