#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "Analyzers/ExampleAnalyzers.h"
#include "zelcore/Guid.h"
#include "zelcore/RecycledMemory.h"

namespace Quillan::Examples::detail {

class AnalyzerParameter;
class Progress;
class ReadVersion;

// Single pictures of a video file at chosen times, scaled in Cairo's pixel layout (32-bit native-endian xRGB). Not
// thread-safe.
class VideoFrames {
 public:
  struct Image {
    int width = 0;
    int height = 0;
    int stride = 0;  // bytes per row
    std::vector<std::uint8_t> pixels;
    double seconds = 0;  // presentation time of the picture decoded
  };

  virtual ~VideoFrames() = default;
  // The width that pictures scaled to `height` rows have, with the stream's pixel aspect applied; at most maxWidth.
  virtual int ScaledWidth(int height, int maxWidth) const = 0;
  // The first picture shown at or after `seconds` on the presentation clock, within half a frame; the last picture
  // when the stream ends first.
  virtual Image Grab(double seconds, int width, int height) = 0;
};

// What reads media: the decoders (FFmpeg's libraries, libebur128, aubio, OpenSSL) and each analyzer's measurement,
// in a library of its own (libquillan_example_media) beside this one. Loading the decoders takes a program some 60 ms,
// more than answering a folder of cached results, so the module is opened when media is first read, not when the
// analyzers are registered. Thread-safe.
class MediaModule {
 public:
  // The result blob of the analyzer registered as `analyzer` for `file`, as ExampleAnalyzer::Compute gives it.
  virtual zelcore::Blob Measure(zelcore::utility::Guid const& analyzer, AnalyzerParameter const& parameter,
                                std::filesystem::path const& file, Progress const& progress,
                                ReadVersion& read) const = 0;
  // The playing time the container states, in seconds; empty when the file is no media that opens, or states none.
  virtual std::optional<double> Duration(std::filesystem::path const& file) const = 0;
  // The pictures of video stream `stream` (an index in the file, or -1 for the best). Throws zel_exception as the
  // analyzers' media reader does: for a file that cannot be read, has no such stream, or whose pictures are too large.
  virtual std::unique_ptr<VideoFrames> OpenVideoFrames(std::filesystem::path const& file, int stream) const = 0;
  // The program's FFmpeg policies (ExampleAnalyzers.h) and test settings, carried out in the module.
  virtual void UseFfmpegLogForErrors() const = 0;
  virtual void BoundFfmpegAllocations() const = 0;
  virtual void SetVideoDecoderThreads(int threads) const = 0;
  virtual AudioDecodeCounts DecodeCounts() const = 0;

 protected:
  ~MediaModule() = default;
};

// The module, opened on first use from the folder that holds this library. Throws zel_exception kResultUnavailable,
// with the loader's reason, when it cannot be opened; a later call tries again. The FFmpeg policies the program asked
// for before are applied as it opens.
QUILLAN_EXAMPLES_EXPORT MediaModule const& LoadMediaModule();

// The name of the function that the module exports, returning its MediaModule const*.
inline constexpr char kMediaModuleEntry[] = "quillan_example_media_module";

}  // namespace Quillan::Examples::detail
