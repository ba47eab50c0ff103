#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

// Short video clips with known shot boundaries and known silences, for the demo, tests and benchmarks, encoded
// with libavcodec: FFV1 video with 16-bit PCM audio in Matroska (.mkv), MPEG-4 Part 2 video with AAC audio in MP4
// (.mp4), or MPEG-4 Part 2 with 16-bit PCM in QuickTime (.mov).
namespace Quillan::Samples {

enum class Motion {
  kStill,    // the same picture throughout
  kPan,      // the picture slides one pixel to the left every frame
  kFadeIn,   // from black to the full picture over the shot
  kFadeOut,  // from the full picture to black over the shot
};

// One shot: a textured picture made from `seed`, moving as `motion` says.
struct Shot {
  double seconds = 2;
  std::uint32_t seed = 1;
  Motion motion = Motion::kStill;
};

struct SilentSpan {
  double start = 0;  // seconds
  double end = 0;
};

struct ClipPlan {
  int width = 320;  // even
  int height = 180;
  int framesPerSecond = 25;
  std::vector<Shot> shots;
  // The audio track: a stereo 440 Hz tone at -10 dBFS, digitally silent within `silences`. None when the rate is 0.
  int sampleRate = 48000;
  std::vector<SilentSpan> silences;
};

// About `seconds` of 2-second shots that cycle still, pan, fade in and fade out (each a new picture), with one second
// of silence in the middle of every third shot.
ClipPlan StandardClip(double seconds, int width, int height);

// The frames that start a shot, the first one excepted: where a scene detector must find cuts.
std::vector<std::uint64_t> KnownCuts(ClipPlan const& plan);
// How many frames the clip has.
std::uint64_t FrameCount(ClipPlan const& plan);

// The mean colour of the first picture of shot `shot` of `plan`, as 8-bit RGB (BT.601, studio range, as
// players show it): what a picture of the shot taken from the written clip averages to, up to coding loss.
struct Rgb {
  double red = 0;
  double green = 0;
  double blue = 0;
};
Rgb FirstPictureColour(ClipPlan const& plan, std::size_t shot);

// Writes `plan` to `path` in the format its extension names (.mkv, .mp4 or .mov), replacing any file there. Same plan,
// same bytes. Throws std::invalid_argument for a plan out of range or another extension, std::runtime_error with
// FFmpeg's message when it cannot be written; a file that failed half-way is removed.
void WriteClip(std::filesystem::path const& path, ClipPlan const& plan);

// Whether `path` names a video clip (.mkv, .mp4 or .mov) rather than an audio file.
bool IsClipPath(std::filesystem::path const& path);

}  // namespace Quillan::Samples
