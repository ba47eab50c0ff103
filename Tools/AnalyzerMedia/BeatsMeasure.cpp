#include <aubio/aubio.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "AnalyzerMedia/Detail/Measures.h"
#include "AnalyzerMedia/Detail/MediaReader.h"
#include "AnalyzerMedia/Detail/SharedAudio.h"
#include "Analyzers/Detail/AnalyzerParameter.h"
#include "Analyzers/Detail/ExampleAnalyzer.h"
#include "Analyzers/ExampleAnalyzers.h"
#include "zelcore/ZelException.h"

namespace Quillan::Examples::detail {
namespace {

// The tempi a beat grid may have; a period outside is read as its double or half.
constexpr double kMinBpm = 40;
constexpr double kMaxBpm = 240;
// Between two periods that fit equally, the one nearer this tempo (in octaves) is the beat: listeners tap there.
constexpr double kPreferredBpm = 120;
constexpr double kPreferenceOctaves = 1;
// How strictly the tracker keeps the period from one beat to the next (larger: stricter).
constexpr double kTightness = 20;
// Below this many beats on onsets a grid is no rhythm; below this confidence it is not trusted.
constexpr std::size_t kMinBeats = 4;
constexpr double kMinConfidence = 0.25;
// A grid of this many beats on onsets is long enough for full confidence.
constexpr double kFullConfidenceBeats = 8;
// Relative deviation of beat intervals from the period at which regularity falls to exp(-1/2).
constexpr double kJitterScale = 0.04;
// Gaps of this many beats without an onset end a run of beats: nothing beats there.
constexpr std::size_t kMaxBeatGap = 4;
// Quieter than this (mean square, -70 dBFS) an onset is not heard.
constexpr double kSilencePower = 1e-7;
// An onset's energy rises at least this much over the 20 ms before it; the detector also fires on changes of timbre
// alone, which keep the time it gives.
constexpr double kMinRise = 4;

// The one place where a position in the decoded stream (in samples, perhaps between two) becomes a time in the result:
// on the presentation's clock, where the sound may start after 0.
double SampleSeconds(double sample, MediaReader::AudioFormat const& format) {
  return format.startSeconds + sample / static_cast<double>(format.sampleRate);
}

// About 23 ms of sound at every rate (1024 samples at 44.1 kHz), the nearest power of two for the FFT.
uint_t WindowFor(std::uint32_t sampleRate) {
  double const wanted = 0.023 * sampleRate;
  uint_t window = 64;
  while (static_cast<double>(window) * std::sqrt(2.0) < wanted) window *= 2;
  return window;
}

// aubio plans its FFTs with FFTW, whose planner must not run on two threads at once.
std::mutex& PlannerMutex() {
  static std::mutex mutex;
  return mutex;
}

struct AubioDeleter {
  void operator()(aubio_onset_t* onset) const {
    std::lock_guard lock(PlannerMutex());
    del_aubio_onset(onset);
  }
  void operator()(fvec_t* vector) const { del_fvec(vector); }
};

struct Onset {
  std::uint64_t sample = 0;  // where the sound rises, to the sample
  double strength = 0;       // RMS over the window after it
  bool rises = false;        // whether its energy rises by kMinRise; if not, it keeps the detector's time
};

// Finds onsets in a mono stream fed sample by sample: aubio's default (high-frequency content) detector finds them a
// few hops late and to the hop; the first sample of the rise is then looked up in the samples kept around it.
class OnsetFinder {
 public:
  explicit OnsetFinder(std::uint32_t sampleRate)
      : window_(WindowFor(sampleRate)), hop_(window_ / 2), kept_(std::size_t{window_} * 32), block_(sampleRate / 2000) {
    block_ = std::max<std::size_t>(block_, 4);
    {
      std::lock_guard lock(PlannerMutex());
      onset_.reset(new_aubio_onset("default", window_, hop_, sampleRate));
    }
    in_.reset(new_fvec(hop_));
    out_.reset(new_fvec(1));
    if (!onset_ || !in_ || !out_) {
      throw zelcore::config::zel_exception("Onset detection could not start at " + std::to_string(sampleRate) + " Hz",
                                           zelcore::config::kResultUnexpected);
    }
    // aubio drops an onset when the hop at which it reports it is silent, and it reports a few hops late: a short
    // click followed by silence would be lost (digital silence is -inf dB, never below -inf). Silence is judged here,
    // at the onset itself.
    aubio_onset_set_silence(onset_.get(), -std::numeric_limits<smpl_t>::infinity());
  }

