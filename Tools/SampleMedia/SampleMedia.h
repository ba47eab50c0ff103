#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

// Sample audio files made from simple signals, for the demo and for tests: pure tones, white noise and silence,
// written with libsndfile as 16-bit PCM in the container that the file's extension names. Same input, same bytes.
namespace Quillan::Samples {

enum class Signal {
  kTone,     // a sine; channel c plays (c + 1) times the frequency
  kNoise,    // uniform white noise, the same for the same seed
  kSilence,  // every sample zero
};

struct Waveform {
  Signal signal = Signal::kTone;
  int channels = 1;
  int sampleRate = 48000;
  double seconds = 1.0;
  double frequency = 440.0;  // Hz; tones only
  double amplitude = 0.5;    // the largest sample, from 0 to 1; not for silence
  std::uint32_t seed = 1;    // noise only
};

// A file of the demo set: its name and what it holds.
struct NamedSample {
  std::string name;
  Waveform waveform;
};

// The demo's files: mono and stereo tones, stereo noise, mono silence, and a stereo tone of `longSeconds` whose
// analysis lasts long enough to watch its progress. No two names share a stem, since a media file's sidecar is named
// after its stem.
std::vector<NamedSample> DemoSamples(double longSeconds);

// Writes `waveform` to `path` (.wav, .flac or .aiff), replacing any file there. Throws std::invalid_argument for a
// waveform out of range or another extension, and std::runtime_error when libsndfile cannot write the file; a file that
// failed half-way is removed.
void WriteSample(std::filesystem::path const& path, Waveform const& waveform);

// What the command line asks for: one file (`file` with `waveform`) or the demo set in `demoFolder`.
struct SampleRequest {
  std::filesystem::path file;
  Waveform waveform;
  int width = 320;  // clips only
  int height = 180;
  std::filesystem::path demoFolder;
  double longSeconds = 240;
};

// The demo's video clips (a name and a StandardClip): MPEG-4 Part 2 with AAC in MP4, FFV1 with PCM in Matroska.
std::vector<std::pair<std::string, double>> DemoClipNames();

// Parses the program's arguments (without the program name):
//   [--signal tone|noise|silence] [--channels N] [--rate HZ] [--seconds S] [--frequency HZ] [--amplitude A]
//   [--seed N] [--size WxH] FILE
//   --demo FOLDER [--long-seconds S]
// Throws std::invalid_argument with a message naming the bad argument. Values are range-checked by WriteSample.
SampleRequest ParseSampleArguments(std::vector<std::string> const& arguments);

}  // namespace Quillan::Samples
