#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "AnalyzerMedia/Detail/Measures.h"
#include "AnalyzerMedia/Detail/MediaReader.h"
#include "Analyzers/Detail/AnalyzerParameter.h"
#include "Analyzers/Detail/ExampleAnalyzer.h"
#include "Analyzers/ExampleAnalyzers.h"

namespace Quillan::Examples::detail {
namespace {

// From this threshold on, pictures may be decoded at reduced size: the drift that brings (a jump of up to 2% at a key
// frame in a 1080p pan) stays at half of it. Lower thresholds decode at full size.
constexpr double kReducedSizeThreshold = 4;
// Differences are in percent of the 8-bit full scale, FFmpeg's scdet's unit (it divides by 1 << bit depth).
constexpr double kPercentPerLevel = 100.0 / 256.0;
// A gradual transition takes at most this long; a longer steady change is camera or subject motion.
constexpr double kLongestTransitionSeconds = 4;
// A picture whose luma deviates less than this (levels) from its mean is one flat colour: the end of a fade.
constexpr double kFlatDeviation = 4;
// A run of changing pictures starts where a picture's difference exceeds this multiple of the calm pictures' median
// difference, and goes on (both ways) while it exceeds the lower one: a transition over moving pictures adds to their
// motion, and where it begins or ends slowly it adds little.
constexpr double kRunStartOverCalm = 1.5;
constexpr double kRunOverCalm = 1.1;
// A run goes on over this many pictures that change no faster than calm ones: a wipe's edge crossing a plain area
// changes little.
constexpr std::uint64_t kRunGap = 2;
// A transition's run begins or ends where a picture changes less than this share of the pictures beside it.
constexpr double kSharpDrop = 0.6;
// The fewest pictures of a gradual transition; shorter changes are judged as cuts and flashes.
constexpr std::uint64_t kShortestTransition = 5;
// ... and at least this much (percent): compression noise on a still picture stays below it.
constexpr double kActiveFloor = 0.3;
constexpr std::size_t kCalmHistory = 25;
// The pictures that tell the calm level before any run may start.
constexpr std::size_t kCalmWarmUp = 5;

// The mean absolute difference of two pictures of the same size, in percent of full scale.
double Difference(std::span<std::uint8_t const> a, std::span<std::uint8_t const> b) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += static_cast<std::uint64_t>(std::abs(a[i] - b[i]));
  return a.empty() ? 0.0 : static_cast<double>(sum) / static_cast<double>(a.size()) * kPercentPerLevel;
}

struct Frame {
  std::uint64_t index = 0;
  double seconds = 0;
  std::vector<std::uint8_t> luma;
  double difference = 0;  // from the previous picture, percent; 0 for the first or after a size change
  double mean = 0;        // luma, levels
  double deviation = 0;   // luma standard deviation, levels
  bool Flat() const { return deviation < kFlatDeviation; }
};

// How a picture in the middle of a change relates to the pictures before and after it.
struct Between {
  double blendResidual = 1;  // of the best cross-fade of the two, relative to their difference
  double blendAt = 0;        // where that cross-fade stands (0 before, 1 after)
  double wipeResidual = 1;   // of the nearer of the two, pixel by pixel, relative to their difference
  double likeBefore = 0;     // the share of the pixels that the two differ in that still show the picture before
  double likeAfter = 0;      // ... and that already show the picture after
  double distinct = 0;       // the share of all pixels that the two ends differ in
};

// Levels within which a pixel "shows" an end picture, and by which the two ends must differ for that to tell.
constexpr int kSameLevels = 8;
constexpr int kDistinctLevels = 32;

// How much more of a wipe's end picture shows at two thirds of its run than at one third, at the least (a steady wipe:
// a third).
constexpr double kWipeProgress = 0.15;
// The share of a picture that the ends of a wipe differ in, at the least.
constexpr double kWipeDistinct = 0.3;

Between Compare(Frame const& before, Frame const& middle, Frame const& after) {
  Between between;
  std::size_t const n = before.luma.size();
  if (n == 0 || middle.luma.size() != n || after.luma.size() != n) return between;
  double dot = 0;
  double norm = 0;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < n; ++i) {
    double const span = after.luma[i] - before.luma[i];
    dot += (middle.luma[i] - before.luma[i]) * span;
    norm += span * span;
    total += static_cast<std::uint64_t>(std::abs(after.luma[i] - before.luma[i]));
  }
  if (norm <= 0 || total == 0) return between;
  double const t = dot / norm;
  double blend = 0;
  std::uint64_t wipe = 0;
  std::size_t distinct = 0;
  std::size_t likeBefore = 0;
  std::size_t likeAfter = 0;
  for (std::size_t i = 0; i < n; ++i) {
    blend += std::fabs(middle.luma[i] - before.luma[i] - t * (after.luma[i] - before.luma[i]));
    int const fromBefore = std::abs(middle.luma[i] - before.luma[i]);
    int const fromAfter = std::abs(middle.luma[i] - after.luma[i]);
    wipe += static_cast<std::uint64_t>(std::min(fromBefore, fromAfter));
    if (std::abs(after.luma[i] - before.luma[i]) >= kDistinctLevels) {
      ++distinct;
      likeBefore += fromBefore <= kSameLevels ? 1 : 0;
      likeAfter += fromAfter <= kSameLevels ? 1 : 0;
    }
  }
  between.distinct = static_cast<double>(distinct) / static_cast<double>(n);
  if (distinct > 0) {
    between.likeBefore = static_cast<double>(likeBefore) / static_cast<double>(distinct);
    between.likeAfter = static_cast<double>(likeAfter) / static_cast<double>(distinct);
  }
  between.blendAt = t;
  between.blendResidual = blend / static_cast<double>(total);
  between.wipeResidual = static_cast<double>(wipe) / static_cast<double>(total);
  return between;
}