  uint_t Hop() const { return hop_; }

  void Push(float sample) {
    kept_[fed_ & (kept_.size() - 1)] = sample;
    ++fed_;
    in_->data[filled_++] = sample;
    if (filled_ == hop_) Step();
  }

  // Ends the stream of `frames` samples: the detector looks a few hops ahead, so silence follows the last sample.
  std::vector<Onset> Finish(std::uint64_t frames) {
    std::uint64_t const tail = aubio_onset_get_delay(onset_.get()) + std::uint64_t{hop_} * 8;
    for (std::uint64_t i = 0; i < tail || filled_ != 0; ++i) Push(0);
    for (std::uint64_t const reported : pending_) {
      if (auto const onset = Refine(reported)) onsets_.push_back(*onset);
    }
    pending_.clear();
    std::sort(onsets_.begin(), onsets_.end(), [](Onset const& a, Onset const& b) { return a.sample < b.sample; });
    // The end of the sound is a change the detector hears (an abrupt stop is broadband); near it only a real rise
    // counts.
    std::uint64_t const hearsEnd = aubio_onset_get_delay(onset_.get()) + std::uint64_t{window_} * 2;
    std::vector<Onset> kept;
    for (Onset const& onset : onsets_) {
      if (onset.sample >= frames) break;
      if (!onset.rises && onset.sample + hearsEnd >= frames) continue;
      // Two reports of one rise land on the same sample, or within a hop of each other.
      if (!kept.empty() && onset.sample < kept.back().sample + hop_) {
        if (onset.strength > kept.back().strength) kept.back() = onset;
        continue;
      }
      kept.push_back(onset);
    }
    return kept;
  }

 private:
  void Step() {
    aubio_onset_do(onset_.get(), in_.get(), out_.get());
    filled_ = 0;
    if (out_->data[0] != 0) pending_.push_back(aubio_onset_get_last(onset_.get()));
    // An onset is placed once the samples after it are in (the first is reported before they are).
    while (!pending_.empty() && pending_.front() + 3 * std::uint64_t{window_} <= fed_) {
      if (auto const onset = Refine(pending_.front())) onsets_.push_back(*onset);
      pending_.erase(pending_.begin());
    }
  }

  float Kept(std::uint64_t sample) const { return kept_[sample & (kept_.size() - 1)]; }

  // The rise near `reported`: the block of samples whose energy grows most over the 20 ms before it (long enough that
  // the swing of a low tone is no rise), then the first sample in it that reaches a tenth of the peak that follows.
  std::optional<Onset> Refine(std::uint64_t reported) const {
    constexpr std::size_t kBlocksBefore = 40;
    std::uint64_t const oldest = fed_ > kept_.size() ? fed_ - kept_.size() : 0;
    // Blocks are compared from 2 windows before the report on, each with the full 20 ms before it (before the stream's
    // start there is silence).
    std::uint64_t const history = 2 * window_ + kBlocksBefore * block_;
    std::uint64_t const from = std::max<std::uint64_t>(oldest, reported > history ? reported - history : 0);
    std::uint64_t const to = std::min<std::uint64_t>(fed_, reported + 2 * window_);
    if (to <= from + (kBlocksBefore + 4) * block_) return std::nullopt;
    std::size_t const blocks = (to - from) / block_;
    std::vector<double> energy(blocks, 0.0);
    double loudest = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
      for (std::size_t i = 0; i < block_; ++i) {
        double const x = Kept(from + b * block_ + i);
        energy[b] += x * x;
      }
      loudest = std::max(loudest, energy[b]);
    }
    if (loudest / static_cast<double>(block_) < kSilencePower) return std::nullopt;
    double const floor = loudest * 1e-4;
    std::size_t rise = 0;
    double best = 0;
    for (std::size_t b = from == 0 ? 1 : kBlocksBefore; b < blocks; ++b) {
      double before = 0;
      std::size_t const first = b >= kBlocksBefore ? b - kBlocksBefore : 0;
      for (std::size_t k = first; k < b; ++k) before += energy[k];
      double const ratio = (energy[b] + floor) / (before / static_cast<double>(kBlocksBefore) + floor);
      if (ratio > best) {
        best = ratio;
        rise = b;
      }
    }
    bool const rises = best >= kMinRise;
    if (!rises) rise = (std::clamp(reported, from, to - 1) - from) / block_;
    std::uint64_t const start = from + rise * block_;
    std::uint64_t const end = std::min<std::uint64_t>(to, start + 3 * block_);
    float peak = 0;
    for (std::uint64_t s = start; s < end; ++s) peak = std::max(peak, std::abs(Kept(s)));
    std::uint64_t sample = start;
    while (sample < end && std::abs(Kept(sample)) < 0.1f * peak) ++sample;
    double power = 0;
    std::uint64_t const after = std::min<std::uint64_t>(fed_, sample + window_);
    for (std::uint64_t s = sample; s < after; ++s) power += static_cast<double>(Kept(s)) * Kept(s);
    power /= static_cast<double>(std::max<std::uint64_t>(after - sample, 1));
    if (power < kSilencePower) return std::nullopt;
    return Onset{sample, std::sqrt(power), rises};
  }

