#include "BE/Detail/ContentIdentity.h"

#include <fcntl.h>
#include <unistd.h>
#include <xxh_x86dispatch.h>
#include <xxhash.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "BE/Backend.h"
#include "BE/Detail/ContentHashStore.h"
#include "BE/Media.h"
#include "zelcore/TextConversions.h"

namespace BE::detail {
namespace {

using zelcore::utility::Guid;

// Namespace of the name-based GUIDs of media content states.
constexpr Guid kMediaContentNamespace{
    Guid::Bytes{0x5e, 0x0f, 0x8a, 0x33, 0xc4, 0x19, 0x4b, 0x7d, 0x86, 0x52, 0x2f, 0xe1, 0x90, 0x3a, 0xb6, 0x07}};

// Tells the two kinds of digest apart, so that a whole-file digest can never equal a sampled one.
constexpr std::uint8_t kWholeFileDigest = 2;
constexpr std::uint8_t kSampledDigest = 3;

// Large enough that the system call costs nothing beside the copy, small enough to stay in the CPU's cache for
// the hash that follows.
constexpr std::size_t kReadBufferSize = 256 << 10;
// From this size on, a second thread reads while the caller hashes; below it, starting the thread costs more than
// it saves.
constexpr std::uint64_t kPipelinedFileSize = 32 << 20;
constexpr int kAttempts = 3;

// How long a stamp must have stood still before it is trusted: the coarsest timestamps (whole seconds, or two on
// some file systems) need two seconds; nanosecond timestamps come from a clock that ticks every few milliseconds.
constexpr std::int64_t kCoarseSettleNs = 2'000'000'000;
constexpr std::int64_t kFineSettleNs = 100'000'000;

std::int64_t Nanoseconds(struct timespec const& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

std::int64_t WallClockNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool Settled(FileStamp const& stamp, std::int64_t readStartNs) {
  bool const coarse = stamp.modifiedNs % 1'000'000'000 == 0 && stamp.changedNs % 1'000'000'000 == 0;
  std::int64_t const lastChange = std::max(stamp.modifiedNs, stamp.changedNs);
  return lastChange + (coarse ? kCoarseSettleNs : kFineSettleNs) < readStartNs;
}

// Reads exactly `size` bytes at `offset` into `buffer`; false at a short read or an error.
bool ReadFully(int fd, std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
  while (size > 0) {
    ssize_t const got = ::pread(fd, buffer, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    buffer += got;
    offset += static_cast<std::uint64_t>(got);
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

ContentDigest DigestOf(XXH3_state_t* state) {
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(state));
  ContentDigest digest;
  std::memcpy(digest.data(), canonical.digest, digest.size());
  return digest;
}

void HashInteger(XXH3_state_t* state, std::uint64_t value) {
  std::uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
  XXH3_128bits_update_dispatch(state, bytes, sizeof bytes);
}

// Opens `path` for reading without blocking on a FIFO or a device, and stamps it; -1 unless it is a regular file.
int OpenRegularFile(std::filesystem::path const& path, FileStamp& stamp) {
  int const fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    return -1;
  }
  stamp = FileStamp::Of(status);
  return fd;
}

// The file behind `path` is still the one read through `fd`, unchanged since `stamp`.
bool StillThere(std::filesystem::path const& path, int fd, FileStamp const& stamp) {
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !(FileStamp::Of(status) == stamp)) return false;
  return ::stat(path.c_str(), &status) == 0 && FileStamp::Of(status) == stamp;
}

Guid StateGuidOf(ContentDigest const& digest) { return Guid::CreateFromName(kMediaContentNamespace, digest); }

// Reads a file front to back on a thread of its own into a ring of buffers, so that the caller hashes one chunk
// while the next one is read: the hash then costs little beyond the read.
class ChunkPipeline {
 public:
  ChunkPipeline(int fd, std::uint64_t size) : fd_(fd), size_(size), reader_([this] { Read(); }) {}
  ~ChunkPipeline() {
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    changed_.notify_all();
    reader_.join();
  }
  ChunkPipeline(ChunkPipeline const&) = delete;
  ChunkPipeline& operator=(ChunkPipeline const&) = delete;

  // Calls consume(bytes, count) for each chunk in file order; false when the file could not be read whole.
  template <class Consume>
  bool ForEachChunk(Consume&& consume) {
    for (std::uint64_t done = 0; done < size_;) {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return filled_ > consumed_ || failed_; });
      if (filled_ == consumed_) return false;
      Slot const& slot = slots_[consumed_ % kSlots];
      lock.unlock();
      consume(slot.bytes.data(), slot.count);
      done += slot.count;
      lock.lock();
      ++consumed_;
      lock.unlock();
      changed_.notify_all();
    }
    return true;
  }

 private:
  static constexpr std::size_t kSlots = 4;
  struct Slot {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kReadBufferSize);
    std::size_t count = 0;
  };