// Finds cuts and gradual transitions in a stream of pictures, looking a few pictures ahead and keeping as many as the
// longest transition spans. A cut is a picture that differs from its predecessor by far more than its neighbours
// differ from theirs; a flash (a picture or two unlike both sides, with the pictures around them alike) is none. A
// transition is a run of steadily changing pictures whose middle pictures are cross-fades (fades, dissolves) or
// pixel-wise mixes (wipes) of the pictures at both ends; a run that is neither is motion.
class SceneFinder {
 public:
  SceneFinder(double threshold, double minimumSeconds, double frameRate)
      : threshold_(threshold),
        minimumSeconds_(minimumSeconds),
        longestRun_(static_cast<std::size_t>(
            std::clamp(std::ceil(kLongestTransitionSeconds * (frameRate > 0 ? frameRate : 25)), 8.0, 250.0))) {}

  void Add(MediaReader::Picture const& picture) {
    Frame frame;
    if (!spare_.empty()) {
      frame.luma = std::move(spare_.back());
      spare_.pop_back();
    }
    frame.index = picture.index;
    frame.seconds = picture.seconds;
    frame.luma.assign(picture.luma.begin(), picture.luma.end());
    double sum = 0;
    double squares = 0;
    for (std::uint8_t const level : frame.luma) {
      sum += level;
      squares += static_cast<double>(level) * level;
    }
    double const count = static_cast<double>(std::max<std::size_t>(frame.luma.size(), 1));
    frame.mean = sum / count;
    frame.deviation = std::sqrt(std::max(0.0, squares / count - frame.mean * frame.mean));
    bool const comparable = !window_.empty() && window_.back().luma.size() == frame.luma.size();
    frame.difference = comparable ? Difference(window_.back().luma, frame.luma) : 0;
    if (!comparable) EndRun(lastActive_);
    window_.push_back(std::move(frame));
    Track(window_.back());
    if (window_.size() >= 3) Candidate(window_.size() - 3);
    while (window_.size() > longestRun_ + 4 && (!runStart_ || window_.front().index + 1 < *runStart_)) {
      spare_.push_back(std::move(window_.front().luma));
      window_.pop_front();
    }
  }

