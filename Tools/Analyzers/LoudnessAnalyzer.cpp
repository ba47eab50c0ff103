#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "Analyzers/Detail/AnalyzerParameter.h"
#include "Analyzers/Detail/ExampleAnalyzer.h"
#include "Analyzers/Detail/MediaReader.h"
#include "Analyzers/ExampleAnalyzers.h"
#include "zelcore/ZelException.h"

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

// The largest momentary and short-term loudness from the loudness of consecutive 100 ms blocks.
class BlockWindows {
 public:
  void Add(double blockLufs) {
    // Back to mean square energy: loudness is -0.691 + 10 log10(energy); -inf (silence) gives 0.
    energies_.push_back(std::pow(10.0, (blockLufs + 0.691) / 10.0));
    momentarySum_ += energies_.back();
    shortTermSum_ += energies_.back();
    std::size_t const n = energies_.size();
    if (n > kMomentaryBlocks) momentarySum_ -= energies_[n - 1 - kMomentaryBlocks];
    if (n > kShortTermBlocks) shortTermSum_ -= energies_[n - 1 - kShortTermBlocks];
    if (n >= kMomentaryBlocks) momentaryMax_ = std::fmax(momentaryMax_, momentarySum_ / kMomentaryBlocks);
    if (n >= kShortTermBlocks) shortTermMax_ = std::fmax(shortTermMax_, shortTermSum_ / kShortTermBlocks);
    // Only the last 30 blocks matter; keep the vector short.
    if (n >= 4 * kShortTermBlocks) energies_.erase(energies_.begin(), energies_.end() - kShortTermBlocks);
  }
  double MomentaryMax() const { return Lufs(momentaryMax_); }
  double ShortTermMax() const { return Lufs(shortTermMax_); }

 private:
  static constexpr std::size_t kMomentaryBlocks = 4;
  static constexpr std::size_t kShortTermBlocks = 30;
  static double Lufs(double energy) {
    if (std::isnan(energy)) return kNotMeasured;
    return energy <= 0 ? -std::numeric_limits<double>::infinity() : -0.691 + 10.0 * std::log10(energy);
  }

  std::vector<double> energies_;
  double momentarySum_ = 0;
  double shortTermSum_ = 0;
  double momentaryMax_ = kNotMeasured;  // NaN until a whole window has passed
  double shortTermMax_ = kNotMeasured;
};

double Decibels(double amplitude) { return 20.0 * std::log10(amplitude); }  // -inf for silence

// The true peak of interleaved audio: libebur128's oversampling alone. Not thread-safe.
class TruePeakMeter {
 public:
  TruePeakMeter(unsigned channels, unsigned sampleRate)
      : channels_(channels), state_(ebur128_init(channels, sampleRate, EBUR128_MODE_TRUE_PEAK)) {
    if (!state_)
      throw zelcore::config::zel_exception("Loudness measurement could not start", zelcore::config::kResultUnexpected);
  }

  void Add(std::span<float const> samples) {
    Check(ebur128_add_frames_float(state_.get(), samples.data(), samples.size() / channels_),
          "ebur128_add_frames_float");
  }

  // The largest true peak of the channels (linear).
  double TruePeak() const { return Largest(&ebur128_true_peak, "ebur128_true_peak"); }
  // The largest sample of the channels (linear), which the true peak mode measures on the way.
  double SamplePeak() const { return Largest(&ebur128_sample_peak, "ebur128_sample_peak"); }

 private:
  double Largest(int (*peakOf)(ebur128_state*, unsigned, double*), char const* what) const {
    double peak = 0;
    for (unsigned c = 0; c < channels_; ++c) {
      double channelPeak = 0;
      Check(peakOf(state_.get(), c, &channelPeak), what);
      peak = std::max(peak, channelPeak);
    }
    return peak;
  }

 private:
  unsigned const channels_;
  std::unique_ptr<ebur128_state, StateDeleter> const state_;
};

// Runs a TruePeakMeter on a thread of its own: oversampling costs more than the rest of the measurement together, and
// on a second core both end at about the time of one. Samples are handed over in batches of about a second, so that
// the threads meet rarely. Add and Finish are called from one thread; the destructor stops the worker at once (a
// cancelled or failed read).
class TruePeakWorker {
 public:
  explicit TruePeakWorker(TruePeakMeter& meter) : meter_(meter), thread_([this] { Run(); }) {}
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

constexpr ParameterSetting kSettings[] = {kAudioStreamSetting};
constexpr ParameterTable kTable{kLoudnessAnalyzerName,
                                "EBU R128 loudness of the audio: integrated, range, true and sample peak, largest "
                                "momentary and short-term",
                                kSettings};

// EBU R128 loudness of an audio stream: integrated, range, true and sample peak, and the largest momentary (400 ms)
// and short-term (3 s) loudness, taken every 100 ms as meters show them.
class LoudnessAnalyzer : public ExampleAnalyzer, public zelcore::classref::ClassStatics<LoudnessAnalyzer> {
 public:
  ZEL_INTERFACE_NAME("Quillan::Examples::LoudnessAnalyzer")
  using zelcore::classref::ClassStatics<LoudnessAnalyzer>::CreateClassRef;

  // IAnalyzer:
  zelcore::utility::Guid GetAnalyzerGuid() const override { return kLoudnessAnalyzerId; }
  // Empty unless a stream is chosen, so that results cached without a parameter are still found.

  // AnalyzerBase:
  ImmutableString GetAnalyzerName() const override { return ImmutableString::Create(kLoudnessAnalyzerName); }

 protected:
  ParameterTable const& Parameters() const override { return kTable; }

  // Results cached in the first, three-number layout are measured again.
  zelcore::Blob Compute(std::filesystem::path const& file, Progress const& progress, ReadVersion& read) const override {
    AnalyzerParameter const parameter = Parameter();
    MediaReader media(file, MediaInput::Probe::kAudio);
    MediaReader::AudioFormat const format = media.SelectAudio(parameter.Stream());
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
    std::uint64_t const frames = media.ReadAudio(progress, [&](std::span<float const> samples, std::size_t count) {
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
    worker.Finish();
    result.truePeakDbtp = Decibels(truePeaks.TruePeak());
    result.samplePeakDbfs = Decibels(truePeaks.SamplePeak());
    return EncodeLoudness(result);
  }
};

}  // namespace

zelcore::InterfaceRef<IAnalyzer> CreateLoudnessAnalyzer(zelcore::InterfaceRef<BE::IClip> const& clip,
                                                        std::any const& parameter,
                                                        zelcore::InterfaceWeakRef<IAnalyzerHost> const& host) {
  return ExampleAnalyzer::CreateExample<LoudnessAnalyzer>(clip, parameter, host, "");
}

}  // namespace Quillan::Examples::detail
