#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <numbers>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "AnalyzerMedia/Detail/Measures.h"
#include "AnalyzerMedia/Detail/MediaReader.h"
#include "AnalyzerMedia/Detail/SharedAudio.h"
#include "Analyzers/Detail/AnalyzerParameter.h"
#include "Analyzers/Detail/ExampleAnalyzer.h"
#include "Analyzers/ExampleAnalyzers.h"
#include "zelcore/ZelException.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace Quillan::Examples::detail {
namespace {

constexpr double kNotMeasured = std::numeric_limits<double>::quiet_NaN();

struct StateDeleter {
  void operator()(ebur128_state* state) const { ebur128_destroy(&state); }
};

void Check(int error, char const* what) {
  if (error != EBUR128_SUCCESS) {
    throw zelcore::config::zel_exception(
        std::string("Loudness measurement failed in ") + what + " (" + std::to_string(error) + ")",
        zelcore::config::kResultUnexpected);
  }
}

// The momentary and short-term loudness from the loudness of consecutive 100 ms blocks: the largest of each, and
// every short-term value.
class BlockWindows {
 public:
  void Add(double blockLufs) {
    // Back to mean square energy: loudness is -0.691 + 10 log10(energy); -inf (silence) gives 0.
    energies_.push_back(std::pow(10.0, (blockLufs + 0.691) / 10.0));
    if (energies_.size() > kShortTermBlocks) energies_.pop_front();
    // Summed afresh each time (34 additions a block): a running sum would carry the rounding of loud passages into
    // the silence after them, which must read -inf.
    double momentary = 0, shortTerm = 0;
    for (std::size_t i = 0; i < energies_.size(); ++i) {
      shortTerm += energies_[i];
      if (i + kMomentaryBlocks >= energies_.size()) momentary += energies_[i];
    }
    if (++blocks_ >= kMomentaryBlocks) momentaryMax_ = std::fmax(momentaryMax_, momentary / kMomentaryBlocks);
    if (blocks_ >= kShortTermBlocks) {
      shortTermMax_ = std::fmax(shortTermMax_, shortTerm / kShortTermBlocks);
      shortTerms_.push_back(static_cast<float>(Lufs(shortTerm / kShortTermBlocks)));
    }
  }
  double MomentaryMax() const { return Lufs(momentaryMax_); }
  double ShortTermMax() const { return Lufs(shortTermMax_); }
  // One value a block from the 30th on, each of the 30 blocks up to it.
  std::vector<float> TakeShortTerms() { return std::move(shortTerms_); }

 private:
  static constexpr std::size_t kMomentaryBlocks = 4;
  static constexpr std::size_t kShortTermBlocks = 30;
  static double Lufs(double energy) {
    if (std::isnan(energy)) return kNotMeasured;
    return energy <= 0 ? -std::numeric_limits<double>::infinity() : -0.691 + 10.0 * std::log10(energy);
  }

