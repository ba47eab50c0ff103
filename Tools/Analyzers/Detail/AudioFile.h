#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>

#include "Analyzers/Detail/ExampleAnalyzer.h"

typedef struct sf_private_tag SNDFILE;

namespace Quillan::Examples::detail {

// An audio file opened for reading with libsndfile, read as interleaved float frames. Not thread-safe.
class AudioFile {
 public:
  // Throws zel_exception kResultFileRead with libsndfile's reason when the file cannot be read as audio.
  explicit AudioFile(std::filesystem::path const& file);
  ~AudioFile();
  AudioFile(AudioFile const&) = delete;
  AudioFile& operator=(AudioFile const&) = delete;

  std::uint32_t ChannelCount() const { return channels_; }
  std::uint32_t SampleRate() const { return sampleRate_; }
  std::uint64_t FrameCount() const { return frames_; }

  // Reads the file to its end in blocks of whole frames, calling block(interleaved samples, frame count) for each
  // and progress.Update after each (which throws on cancel).
  void ReadAll(Progress const& progress, std::function<void(std::span<float const>, std::size_t)> const& block);

 private:
  SNDFILE* file_ = nullptr;
  std::uint32_t channels_ = 0;
  std::uint32_t sampleRate_ = 0;
  std::uint64_t frames_ = 0;
};

}  // namespace Quillan::Examples::detail