  void Read() {
    for (std::uint64_t offset = 0; offset < size_;) {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return filled_ - consumed_ < kSlots || stopped_; });
      if (stopped_) return;
      Slot& slot = slots_[filled_ % kSlots];
      lock.unlock();
      auto const count = static_cast<std::size_t>(std::min<std::uint64_t>(size_ - offset, kReadBufferSize));
      bool const read = ReadFully(fd_, offset, slot.bytes.data(), count);
      lock.lock();
      if (read) {
        slot.count = count;
        ++filled_;
      } else {
        failed_ = true;
      }
      lock.unlock();
      changed_.notify_all();
      if (!read) return;
      offset += count;
    }
  }

  int const fd_;
  std::uint64_t const size_;
  std::array<Slot, kSlots> slots_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t filled_ = 0;    // guarded by mutex_
  std::uint64_t consumed_ = 0;  // guarded by mutex_
  bool failed_ = false;         // guarded by mutex_
  bool stopped_ = false;        // guarded by mutex_
  std::thread reader_;          // last: it starts reading at once
};

}  // namespace

FileStamp FileStamp::Of(struct stat const& status) {
  return FileStamp{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
                   static_cast<std::uint64_t>(status.st_size), Nanoseconds(status.st_mtim),
                   Nanoseconds(status.st_ctim)};
}

ContentIdentity& ContentIdentity::Get() {
  // Never destroyed: media may ask for their state from any thread until the process ends.
  static ContentIdentity* const instance = new ContentIdentity();
  return *instance;
}

ContentIdentity::ContentIdentity() = default;
ContentIdentity::~ContentIdentity() = default;

std::optional<ContentDigest> ContentIdentity::HashFile(int fd, FileStamp const& stamp) {
  struct StateDeleter {
    void operator()(XXH3_state_t* state) const { XXH3_freeState(state); }
  };
  std::unique_ptr<XXH3_state_t, StateDeleter> const state(XXH3_createState());
  if (!state || XXH3_128bits_reset(state.get()) != XXH_OK) return std::nullopt;
  std::vector<std::uint8_t> buffer;

  if (stamp.size <= kWholeFileLimit) {
    HashInteger(state.get(), kWholeFileDigest);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    auto const hash = [&](std::uint8_t const* bytes, std::size_t count) {
      XXH3_128bits_update_dispatch(state.get(), bytes, count);
    };
    if (stamp.size >= kPipelinedFileSize) {
      if (!ChunkPipeline(fd, stamp.size).ForEachChunk(hash)) return std::nullopt;
    } else {
      buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(stamp.size, kReadBufferSize)));
      for (std::uint64_t offset = 0; offset < stamp.size;) {
        auto const chunk = static_cast<std::size_t>(std::min<std::uint64_t>(stamp.size - offset, buffer.size()));
        if (!ReadFully(fd, offset, buffer.data(), chunk)) return std::nullopt;
        hash(buffer.data(), chunk);
        offset += chunk;
      }
    }
    // The file must end where its stamp says: a file that grew meanwhile has other content.
    std::uint8_t probe;
    if (::pread(fd, &probe, 1, static_cast<off_t>(stamp.size)) != 0) return std::nullopt;
  } else {
    HashInteger(state.get(), kSampledDigest);
    HashInteger(state.get(), stamp.size);
    HashInteger(state.get(), static_cast<std::uint64_t>(stamp.modifiedNs));
    buffer.resize(kWindowSize);
    std::uint64_t const lastOffset = stamp.size - kWindowSize;
    for (int window = 0; window < kWindowCount; ++window) {
      // lastOffset * window / (kWindowCount - 1), without overflow.
      std::uint64_t const offset =
          lastOffset / (kWindowCount - 1) * window + lastOffset % (kWindowCount - 1) * window / (kWindowCount - 1);
      if (!ReadFully(fd, offset, buffer.data(), buffer.size())) return std::nullopt;
      XXH3_128bits_update_dispatch(state.get(), buffer.data(), buffer.size());
    }
  }
  return DigestOf(state.get());
}

std::size_t ContentIdentity::StampHash::operator()(FileStamp const& stamp) const {
  std::size_t hash = FileKeyHash()(FileKey{stamp.device, stamp.inode});
  for (std::uint64_t const part :
       {stamp.size, static_cast<std::uint64_t>(stamp.modifiedNs), static_cast<std::uint64_t>(stamp.changedNs)}) {
    hash ^= std::hash<std::uint64_t>()(part) + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2);
  }
  return hash;
}