  std::deque<double> energies_;  // the last 30 blocks
  std::uint64_t blocks_ = 0;
  double momentaryMax_ = kNotMeasured;  // NaN until a whole window has passed
  double shortTermMax_ = kNotMeasured;
  std::vector<float> shortTerms_;
};

double Decibels(double amplitude) { return 20.0 * std::log10(amplitude); }  // -inf for silence

// The true peak of interleaved audio: the audio is resampled with libswresample to an integer multiple of its rate of
// at least 192 kHz (4x at 48 kHz, 5x at 44.1 kHz), and each peak of the resampled audio is refined by the parabola
// through it and its neighbours. Between the resampled samples a sine near half the rate can still peak 0.5 dB
// above them; the parabola brings that under 0.05 dB (and noise, whose peaks are broader, moves by thousandths).
// Not thread-safe.
class TruePeakMeter {
 public:
  TruePeakMeter(unsigned channels, unsigned sampleRate)
      : channels_(channels),
        factor_(std::clamp((kTruePeakRate + sampleRate - 1) / sampleRate, 2u, kMaxFactor)),
        // A peak is at most half a step of the resampled grid from a sample, and at half the rate a step is 180
        // degrees / factor: no sample below the largest times this cosine can be refined past it.
        candidate_(static_cast<float>(std::cos(std::numbers::pi / (2.0 * factor_)))) {
    AVChannelLayout layout{};
    layout.order = AV_CHANNEL_ORDER_UNSPEC;  // the channels are only resampled, never mixed
    layout.nb_channels = static_cast<int>(channels);
    int const outRate = static_cast<int>(sampleRate * factor_);
    int error = swr_alloc_set_opts2(&resampler_, &layout, AV_SAMPLE_FMT_FLTP, outRate, &layout, AV_SAMPLE_FMT_FLT,
                                    static_cast<int>(sampleRate), 0, nullptr);
    // 32 taps a phase under a Kaiser window of beta 6 keep the passband flat to 21 kHz at 48 kHz, where the default
    // window (beta 9) reads a sine 0.14 dB low; the images it lets through are 60 dB down, a hundredth of a dB.
    if (error >= 0) error = av_opt_set_int(resampler_, "filter_size", 32, 0);
    if (error >= 0) error = av_opt_set_double(resampler_, "kaiser_beta", 6, 0);
    if (error >= 0) error = av_opt_set_int(resampler_, "exact_rational", 1, 0);
    if (error >= 0) error = swr_init(resampler_);
    if (error < 0) {
      swr_free(&resampler_);
      throw zelcore::config::zel_exception("True peak measurement could not start for " + std::to_string(channels) +
                                               " channels at " + std::to_string(sampleRate) + " Hz (" +
                                               std::to_string(error) + ")",
                                           zelcore::config::kResultUnexpected);
    }
    planes_.resize(channels);
    pointers_.resize(channels);
  }
  ~TruePeakMeter() { swr_free(&resampler_); }
  TruePeakMeter(TruePeakMeter const&) = delete;
  TruePeakMeter& operator=(TruePeakMeter const&) = delete;

  // Takes interleaved whole frames.
  void Add(std::span<float const> samples) {
    // A few thousand frames at a time, so that the resampled planes stay in the cache while they are searched.
    std::size_t const chunk = std::max<std::size_t>(kChunkOutFrames / factor_, 1) * channels_;
    for (std::size_t at = 0; at < samples.size(); at += chunk) {
      std::size_t const count = std::min(chunk, samples.size() - at);
      Convert(samples.data() + at, static_cast<int>(count / channels_));
    }
  }

  // The largest true peak of the channels (linear), once the resampler's tail is out. Call once, after the last Add.
  double Finish() {
    while (Convert(nullptr, 0) > 0) {
    }
    return static_cast<double>(largest_);
  }

 private:
  static constexpr unsigned kTruePeakRate = 192000;
  static constexpr unsigned kMaxFactor = 32;  // 192 kHz down to 6 kHz; slower rates are oversampled less
  static constexpr std::size_t kChunkOutFrames = 16384;
  // Each plane starts with the last two samples of the previous chunk, so that a peak at a chunk's edge has both
  // neighbours; before the first chunk they are the silence the resampler starts from.
  static constexpr std::size_t kCarried = 2;

  // Resamples `frames` frames (none: drains the filter) and takes their peaks. Returns the frames out.
  int Convert(float const* in, int frames) {
    int const capacity = std::max(swr_get_out_samples(resampler_, frames), static_cast<int>(kChunkOutFrames));
    if (planes_[0].size() < kCarried + static_cast<std::size_t>(capacity)) {
      for (unsigned c = 0; c < channels_; ++c) {
        planes_[c].resize(kCarried + static_cast<std::size_t>(capacity));
        pointers_[c] = reinterpret_cast<std::uint8_t*>(planes_[c].data() + kCarried);
      }
    }
    auto const* input = reinterpret_cast<std::uint8_t const*>(in);
    int const out = swr_convert(resampler_, pointers_.data(), capacity, in ? &input : nullptr, frames);
    if (out < 0) {
      throw zelcore::config::zel_exception("True peak measurement failed (" + std::to_string(out) + ")",
                                           zelcore::config::kResultUnexpected);
    }
    if (out == 0) return 0;
    auto const count = static_cast<std::size_t>(out);
    for (std::vector<float>& plane : planes_) {
      float const chunkLargest = LargestMagnitude(plane.data() + kCarried, count);
      largest_ = std::max(largest_, chunkLargest);
      // Most chunks of a long file hold no sample near the largest peak so far: their search ends here.
      if (chunkLargest >= largest_ * candidate_) Refine(plane.data(), count);
      // The last sample has no right neighbour yet: it is refined with the next chunk.
      plane[0] = plane[count];
      plane[1] = plane[count + 1];
    }
    return out;
  }