  // Ends the stream: the last pictures' candidates and a run still open are judged with what there is.
  Scenes Finish(Scenes scenes) {
    for (std::size_t at = window_.size() >= 2 ? window_.size() - 2 : 0; at < window_.size(); ++at) Candidate(at);
    EndRun(lastActive_);
    scenes.transitions = transitions_;
    // No cut inside a transition; one just before it (a cut to the black that a fade starts from) stands.
    std::vector<SceneCut> cuts;
    for (SceneCut const& cut : cuts_) {
      bool const inside = std::any_of(transitions_.begin(), transitions_.end(), [&](SceneTransition const& t) {
        return cut.frame > t.startFrame && cut.frame <= t.endFrame;
      });
      if (!inside) cuts.push_back(cut);
    }
    // Shots shorter than the minimum: of two cuts too close together, the stronger stands.
    for (SceneCut const& cut : cuts) {
      if (!scenes.cuts.empty() && cut.seconds - scenes.cuts.back().seconds < minimumSeconds_) {
        if (cut.score > scenes.cuts.back().score) scenes.cuts.back() = cut;
        continue;
      }
      scenes.cuts.push_back(cut);
    }
    return scenes;
  }

 private:
  Frame const* At(std::uint64_t index) const {
    if (window_.empty() || index < window_.front().index || index > window_.back().index) return nullptr;
    Frame const& frame = window_[index - window_.front().index];
    return frame.index == index ? &frame : nullptr;
  }

  double DifferenceAt(std::uint64_t index) const {
    Frame const* frame = At(index);
    return frame ? frame->difference : 0;
  }

  // Judges the picture at window position `at` as a cut, once the two pictures after it are there (or the stream
  // ended).
  void Candidate(std::size_t at) {
    Frame const& frame = window_[at];
    if (frame.index < suppressedUntil_ || frame.difference <= 0) return;
    double const neighbours =
        std::max(frame.index > 0 ? DifferenceAt(frame.index - 1) : 0.0, DifferenceAt(frame.index + 1));
    double const score = frame.difference - neighbours;
    // A jump well above the change around it: steady change (a pan, a fade) and a one-picture flash both fail here.
    if (score < threshold_ || score < neighbours || score <= 0) return;
    Frame const* before = frame.index > 0 ? At(frame.index - 1) : nullptr;
    for (std::uint64_t length = 1; before && length <= 2; ++length) {
      Frame const* back = At(frame.index + length);
      if (back && back->luma.size() == before->luma.size() &&
          Difference(before->luma, back->luma) < 0.5 * frame.difference) {
        suppressedUntil_ = frame.index + length + 1;  // the flash, and the return from it
        return;
      }
    }
    cuts_.push_back({frame.index, frame.seconds, score});
  }

  // Follows runs of steadily changing pictures.
  void Track(Frame const& frame) {
    double const calm = CalmLevel();
    bool const active =
        calm_.size() >= kCalmWarmUp &&
        frame.difference >= std::max(kActiveFloor, (runStart_ ? kRunOverCalm : kRunStartOverCalm) * calm);
    if (active) {
      lastActive_ = frame.index;
      if (!runStart_) {
        // The run began where the pictures started to change faster than calm ones.
        std::uint64_t start = frame.index;
        while (start > runFloor_ + 1 && start + 3 > frame.index &&
               DifferenceAt(start - 1) >= std::max(kActiveFloor, kRunOverCalm * calm)) {
          --start;
        }
        runStart_ = start;
      }
      if (frame.index - *runStart_ + 1 > longestRun_) Abandon(frame.index);
      return;
    }
    if (runStart_ && frame.index - lastActive_ <= kRunGap) return;
    EndRun(lastActive_);
    Calm(frame.difference);
  }