int ContentIdentity::StateOf(std::filesystem::path const& path, Guid& state) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::int64_t const readStart = WallClockNs();
    // A version seen before costs one stat(): every cache load and save asks for the state.
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return kMetadataStatusMediaUnavailable;
    FileStamp const stamp = FileStamp::Of(status);
    bool unavailable = false;
    std::optional<ContentDigest> const digest =
        DigestOfVersion(stamp, readStart, [&]() -> std::optional<ContentDigest> {
          FileStamp opened;
          int const fd = OpenRegularFile(path, opened);
          if (fd < 0) {
            unavailable = true;
            return std::nullopt;
          }
          std::optional<ContentDigest> const hashed = opened == stamp ? HashFile(fd, stamp) : std::nullopt;
          bool const unchanged = hashed && StillThere(path, fd, stamp);
          ::close(fd);
          CountHash();
          return unchanged ? hashed : std::nullopt;
        });
    if (unavailable) return kMetadataStatusMediaUnavailable;
    if (!digest) continue;
    state = StateGuidOf(*digest);
    return kMetadataStatusOk;
  }
  return kMetadataStatusMediaUnavailable;
}

int ContentIdentity::StateOfOpenFile(int fd, Guid& state) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::int64_t const readStart = WallClockNs();
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return kMetadataStatusMediaUnavailable;
    FileStamp const stamp = FileStamp::Of(status);
    std::optional<ContentDigest> const digest =
        DigestOfVersion(stamp, readStart, [&]() -> std::optional<ContentDigest> {
          std::optional<ContentDigest> const hashed = HashFile(fd, stamp);
          CountHash();
          // Written in place while it was hashed: the digest may mix two versions.
          struct stat after {};
          if (!hashed || ::fstat(fd, &after) != 0 || !(FileStamp::Of(after) == stamp)) return std::nullopt;
          return hashed;
        });
    if (!digest) continue;
    state = StateGuidOf(*digest);
    return kMetadataStatusOk;
  }
  return kMetadataStatusMediaUnavailable;
}

template <class Compute>
std::optional<ContentDigest> ContentIdentity::DigestOfVersion(FileStamp const& stamp, std::int64_t readStartNs,
                                                              Compute&& compute) {
  std::shared_ptr<Flight> flight;
  {
    std::unique_lock lock(mutex_);
    auto const found = remembered_.find(FileKey{stamp.device, stamp.inode});
    if (found != remembered_.end() && found->second.stamp == stamp) return found->second.digest;
    // Another thread is at this very version: its answer is ours, and hashing it twice could give two answers if the
    // file changed in place meanwhile.
    if (auto const other = inFlight_.find(stamp); other != inFlight_.end()) {
      std::shared_ptr<Flight> const theirs = other->second;
      landed_.wait(lock, [&] { return theirs->done; });
      return theirs->digest;
    }
    flight = std::make_shared<Flight>();
    inFlight_.emplace(stamp, flight);
  }
  std::optional<ContentDigest> digest;
  try {
    digest = FindStored(stamp);
    if (digest) {
      Remember(stamp, *digest, false);
    } else {
      digest = compute();
      if (digest && Settled(stamp, readStartNs)) Remember(stamp, *digest, true);
    }
  } catch (...) {
    Land(stamp, flight, std::nullopt);
    throw;
  }
  Land(stamp, flight, digest);
  return digest;
}

void ContentIdentity::Land(FileStamp const& stamp, std::shared_ptr<Flight> const& flight,
                           std::optional<ContentDigest> digest) {
  {
    std::lock_guard lock(mutex_);
    flight->done = true;
    flight->digest = digest;
    inFlight_.erase(stamp);
  }
  landed_.notify_all();
}

std::optional<ContentDigest> ContentIdentity::FindStored(FileStamp const& stamp) {
  std::lock_guard lock(storeMutex_);
  ContentHashStore* const store = Store();
  return store ? store->Find(stamp) : std::nullopt;
}

void ContentIdentity::Remember(FileStamp const& stamp, ContentDigest const& digest, bool store) {
  {
    std::lock_guard lock(mutex_);
    remembered_[FileKey{stamp.device, stamp.inode}] = Remembered{stamp, digest};
  }
  if (!store) return;
  std::lock_guard lock(storeMutex_);
  if (ContentHashStore* const opened = Store()) opened->Put(stamp, digest);
}

void ContentIdentity::CountHash() {
  std::lock_guard lock(mutex_);
  ++hashCount_;
}

ContentHashStore* ContentIdentity::Store() {
  if (!storeOpened_) {
    storeOpened_ = true;
    // The analyzer cache folder of the preferences; a folder that cannot be used leaves the process to remember
    // alone.
    InterfaceRef<IBackend> const backend = GetBackend();
    InterfaceRef<IPreferences> const preferences = backend ? backend->GetPreferences() : nullptr;
    std::wstring const folder = preferences ? preferences->GetAnalyzerCacheDirectory() : std::wstring();
    if (!folder.empty()) store_ = ContentHashStore::Open(zelcore::text::WstringToUTF8(folder));
  }
  return store_.get();
}

void ContentIdentity::ForgetInProcessForTesting() {
  {
    std::lock_guard lock(mutex_);
    remembered_.clear();
  }
  std::lock_guard lock(storeMutex_);
  store_.reset();
  storeOpened_ = false;
}

std::uint64_t ContentIdentity::HashCountForTesting() const {
  std::lock_guard lock(mutex_);
  return hashCount_;
}

}  // namespace BE::detail
