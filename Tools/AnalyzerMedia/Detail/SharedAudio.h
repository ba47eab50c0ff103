#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "AnalyzerMedia/Detail/MediaReader.h"
#include "Analyzers/Detail/StampedFile.h"
#include "Analyzers/ExampleAnalyzers.h"

namespace Quillan::Examples::detail {

struct DecodedAudio;

// The sound of one audio stream of a media file for one analysis, decoded once for every analyzer that reads the
// same version of the same file while the decode is kept: a folder run's audio analyzers of a clip decode it once
// instead of each on its own. The blocks are handed out as the decoder made them, so an analysis sees exactly what a
// decode of its own would give it. Only short sound is kept (a few megabytes per file), and only a few files.
//
// Reads like MediaReader: SelectAudio's and ReadAudio's failures are MediaReader's. Not thread-safe; the kept decodes
// are shared between threads.
class SharedAudio {
 public:
  // Opens `file` and chooses its audio stream `stream` (an index in the file or MediaReader::kBestStream).
  SharedAudio(std::filesystem::path const& file, int stream);
  ~SharedAudio();
  SharedAudio(SharedAudio const&) = delete;
  SharedAudio& operator=(SharedAudio const&) = delete;

  MediaReader::AudioFormat const& Format() const { return format_; }
  // As MediaReader::ReadAudio: every block of the stream in order, progress as it goes; returns the frame count.
  std::uint64_t Read(Progress const& progress, std::function<void(std::span<float const>, std::size_t)> const& block);
  // The file as this analysis opened it: the version its sound is of.
  StampedFile const& File() const;

  // How many decodes this process made, and how many times one was handed to a second analysis.
  static AudioDecodeCounts Counts();

 private:
  std::optional<StampedFile> opened_;    // when a kept decode answers
  std::unique_ptr<MediaReader> reader_;  // else
  std::shared_ptr<DecodedAudio const> kept_;
  int stream_;
  MediaReader::AudioFormat format_;
};

}  // namespace Quillan::Examples::detail