  // Raises largest_ to the vertex of the parabola through each local peak of |x| (and its two neighbours) near it,
  // for the samples at 1 to `count` of `plane`.
  void Refine(float const* plane, std::size_t count) {
    float const threshold = largest_ * candidate_;
    for (std::size_t i = 1; i <= count; ++i) {
      float const sign = plane[i] < 0 ? -1.0f : 1.0f;
      float const left = sign * plane[i - 1], middle = sign * plane[i], right = sign * plane[i + 1];
      if (!(middle >= threshold && middle >= left && middle >= right)) continue;
      float const curvature = left - 2 * middle + right;
      if (curvature < 0) largest_ = std::max(largest_, middle - (left - right) * (left - right) / (8 * curvature));
    }
  }

  // The largest magnitude of `samples`; NaN is skipped. Sixteen lanes of a fixed count are what the compiler turns
  // into vector instructions at -O2: a plain loop searches one sample at a time.
  static float LargestMagnitude(float const* samples, std::size_t count) {
    constexpr std::size_t kLanes = 16;
    float lanes[kLanes] = {};
    std::size_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
      for (std::size_t k = 0; k < kLanes; ++k) lanes[k] = Larger(lanes[k], samples[i + k]);
    }
    float largest = 0;
    for (; i < count; ++i) largest = Larger(largest, samples[i]);
    for (float const lane : lanes) largest = std::max(largest, lane);
    return largest;
  }
  static float Larger(float largest, float sample) {
    float const magnitude = std::fabs(sample);
    return magnitude > largest ? magnitude : largest;
  }

  unsigned const channels_;
  unsigned const factor_;
  float const candidate_;
  SwrContext* resampler_ = nullptr;
  std::vector<std::vector<float>> planes_;  // per channel: kCarried samples, then the resampled chunk
  std::vector<std::uint8_t*> pointers_;     // where the resampler writes in each plane
  float largest_ = 0;                       // the largest peak so far
};

// Runs a TruePeakMeter on a thread of its own once the sound is longer than a batch: oversampling costs about as much
// as the rest of the measurement, and on a second core both end at about the time of one. Samples are handed over in
// batches of about a second, so that the threads meet rarely. Add and Finish are called from one thread; the destructor
// stops the worker at once (a cancelled or failed read).
class TruePeakWorker {
 public:
  explicit TruePeakWorker(TruePeakMeter& meter) : meter_(meter) {}
  ~TruePeakWorker() {
    {
      std::lock_guard lock(mutex_);
      queue_.clear();
      done_ = true;
    }
    work_.notify_one();
    if (thread_.joinable()) thread_.join();
  }
  TruePeakWorker(TruePeakWorker const&) = delete;
  TruePeakWorker& operator=(TruePeakWorker const&) = delete;

  // Takes interleaved whole frames; waits while the worker is far behind.
  void Add(std::span<float const> samples) {
    batch_.insert(batch_.end(), samples.begin(), samples.end());
    if (batch_.size() >= kBatchSamples) Hand();
  }

  // Waits until everything added is measured; the meter may be read afterwards.
  void Finish() {
    // Sound shorter than a batch is measured here: a thread of its own would cost more than it saves.
    if (!thread_.joinable()) {
      meter_.Add(batch_);
      return;
    }
    if (!batch_.empty()) Hand();
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    work_.notify_one();
    thread_.join();
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  static constexpr std::size_t kMaxQueued = 4;
  static constexpr std::size_t kBatchSamples = 1 << 17;

  void Hand() {
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    std::unique_lock lock(mutex_);
    space_.wait(lock, [&] { return queue_.size() < kMaxQueued || failure_; });
    if (failure_) return;  // Finish reports it
    queue_.push_back(std::move(batch_));
    lock.unlock();
    work_.notify_one();
    batch_ = std::vector<float>();
    batch_.reserve(kBatchSamples + 65536);
  }

  void Run() {
    for (;;) {
      std::vector<float> block;
      {
        std::unique_lock lock(mutex_);
        work_.wait(lock, [&] { return !queue_.empty() || done_; });
        if (queue_.empty()) return;
        block = std::move(queue_.front());
        queue_.pop_front();
      }
      space_.notify_one();
      try {
        meter_.Add(block);
      } catch (...) {
        std::lock_guard lock(mutex_);
        failure_ = std::current_exception();
        queue_.clear();
        space_.notify_one();
        return;
      }
    }
  }

  TruePeakMeter& meter_;  // the worker's alone until Finish has joined it
  std::mutex mutex_;
  std::condition_variable work_;          // something queued, or done
  std::condition_variable space_;         // room in the queue, or a failure
  std::deque<std::vector<float>> queue_;  // guarded by mutex_
  bool done_ = false;                     // guarded by mutex_
  std::exception_ptr failure_;            // guarded by mutex_; read by Finish after the join
  std::vector<float> batch_;              // the adding thread's
  std::thread thread_;
};

// The largest sample peak of the channels (linear), which the loudness state measures on the way.
double SamplePeak(ebur128_state* state, unsigned channels) {
  double peak = 0;
  for (unsigned c = 0; c < channels; ++c) {
    double channelPeak = 0;
    Check(ebur128_sample_peak(state, c, &channelPeak), "ebur128_sample_peak");
    peak = std::max(peak, channelPeak);
  }
  return peak;
}

}  // namespace