  uint_t window_;
  uint_t hop_;
  std::vector<float> kept_;  // the latest samples, a ring of a power of two
  std::size_t block_;        // about half a millisecond
  std::uint64_t fed_ = 0;
  uint_t filled_ = 0;
  std::unique_ptr<aubio_onset_t, AubioDeleter> onset_;
  std::unique_ptr<fvec_t, AubioDeleter> in_;
  std::unique_ptr<fvec_t, AubioDeleter> out_;
  std::vector<std::uint64_t> pending_;  // reported, not yet placed
  std::vector<Onset> onsets_;
};

struct Grid {
  std::vector<double> beats;  // in samples
  double tempoBpm = 0;
  double confidence = 0;
};

// The period (in frames) at which the onset train repeats best, weighted towards kPreferredBpm; 0 when none.
double FindPeriod(std::vector<double> const& train, double frameSeconds) {
  // Spread each onset over neighbouring frames, so that a period between two frame counts still lines them up.
  std::vector<double> smooth(train.size(), 0.0);
  constexpr double kSpread[] = {0.25, 0.5, 1, 0.5, 0.25};
  for (std::size_t n = 0; n < train.size(); ++n) {
    if (train[n] == 0) continue;
    for (std::size_t k = 0; k < 5; ++k) {
      if (n + k >= 2 && n + k - 2 < train.size()) smooth[n + k - 2] += kSpread[k] * train[n];
    }
  }
  auto const shortest = static_cast<std::size_t>(std::max(2.0, std::floor(60 / kMaxBpm / frameSeconds)));
  auto const longest = static_cast<std::size_t>(std::ceil(60 / kMinBpm / frameSeconds)) + 1;
  if (longest + 2 >= smooth.size()) return 0;
  std::vector<double> score(longest + 2, 0.0);
  for (std::size_t lag = shortest - 1; lag <= longest + 1; ++lag) {
    double sum = 0;
    for (std::size_t n = 0; n + lag < smooth.size(); ++n) sum += smooth[n] * smooth[n + lag];
    double const octaves = std::log2(60 / (static_cast<double>(lag) * frameSeconds) / kPreferredBpm);
    score[lag] = sum / static_cast<double>(smooth.size() - lag) *
                 std::exp(-0.5 * octaves * octaves / (kPreferenceOctaves * kPreferenceOctaves));
  }
  std::size_t best = shortest;
  for (std::size_t lag = shortest; lag <= longest; ++lag) {
    if (score[lag] > score[best]) best = lag;
  }
  if (score[best] <= 0) return 0;
  double const left = score[best - 1], middle = score[best], right = score[best + 1];
  double const curve = left - 2 * middle + right;
  double const shift = curve < 0 ? std::clamp(0.5 * (left - right) / curve, -0.5, 0.5) : 0.0;
  return static_cast<double>(best) + shift;
}

// The frames of the beats through the onset train: the sequence that lands on the strongest onsets while keeping
// close to `period` from beat to beat (dynamic programming over the frames).
std::vector<std::size_t> TrackFrames(std::vector<double> const& train, double period) {
  std::size_t const frames = train.size();
  std::vector<double> score(frames, 0.0);
  std::vector<std::ptrdiff_t> previous(frames, -1);
  auto const nearest = static_cast<std::size_t>(std::max(1.0, std::round(period / 2)));
  auto const farthest = static_cast<std::size_t>(std::round(period * 2));
  std::vector<double> penalty(farthest + 1, 0.0);
  for (std::size_t gap = nearest; gap <= farthest; ++gap) {
    double const stretch = std::log(static_cast<double>(gap) / period);
    penalty[gap] = kTightness * stretch * stretch;
  }
  for (std::size_t n = 0; n < frames; ++n) {
    double best = 0;
    for (std::size_t gap = nearest; gap <= farthest && gap <= n; ++gap) {
      double const value = score[n - gap] - penalty[gap];
      if (value > best) {
        best = value;
        previous[n] = static_cast<std::ptrdiff_t>(n - gap);
      }
    }
    score[n] = train[n] + best;
  }
  // The last beat is the best-scoring onset within the last period.
  std::size_t last = frames - 1;
  std::size_t const tailStart = frames > farthest ? frames - farthest : 0;
  for (std::size_t n = tailStart; n < frames; ++n) {
    if (train[n] > 0 && (train[last] == 0 || score[n] > score[last])) last = n;
  }
  std::vector<std::size_t> beats;
  for (auto n = static_cast<std::ptrdiff_t>(last); n >= 0; n = previous[static_cast<std::size_t>(n)]) {
    beats.push_back(static_cast<std::size_t>(n));
  }
  std::reverse(beats.begin(), beats.end());
  return beats;
}

// The beat grid of the onsets. The period comes from the onsets' repetition, the beats from tracking it through
// them; each beat on an onset takes the onset's time, and the tempo is the least-squares slope of those times against
// their beat numbers. Confidence = the share of beats that fall on an onset (the others are interpolated across short
// gaps) x the regularity of the beat intervals (exp(-d^2/2) with d the RMS deviation of intervals from the period in
// units of 4 %) x the grid's length (beats on onsets / 8, at most 1). A grid under 4 beats on onsets or under 0.25
// confidence is no grid. Beats are positions in the stream, in samples.
Grid FitGrid(std::vector<Onset> const& onsets, std::uint64_t frames, std::uint32_t sampleRate, uint_t hop) {
  Grid grid;
  if (onsets.size() < kMinBeats || frames == 0) return grid;
  double const frameSeconds = static_cast<double>(hop) / static_cast<double>(sampleRate);
  std::vector<double> train(static_cast<std::size_t>(frames / hop + 1), 0.0);
  double total = 0;
  for (Onset const& onset : onsets) total += onset.strength;
  for (Onset const& onset : onsets) {
    train[static_cast<std::size_t>(onset.sample / hop)] += onset.strength / total * static_cast<double>(onsets.size());
  }
  double const period = FindPeriod(train, frameSeconds);
  if (period == 0) return grid;
  std::vector<std::size_t> const tracked = TrackFrames(train, period);
  double const periodSamples = period * hop;
  double const tolerance = std::max(1.5 * hop, 0.06 * periodSamples);

  // Each tracked beat: its number (counted in periods from the first) and the onset it falls on, if any.
  struct Beat {
    double sample = 0;
    std::int64_t number = 0;
    bool onOnset = false;
  };
  std::vector<Beat> beats;
  std::size_t next = 0;
  for (std::size_t frame : tracked) {
    double const near = (static_cast<double>(frame) + 0.5) * hop;
    Beat beat{near, 0, false};
    while (next < onsets.size() && static_cast<double>(onsets[next].sample) < near - tolerance) ++next;
    double closest = tolerance;
    for (std::size_t i = next; i < onsets.size(); ++i) {
      auto const at = static_cast<double>(onsets[i].sample);
      if (at > near + tolerance) break;
      if (std::abs(at - near) <= closest) {
        closest = std::abs(at - near);
        beat.sample = at;
        beat.onOnset = true;
      }
    }
    if (!beats.empty()) {
      auto const step = static_cast<std::int64_t>(std::llround((beat.sample - beats.back().sample) / periodSamples));
      beat.number = beats.back().number + std::max<std::int64_t>(step, 1);
    }
    beats.push_back(beat);
  }

  // Keep runs of beats on onsets, bridging gaps shorter than kMaxBeatGap beats.
  std::vector<Beat> kept;
  for (std::size_t i = 0; i < beats.size(); ++i) {
    if (!beats[i].onOnset) continue;
    if (!kept.empty()) {
      std::size_t j = i;
      while (j > 0 && !beats[j - 1].onOnset) --j;
      bool const bridge = beats[i].number - kept.back().number <= static_cast<std::int64_t>(kMaxBeatGap);
      for (; bridge && j < i; ++j) kept.push_back(beats[j]);
    }
    kept.push_back(beats[i]);
  }

  // Least squares of the times on the numbers, over the beats on onsets.
  double n = 0, sumK = 0, sumT = 0, sumKK = 0, sumKT = 0;
  for (Beat const& beat : kept) {
    if (!beat.onOnset) continue;
    auto const k = static_cast<double>(beat.number);
    n += 1;
    sumK += k;
    sumT += beat.sample;
    sumKK += k * k;
    sumKT += k * beat.sample;
  }
  double const spread = n * sumKK - sumK * sumK;
  if (n < static_cast<double>(kMinBeats) || spread <= 0) return grid;
  double const slope = (n * sumKT - sumK * sumT) / spread;
  if (slope <= 0) return grid;

  // Beats in bridged gaps lie evenly between the beats on onsets around them.
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (kept[i].onOnset) continue;
    std::size_t before = i, after = i;
    while (!kept[before].onOnset) --before;
    while (!kept[after].onOnset) ++after;
    double const part = static_cast<double>(kept[i].number - kept[before].number) /
                        static_cast<double>(kept[after].number - kept[before].number);
    kept[i].sample = kept[before].sample + part * (kept[after].sample - kept[before].sample);
  }