  double CalmLevel() const {
    if (calm_.empty()) return 0;
    std::vector<double> sorted(calm_.begin(), calm_.end());
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
    return sorted[sorted.size() / 2];
  }

  void Calm(double difference) {
    calm_.push_back(difference);
    if (calm_.size() > kCalmHistory) calm_.pop_front();
  }

  // A run too long for a transition is motion: its changes become the calm level.
  void Abandon(std::uint64_t last) {
    for (std::uint64_t i = *runStart_; i <= last; ++i) Calm(DifferenceAt(i));
    runStart_.reset();
    runFloor_ = last;
  }

  // Judges the open run, whose last picture is `end`.
  void EndRun(std::uint64_t end) {
    if (!runStart_) return;
    std::uint64_t const start = *runStart_;
    runStart_.reset();
    runFloor_ = end;
    if (end < start || end - start + 1 < kShortestTransition) return;
    // A fade out that turns straight into a fade in passes through one flat picture: two transitions.
    std::optional<std::uint64_t> flattest;
    for (std::uint64_t i = start + 1; i < end; ++i) {
      Frame const* frame = At(i);
      if (frame && frame->Flat() && (!flattest || frame->deviation < At(*flattest)->deviation)) flattest = i;
    }
    bool found = false;
    if (flattest) {
      bool const out = Judge(start, *flattest);
      bool const in = Judge(*flattest + 1, end);
      found = out || in;
    } else {
      found = JudgeWithin(start, end);
    }
    if (!found) {
      for (std::uint64_t i = start; i <= end; ++i) Calm(DifferenceAt(i));
    }
  }

  // Judges the run from `start` to `end`, and when it is no transition as a whole, the parts of it that begin or end
  // where its pictures' change drops sharply: motion that goes on before or after a transition joins its run.
  bool JudgeWithin(std::uint64_t start, std::uint64_t end) {
    auto const recent = [&](std::uint64_t from, std::uint64_t to) {
      double sum = 0;
      for (std::uint64_t i = from; i <= to; ++i) sum += DifferenceAt(i);
      return sum / static_cast<double>(to - from + 1);
    };
    std::vector<std::uint64_t> starts{start};
    std::vector<std::uint64_t> ends{end};
    // A cut inside the run begins a new shot, and maybe a fade of it.
    for (SceneCut const& cut : cuts_) {
      if (cut.frame >= start && cut.frame + kShortestTransition <= end) starts.push_back(cut.frame + 1);
    }
    for (std::uint64_t i = start + 3; i + 2 <= end; ++i) {
      if (DifferenceAt(i) < kSharpDrop * recent(i - 3, i - 1)) ends.push_back(i - 1);
      if (DifferenceAt(i - 1) < kSharpDrop * recent(i, i + 2)) starts.push_back(i);
    }
    for (std::uint64_t const from : starts) {
      for (auto to = ends.begin(); to != ends.end(); ++to) {
        if (*to >= from + kShortestTransition - 1 && Judge(from, *to)) return true;
      }
    }
    return false;
  }