// EBU R128 loudness of an audio stream: integrated, range, true and sample peak, the largest momentary (400 ms) and
// short-term (3 s) loudness, and the short-term loudness every 100 ms, as meters show them.
zelcore::Blob MeasureLoudness(AnalyzerParameter const& parameter, std::filesystem::path const& file,
                              Progress const& progress, ReadVersion& read) {
  SharedAudio media(file, parameter.Stream());
  MediaReader::AudioFormat const format = media.Format();
  std::unique_ptr<ebur128_state, StateDeleter> state(ebur128_init(
      format.channelCount, format.sampleRate, EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_SAMPLE_PEAK));
  if (!state)
    throw zelcore::config::zel_exception("Loudness measurement could not start", zelcore::config::kResultUnexpected);

  // Meters read momentary (400 ms) and short-term (3 s) loudness every 100 ms; so do we, at the same sample
  // positions. Each 100 ms block's energy is read once and the windows are sums of the last 4 and 30 blocks: asking
  // the library for a 3-second window ten times a second would cost 30 times the audio.
  std::size_t const hop = std::max<std::size_t>(format.sampleRate / 10, 1);
  std::size_t inHop = 0;
  BlockWindows windows;
  TruePeakMeter truePeaks(format.channelCount, format.sampleRate);
  TruePeakWorker worker(truePeaks);
  std::uint64_t const frames = media.Read(progress, [&](std::span<float const> samples, std::size_t count) {
    worker.Add(samples);
    float const* at = samples.data();
    while (count > 0) {
      std::size_t const take = std::min(count, hop - inHop);
      Check(ebur128_add_frames_float(state.get(), at, take), "ebur128_add_frames_float");
      at += take * format.channelCount;
      count -= take;
      inHop += take;
      if (inHop < hop) break;
      inHop = 0;
      double blockLoudness = 0;
      Check(ebur128_loudness_window(state.get(), 100, &blockLoudness), "ebur128_loudness_window");
      windows.Add(blockLoudness);
    }
  });
  read.Note(media.File());

  Loudness result;
  result.frameCount = frames;
  result.sampleRate = format.sampleRate;
  if (result.TooShort()) {
    result.integratedLufs = result.rangeLu = kNotMeasured;
  } else {
    Check(ebur128_loudness_global(state.get(), &result.integratedLufs), "ebur128_loudness_global");
    Check(ebur128_loudness_range(state.get(), &result.rangeLu), "ebur128_loudness_range");
  }
  result.momentaryMaxLufs = windows.MomentaryMax();
  result.shortTermMaxLufs = windows.ShortTermMax();
  result.shortTermLufs = windows.TakeShortTerms();
  double const samplePeak = SamplePeak(state.get(), format.channelCount);
  result.samplePeakDbfs = Decibels(samplePeak);
  worker.Finish();
  // The filter's cutoff just short of half the rate lets it pass a sample a hair off its value; the signal itself
  // passes through every sample, so the true peak is never below the sample peak.
  result.truePeakDbtp = Decibels(std::max(truePeaks.Finish(), samplePeak));
  return EncodeLoudness(result);
}

}  // namespace Quillan::Examples::detail