  double squares = 0;
  double intervals = 0;
  for (std::size_t i = 1; i < kept.size(); ++i) {
    if (!kept[i].onOnset || !kept[i - 1].onOnset || kept[i].number - kept[i - 1].number != 1) continue;
    double const deviation = (kept[i].sample - kept[i - 1].sample - slope) / slope;
    squares += deviation * deviation;
    intervals += 1;
  }
  double const jitter = intervals > 0 ? std::sqrt(squares / intervals) / kJitterScale : 1;
  double const confidence =
      n / static_cast<double>(kept.size()) * std::exp(-0.5 * jitter * jitter) * std::min(1.0, n / kFullConfidenceBeats);
  if (confidence < kMinConfidence) return grid;
  grid.tempoBpm = 60 * static_cast<double>(sampleRate) / slope;
  grid.confidence = confidence;
  for (Beat const& beat : kept) grid.beats.push_back(beat.sample);
  return grid;
}

}  // namespace

// Onsets, beats, tempo and confidence of an audio stream, from the onsets of the channels' mean.
zelcore::Blob MeasureBeats(AnalyzerParameter const& parameter, std::filesystem::path const& file,
                           Progress const& progress, ReadVersion& read) {
  SharedAudio media(file, parameter.Stream());
  MediaReader::AudioFormat const format = media.Format();
  OnsetFinder finder(format.sampleRate);
  std::size_t const channels = format.channelCount;
  float const scale = 1.0f / static_cast<float>(channels);
  Beats beats;
  beats.sampleRate = format.sampleRate;
  beats.frameCount = media.Read(progress, [&](std::span<float const> samples, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      float sum = 0;
      for (std::size_t c = 0; c < channels; ++c) sum += samples[i * channels + c];
      finder.Push(sum * scale);
    }
  });
  read.Note(media.File());
  std::vector<Onset> const onsets = finder.Finish(beats.frameCount);
  for (Onset const& onset : onsets) {
    beats.onsets.push_back(SampleSeconds(static_cast<double>(onset.sample), format));
  }
  Grid const grid = FitGrid(onsets, beats.frameCount, format.sampleRate, finder.Hop());
  beats.tempoBpm = grid.tempoBpm;
  beats.confidence = grid.confidence;
  for (double const beat : grid.beats) beats.beats.push_back(SampleSeconds(beat, format));
  return EncodeBeats(beats);
}

}  // namespace Quillan::Examples::detail
