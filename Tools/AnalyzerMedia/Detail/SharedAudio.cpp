#include "AnalyzerMedia/Detail/SharedAudio.h"

#include <algorithm>
#include <atomic>
#include <list>
#include <mutex>
#include <utility>
#include <vector>

#include "Analyzers/Detail/Progress.h"

namespace Quillan::Examples::detail {

// One version of a file's audio stream as it was decoded: the format and the blocks in the decoder's order.
struct DecodedAudio {
  struct stat version {};
  int stream = 0;  // as asked for: an index or kBestStream
  MediaReader::AudioFormat format;
  std::vector<float> samples;       // every block's interleaved samples, one after another
  std::vector<std::size_t> blocks;  // frames per block
  std::uint64_t frames = 0;
};

namespace {

// A decode is kept when its samples take at most this much; all kept decodes together at most kKeptTotalBytes.
// About 20 s of 48 kHz stereo (a clip's sound, a few minutes of mono speech), and little beside what decoding itself
// allocates.
constexpr std::size_t kKeptFileBytes = std::size_t{8} << 20;
constexpr std::size_t kKeptTotalBytes = std::size_t{32} << 20;
// The analyzers of one file run side by side: the most recent few decodes are all that is asked for again.
constexpr std::size_t kKeptFiles = 16;

std::size_t BytesOf(DecodedAudio const& audio) {
  return audio.samples.size() * sizeof(float) + audio.blocks.size() * sizeof(std::size_t);
}

class KeptDecodes {
 public:
  static KeptDecodes& Get() {
    static auto* kept = new KeptDecodes;  // lives for the process: an analysis may end while statics go
    return *kept;
  }

  std::shared_ptr<DecodedAudio const> Find(struct stat const& version, int stream) {
    std::lock_guard lock(mutex_);
    for (auto at = kept_.begin(); at != kept_.end(); ++at) {
      if ((*at)->stream == stream && SameFileVersion((*at)->version, version)) {
        kept_.splice(kept_.begin(), kept_, at);
        shared_.fetch_add(1, std::memory_order_relaxed);
        return kept_.front();
      }
    }
    return nullptr;
  }

  void Keep(std::shared_ptr<DecodedAudio const> audio) {
    std::size_t const bytes = BytesOf(*audio);
    if (bytes > kKeptFileBytes) return;
    std::lock_guard lock(mutex_);
    // Two analyses of one file may both have decoded it: the later one replaces the earlier.
    std::erase_if(kept_, [&](auto const& other) {
      bool const same = other->stream == audio->stream && SameFileVersion(other->version, audio->version);
      if (same) bytes_ -= BytesOf(*other);
      return same;
    });
    kept_.push_front(std::move(audio));
    bytes_ += bytes;
    while (kept_.size() > kKeptFiles || bytes_ > kKeptTotalBytes) {
      bytes_ -= BytesOf(*kept_.back());
      kept_.pop_back();
    }
  }

  void CountDecode() { decodes_.fetch_add(1, std::memory_order_relaxed); }
  AudioDecodeCounts Counts() const {
    return {decodes_.load(std::memory_order_relaxed), shared_.load(std::memory_order_relaxed)};
  }

 private:
  std::mutex mutex_;
  std::list<std::shared_ptr<DecodedAudio const>> kept_;  // most recently used first; guarded by mutex_
  std::size_t bytes_ = 0;                                // guarded by mutex_
  std::atomic<std::uint64_t> decodes_{0};
  std::atomic<std::uint64_t> shared_{0};
};

}  // namespace

SharedAudio::SharedAudio(std::filesystem::path const& file, int stream) : stream_(stream) {
  opened_.emplace(file);
  kept_ = KeptDecodes::Get().Find(opened_->OpenedStatus(), stream);
  if (kept_) {
    format_ = kept_->format;
    return;
  }
  opened_.reset();
  reader_ = std::make_unique<MediaReader>(file, MediaInput::Probe::kAudio);
  format_ = reader_->SelectAudio(stream);
}

SharedAudio::~SharedAudio() = default;

std::uint64_t SharedAudio::Read(Progress const& progress,
                                std::function<void(std::span<float const>, std::size_t)> const& block) {
  if (kept_) {
    std::size_t const channels = format_.channelCount;
    std::size_t offset = 0;
    std::uint64_t done = 0;
    double reported = 0;
    for (std::size_t const frames : kept_->blocks) {
      block(std::span<float const>(kept_->samples).subspan(offset, frames * channels), frames);
      offset += frames * channels;
      done += frames;
      // A hundred steps at most, as a decode reports them: each one may end the read on a cancel.
      if (double const fraction = static_cast<double>(done) / static_cast<double>(kept_->frames);
          fraction - reported >= 0.01 || done == kept_->frames) {
        progress.Update(fraction);
        reported = fraction;
      }
    }
    return kept_->frames;
  }
  KeptDecodes::Get().CountDecode();
  auto decoded = std::make_shared<DecodedAudio>();
  bool keeping = true;
  std::uint64_t const frames = reader_->ReadAudio(progress, [&](std::span<float const> samples, std::size_t count) {
    if (keeping) {
      keeping = (decoded->samples.size() + samples.size()) * sizeof(float) <= kKeptFileBytes;
      if (keeping) {
        decoded->samples.insert(decoded->samples.end(), samples.begin(), samples.end());
        decoded->blocks.push_back(count);
      }
    }
    block(samples, count);
  });
  if (keeping) {
    decoded->version = reader_->File().OpenedStatus();
    decoded->stream = stream_;
    decoded->format = format_;
    decoded->frames = frames;
    decoded->samples.shrink_to_fit();
    KeptDecodes::Get().Keep(std::move(decoded));
  }
  return frames;
}

StampedFile const& SharedAudio::File() const { return kept_ ? *opened_ : reader_->File(); }

AudioDecodeCounts SharedAudio::Counts() { return KeptDecodes::Get().Counts(); }

}  // namespace Quillan::Examples::detail