  // Whether the pictures from `start` to `end` are a transition from the picture before `start` to the one at `end`;
  // records it when they are.
  bool Judge(std::uint64_t start, std::uint64_t end) {
    if (start == 0 || end < start + 2) return false;
    Frame const* before = At(start - 1);
    Frame const* after = At(end);
    if (!before || !after || before->luma.size() != after->luma.size()) return false;
    // Between two plain pictures (the dark end of a long fade and black, say) no shot begins.
    if (before->Flat() && after->Flat()) return false;
    double const change = Difference(before->luma, after->luma);
    if (change < threshold_ || change <= 0) return false;
    // Two pictures inside, a third and two thirds of the way, must both be mixes of the ends.
    bool blend = true;
    bool wipe = true;
    double shownAfter = -1;  // the share showing the end picture at the first look
    for (std::uint64_t const at : {start + (end - start) / 3, start + (end - start) * 2 / 3}) {
      Frame const* middle = At(std::min(at, end - 1));
      if (!middle) return false;
      Between const between = Compare(*before, *middle, *after);
      blend = blend && between.blendResidual < 0.25 && between.blendAt > 0.1 && between.blendAt < 0.9;
      // In a wipe nearly every pixel shows one end or the other; a zoom or a pan leaves many showing neither.
      // (wipes measured 0.05 to 0.08 residual and 0.82 to 0.97 showing an end, zooms 0.15 to 0.17 and 0.68 to 0.71).
      wipe = wipe && between.wipeResidual < 0.12 && between.likeBefore > 0.1 && between.likeAfter > 0.1 &&
             between.likeBefore + between.likeAfter > 0.75;
      // A wipe moves on: more of the end picture shows later. Something moving across a still picture leaves its
      // old place and has not reached its new one, half and half at every look; and a wipe replaces a whole
      // picture, where a moving thing changes a part of it (15% in a moving test pattern, 54% and more in wipes).
      wipe = wipe && between.distinct >= kWipeDistinct;
      if (shownAfter >= 0) wipe = wipe && between.likeAfter - shownAfter > kWipeProgress;
      shownAfter = between.likeAfter;
    }
    if (!blend && !wipe) return false;
    TransitionKind kind = wipe && !blend ? TransitionKind::kWipe : TransitionKind::kDissolve;
    if (blend && after->Flat() && !before->Flat()) {
      kind = after->mean < 128 ? TransitionKind::kFadeToBlack : TransitionKind::kFadeToWhite;
    } else if (blend && before->Flat() && !after->Flat()) {
      kind = before->mean < 128 ? TransitionKind::kFadeFromBlack : TransitionKind::kFadeFromWhite;
    }
    Frame const* first = At(start);
    transitions_.push_back({start, end, first->seconds, after->seconds, change, kind});
    return true;
  }

  double const threshold_;
  double const minimumSeconds_;
  std::size_t const longestRun_;
  std::deque<Frame> window_;
  std::vector<std::vector<std::uint8_t>> spare_;  // luma buffers of pictures that left the window
  std::deque<double> calm_;                       // differences of the latest pictures that were no transition
  std::optional<std::uint64_t> runStart_;
  std::uint64_t lastActive_ = 0;  // the last picture that changed faster than calm ones
  std::uint64_t runFloor_ = 0;    // the last picture of the previous run: a run never reaches back past it
  std::uint64_t suppressedUntil_ = 0;
  std::vector<SceneCut> cuts_;
  std::vector<SceneTransition> transitions_;
};

}  // namespace

// Shot boundaries of a video stream: cuts, and fades, dissolves and wipes with their start, end and kind.
zelcore::Blob MeasureScenes(AnalyzerParameter const& parameter, std::filesystem::path const& file,
                            Progress const& progress, ReadVersion& read) {
  Scenes scenes;
  scenes.threshold = parameter.Number("threshold");
  scenes.minimumSeconds = parameter.Number("min");
  MediaReader media(file, MediaInput::Probe::kVideo);
  // A file without pictures fails as not applicable: "0 cuts" would claim a look at pictures it never had.
  MediaReader::VideoFormat const format =
      media.SelectVideo(parameter.Stream(), MediaReader::kAnalysisWidth, scenes.threshold >= kReducedSizeThreshold);
  scenes.frameRate = format.frameRate;
  SceneFinder finder(scenes.threshold, scenes.minimumSeconds, format.frameRate);
  scenes.frameCount = media.ReadVideo(progress, [&](MediaReader::Picture const& picture) { finder.Add(picture); });
  read.Note(media.File());
  return EncodeScenes(finder.Finish(std::move(scenes)));
}

}  // namespace Quillan::Examples::detail
