#include "SampleMedia/SampleMedia.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <numbers>
#include <random>
#include <stdexcept>
#include <system_error>

namespace Quillan::Samples {
namespace {

constexpr int kMaxChannels = 8;
constexpr double kMaxSeconds = 3600;

int FormatFor(std::filesystem::path const& path) {
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension == ".wav") return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  if (extension == ".flac") return SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
  if (extension == ".aiff" || extension == ".aif") return SF_FORMAT_AIFF | SF_FORMAT_PCM_16;
  throw std::invalid_argument("Cannot tell the audio format of " + path.string() + ": use .wav, .flac or .aiff");
}

void CheckWaveform(Waveform const& waveform) {
  if (waveform.channels < 1 || waveform.channels > kMaxChannels)
    throw std::invalid_argument("Channels must be from 1 to " + std::to_string(kMaxChannels));
  if (waveform.sampleRate < 8000 || waveform.sampleRate > 192000)
    throw std::invalid_argument("The sample rate must be from 8000 to 192000 Hz");
  if (!(waveform.seconds >= 0 && waveform.seconds <= kMaxSeconds))
    throw std::invalid_argument("The duration must be from 0 to 3600 seconds");
  if (!(waveform.amplitude >= 0 && waveform.amplitude <= 1))
    throw std::invalid_argument("The amplitude must be from 0 to 1");
  // The highest channel's tone must stay below half the sample rate, or it folds back as another tone.
  if (waveform.signal == Signal::kTone &&
      !(waveform.frequency > 0 && waveform.frequency * waveform.channels < waveform.sampleRate / 2.0))
    throw std::invalid_argument("Tone frequencies (channel count times the frequency) must stay below half the rate");
}

// Fills `block` with `frames` interleaved frames starting at frame `first`.
class SignalSource {
 public:
  explicit SignalSource(Waveform const& waveform) : waveform_(waveform), noise_(waveform.seed) {}

  void Fill(std::vector<float>& block, std::int64_t first, std::int64_t frames) {
    auto const channels = static_cast<std::size_t>(waveform_.channels);
    for (std::int64_t i = 0; i < frames; ++i) {
      for (std::size_t c = 0; c < channels; ++c) block[static_cast<std::size_t>(i) * channels + c] = Next(first + i, c);
    }
  }

 private:
  float Next(std::int64_t frame, std::size_t channel) {
    switch (waveform_.signal) {
      case Signal::kTone: {
        // From the frame number, not an accumulated phase, so that long files do not drift.
        double const cycles = waveform_.frequency * static_cast<double>(channel + 1) * static_cast<double>(frame) /
                              static_cast<double>(waveform_.sampleRate);
        return static_cast<float>(waveform_.amplitude * std::sin(2 * std::numbers::pi * (cycles - std::floor(cycles))));
      }
      case Signal::kNoise:
        // mt19937's output is fixed by the standard; distributions are not, so the mapping is ours.
        return static_cast<float>(waveform_.amplitude * (static_cast<double>(noise_()) / 2147483648.0 - 1.0));
      case Signal::kSilence:
        return 0.0f;
    }
    return 0.0f;
  }

  Waveform const waveform_;
  std::mt19937 noise_;
};

template <class T>
T ParseNumber(std::string const& option, std::string const& text) {
  T value{};
  auto const [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty())
    throw std::invalid_argument(option + " takes a number, not \"" + text + "\"");
  return value;
}

Signal ParseSignal(std::string const& text) {
  if (text == "tone") return Signal::kTone;
  if (text == "noise") return Signal::kNoise;
  if (text == "silence") return Signal::kSilence;
  throw std::invalid_argument("--signal takes tone, noise or silence, not \"" + text + "\"");
}

}  // namespace

std::vector<NamedSample> DemoSamples(double longSeconds) {
  return {
      {"tone-440-mono.wav", {Signal::kTone, 1, 48000, 10, 440, 0.5, 1}},
      {"tones-stereo.wav", {Signal::kTone, 2, 44100, 20, 330, 0.25, 1}},
      {"noise-stereo.flac", {Signal::kNoise, 2, 48000, 15, 440, 0.3, 7}},
      {"silence-mono.wav", {Signal::kSilence, 1, 48000, 5, 440, 0, 1}},
      {"long-tone-stereo.flac", {Signal::kTone, 2, 48000, longSeconds, 220, 0.4, 1}},
  };
}

