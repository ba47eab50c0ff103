#include "Analyzers/Detail/AudioFile.h"

#include <sndfile.h>

#include <string>
#include <vector>

#include "zelcore/ZelException.h"

namespace Quillan::Examples::detail {

AudioFile::AudioFile(std::filesystem::path const& file) {
  SF_INFO info{};
  file_ = sf_open(file.c_str(), SFM_READ, &info);
  if (file_ == nullptr) {
    throw zelcore::config::zel_exception("Cannot read audio file " + file.string() + ": " + sf_strerror(nullptr),
                                         zelcore::config::kResultFileRead);
  }
  channels_ = static_cast<std::uint32_t>(info.channels);
  sampleRate_ = static_cast<std::uint32_t>(info.samplerate);
  frames_ = info.frames > 0 ? static_cast<std::uint64_t>(info.frames) : 0;
}

AudioFile::~AudioFile() { sf_close(file_); }

void AudioFile::ReadAll(Progress const& progress,
                        std::function<void(std::span<float const>, std::size_t)> const& block) {
  constexpr sf_count_t kBlockFrames = 16384;
  std::vector<float> samples(static_cast<std::size_t>(kBlockFrames) * channels_);
  std::uint64_t done = 0;
  progress.Update(0.0);
  for (;;) {
    sf_count_t const read = sf_readf_float(file_, samples.data(), kBlockFrames);
    if (read <= 0) break;
    auto const frames = static_cast<std::size_t>(read);
    block(std::span<float const>(samples.data(), frames * channels_), frames);
    done += frames;
    progress.Update(frames_ == 0 ? 0.0 : static_cast<double>(done) / static_cast<double>(frames_));
  }
  if (sf_error(file_) != SF_ERR_NO_ERROR) {
    throw zelcore::config::zel_exception(std::string("Audio file could not be read to its end: ") + sf_strerror(file_),
                                         zelcore::config::kResultFileRead);
  }
}

}  // namespace Quillan::Examples::detail