std::vector<std::pair<std::string, double>> DemoClipNames() {
  return {{"cuts-mpeg4-aac.mp4", 12}, {"cuts-ffv1-pcm.mkv", 8}};
}

void WriteSample(std::filesystem::path const& path, Waveform const& waveform) {
  CheckWaveform(waveform);
  SF_INFO info{};
  info.samplerate = waveform.sampleRate;
  info.channels = waveform.channels;
  info.format = FormatFor(path);
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) throw std::runtime_error("Cannot write " + path.string() + ": " + sf_strerror(nullptr));
  sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);

  constexpr std::int64_t kBlockFrames = 65536;
  auto const total = static_cast<std::int64_t>(std::llround(waveform.seconds * waveform.sampleRate));
  std::vector<float> block(static_cast<std::size_t>(kBlockFrames * waveform.channels));
  SignalSource source(waveform);
  std::string failure;
  for (std::int64_t first = 0; first < total && failure.empty(); first += kBlockFrames) {
    std::int64_t const frames = std::min(kBlockFrames, total - first);
    source.Fill(block, first, frames);
    if (sf_writef_float(file, block.data(), frames) != frames) failure = sf_strerror(file);
  }
  if (sf_close(file) != 0 && failure.empty()) failure = "closing failed";
  if (!failure.empty()) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    throw std::runtime_error("Cannot write " + path.string() + ": " + failure);
  }
}

SampleRequest ParseSampleArguments(std::vector<std::string> const& arguments) {
  SampleRequest request;
  bool longSecondsGiven = false;
  bool waveformGiven = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string const& argument = arguments[i];
    if (argument.empty() || argument[0] != '-') {
      if (!request.file.empty()) throw std::invalid_argument("Only one file at a time, not also \"" + argument + "\"");
      request.file = argument;
      continue;
    }
    if (i + 1 == arguments.size()) throw std::invalid_argument(argument + " needs a value");
    std::string const& value = arguments[++i];
    if (argument == "--demo") {
      request.demoFolder = value;
      continue;
    }
    if (argument == "--long-seconds") {
      request.longSeconds = ParseNumber<double>(argument, value);
      longSecondsGiven = true;
      continue;
    }
    waveformGiven = true;
    if (argument == "--signal") {
      request.waveform.signal = ParseSignal(value);
    } else if (argument == "--channels") {
      request.waveform.channels = ParseNumber<int>(argument, value);
    } else if (argument == "--rate") {
      request.waveform.sampleRate = ParseNumber<int>(argument, value);
    } else if (argument == "--seconds") {
      request.waveform.seconds = ParseNumber<double>(argument, value);
    } else if (argument == "--frequency") {
      request.waveform.frequency = ParseNumber<double>(argument, value);
    } else if (argument == "--amplitude") {
      request.waveform.amplitude = ParseNumber<double>(argument, value);
    } else if (argument == "--seed") {
      request.waveform.seed = ParseNumber<std::uint32_t>(argument, value);
    } else if (argument == "--size") {
      std::size_t const x = value.find('x');
      if (x == std::string::npos) throw std::invalid_argument("--size takes WIDTHxHEIGHT, not \"" + value + "\"");
      request.width = ParseNumber<int>(argument, value.substr(0, x));
      request.height = ParseNumber<int>(argument, value.substr(x + 1));
    } else {
      throw std::invalid_argument("Unknown option " + argument);
    }
  }
  if (request.demoFolder.empty()) {
    if (request.file.empty()) throw std::invalid_argument("Name the file to write, or --demo FOLDER");
    if (longSecondsGiven) throw std::invalid_argument("--long-seconds goes with --demo");
  } else if (!request.file.empty() || waveformGiven) {
    throw std::invalid_argument("--demo takes no file and no signal options");
  }
  return request;
}

}  // namespace Quillan::Samples
