#include "DataStoreAdaptors/SidecarFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <iterator>
#include <list>
#include <mutex>
#include <span>
#include <stdexcept>
#include <unordered_map>

#include "DataStoreAdaptors/ResultCodes.h"
#include "DataStoreAdaptors/SidecarDataStoreAdaptorSerialization.h"
#include "zelcore/AtomicFile.h"
#include "zelcore/ZelException.h"

namespace Quillan {
namespace {

using SidecarDataStoreAdaptorSerialization::kMaxSideCarBufferSize;
using zelcore::config::zel_exception;

constexpr int kOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

std::string ErrorText(char const* what, int error) { return std::string(what) + ": " + std::strerror(error); }

// The size decides before anything is allocated: a sparse file of any size costs nothing to refuse.
void CheckReadSize(struct stat const& status, std::uint64_t maxBytes) {
  if (status.st_size == 0) throw zel_exception("Sidecar file not found", kResultSidecarFileNotFound);
  auto const size = static_cast<std::uint64_t>(status.st_size);
  if (size > kMaxSideCarBufferSize) {
    throw SidecarFile::TooLarge("Sidecar file is too large for the format: " + std::to_string(size) +
                                " bytes, at most " + std::to_string(kMaxSideCarBufferSize));
  }
  if (size > maxBytes) {
    throw SidecarFile::TooLarge(
        "Sidecar file is larger than the bound on what is read (setting SidecarMaxLoadBytes): " + std::to_string(size) +
        " bytes, at most " + std::to_string(maxBytes));
  }
}

// Why a file of this type is not a sidecar, or nullptr when it is a regular file.
char const* NotRegularReason(mode_t mode) {
  if (S_ISREG(mode)) return nullptr;
  if (S_ISLNK(mode)) return "the sidecar path is a symbolic link, which is not followed";
  if (S_ISDIR(mode)) return "the sidecar path is a folder";
  return "the sidecar path is not a regular file";
}

void CloseQuietly(int fd) {
  if (fd >= 0) ::close(fd);
}

// Reads `size` bytes of `fd` from its start into a new buffer; a file shortened meanwhile by a foreign writer gives
// what is there.
zelcore::Blob ReadWhole(int fd, std::size_t size) {
  auto buffer = zelcore::allocator::RecycledMemory::Create(size);
  std::size_t done = 0;
  while (done < size) {
    ssize_t const got = ::pread(fd, buffer->data() + done, size - done, static_cast<off_t>(done));
    if (got < 0) {
      if (errno == EINTR) continue;
      throw zel_exception(ErrorText("Sidecar file could not be read", errno), zelcore::config::kResultFileRead);
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  if (done == size) return buffer;
  std::uint8_t const* data = buffer->data();
  return zelcore::allocator::RecycledMemory::AttachToExternalBuffer(std::move(buffer), data, done);
}

// What tells one version of a file from another without reading it.
struct FileVersion {
  dev_t device;
  ino_t inode;
  off_t size;
  std::int64_t modifiedNs;
  std::int64_t changedNs;

  explicit FileVersion(struct stat const& status)
      : device(status.st_dev),
        inode(status.st_ino),
        size(status.st_size),
        modifiedNs(NanosecondsOf(status.st_mtim)),
        changedNs(NanosecondsOf(status.st_ctim)) {}
  static std::int64_t NanosecondsOf(timespec const& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
  }
  bool operator==(FileVersion const&) const = default;
};

struct FileVersionHash {
  std::size_t operator()(FileVersion const& version) const {
    std::size_t hash = std::hash<std::uint64_t>()(version.inode);
    for (std::uint64_t const part :
         {static_cast<std::uint64_t>(version.device), static_cast<std::uint64_t>(version.size),
          static_cast<std::uint64_t>(version.modifiedNs), static_cast<std::uint64_t>(version.changedNs)}) {
      hash ^= std::hash<std::uint64_t>()(part) + 0x9e3779b97f4a7c15ull + (hash << 6) + (hash >> 2);
    }
    return hash;
  }
};

// A file modified this recently may still change without its timestamps changing (coarse kernel clocks, file
// systems that keep two-second times), so a finished read of it is not handed out again; concurrent reads of it
// still share one.
constexpr std::int64_t kSettledNs = 2'000'000'000;

// Settled buffers kept after their read, so that the analyzers of one media asking for their results one after
// another read its sidecar once: the most recently used few, and only small ones.
constexpr std::size_t kKeptFiles = 64;
constexpr std::size_t kKeptBytes = std::size_t{8} << 20;
constexpr std::size_t kMostKeptFileBytes = std::size_t{1} << 20;

// The reads of the process, by file version: the one in flight, the last buffer while anyone still holds it, and the
// kKeptFiles most recently read settled buffers whoever holds them. A file that changes is another version, read
// afresh; a save of this process drops what was kept of the file it replaced.
class SharedReads {
 public:
  static SharedReads& Get() {
    static auto* reads = new SharedReads;  // lives for the process: a store's task may read while statics go
    return *reads;
  }

  // The buffer already read of this settled version of a file, or null. A path whose lstat shows a version held here
  // is answered without being opened.
  zelcore::Blob Held(struct stat const& status) {
    std::lock_guard lock(mutex_);
    auto const found = entries_.find(FileVersion(status));
    return found == entries_.end() ? nullptr : HeldLocked(found->second);
  }

  zelcore::Blob Read(int fd, struct stat const& status) {
    FileVersion const version(status);
    std::unique_lock lock(mutex_);
    Entry& entry = entries_[version];
    if (zelcore::Blob held = HeldLocked(entry)) return held;
    if (auto const flight = entry.inFlight) {
      sharedWaits_.fetch_add(1, std::memory_order_relaxed);
      finished_.wait(lock, [&] { return flight->done; });
      if (flight->error) std::rethrow_exception(flight->error);
      return flight->buffer;
    }
    auto const flight = std::make_shared<InFlight>();
    entry.inFlight = flight;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    bool const settled = FileVersion::NanosecondsOf(now) - version.modifiedNs >= kSettledNs;
    std::function<void()> const beforeRead = beforeRead_;
    lock.unlock();

    zelcore::Blob buffer;
    std::exception_ptr error;
    try {
      if (beforeRead) beforeRead();
      reads_.fetch_add(1, std::memory_order_relaxed);
      buffer = ReadWhole(fd, static_cast<std::size_t>(status.st_size));
    } catch (...) {
      error = std::current_exception();
    }

    lock.lock();
    Entry& after = entries_[version];  // the table may have grown meanwhile; an entry in flight is never swept
    after.inFlight.reset();
    if (buffer) {
      after.last = buffer;
      after.settled = settled;
      if (settled) Keep(version, after, buffer);
    }
    flight->buffer = buffer;
    flight->error = error;
    flight->done = true;
    SweepWhenGrown();
    lock.unlock();
    finished_.notify_all();
    if (error) std::rethrow_exception(error);
    return buffer;
  }

  // Drops the buffers kept of any version of the file `device`/`inode`.
  void Forget(dev_t device, ino_t inode) {
    std::lock_guard lock(mutex_);
    for (auto at = kept_.begin(); at != kept_.end();) {
      auto const next = std::next(at);
      if (at->device == device && at->inode == inode) Drop(entries_.at(*at));
      at = next;
    }
  }

  SidecarFile::ReadCounts Counts() const {
    return {reads_.load(std::memory_order_relaxed), sharedWaits_.load(std::memory_order_relaxed)};
  }

  void SetBeforeRead(std::function<void()> beforeRead) {
    std::lock_guard lock(mutex_);
    beforeRead_ = std::move(beforeRead);
  }

 private:
  struct InFlight {
    bool done = false;  // guarded by the table's mutex, as the rest
    zelcore::Blob buffer;
    std::exception_ptr error;
  };
  struct Entry {
    std::weak_ptr<zelcore::allocator::RecycledMemory const> last;
    bool settled = false;
    std::shared_ptr<InFlight> inFlight;
    zelcore::Blob kept;                       // set while the entry is in kept_
    std::list<FileVersion>::iterator keptAt;  // its place in kept_, when kept
  };

  // The buffer of `entry` that may be handed out again: a settled version's kept or still held buffer, else null.
  zelcore::Blob HeldLocked(Entry& entry) {
    if (!entry.settled) return nullptr;
    if (entry.kept) {
      kept_.splice(kept_.begin(), kept_, entry.keptAt);
      return entry.kept;
    }
    return entry.last.lock();
  }

  // Keeps `buffer` as the most recently used, dropping the least recently used beyond the bounds.
  void Keep(FileVersion const& version, Entry& entry, zelcore::Blob const& buffer) {
    if (entry.kept || buffer->size() > kMostKeptFileBytes) return;
    entry.kept = buffer;
    entry.keptAt = kept_.insert(kept_.begin(), version);
    keptBytes_ += buffer->size();
    while (kept_.size() > kKeptFiles || keptBytes_ > kKeptBytes) Drop(entries_.at(kept_.back()));
  }

  void Drop(Entry& entry) {
    keptBytes_ -= entry.kept->size();
    entry.kept.reset();
    kept_.erase(entry.keptAt);
  }

  // Drops the entries of buffers nobody holds any more, whenever the table has doubled since the last sweep.
  void SweepWhenGrown() {
    if (entries_.size() < sweepAt_) return;
    std::erase_if(entries_, [](auto const& item) {
      return !item.second.inFlight && !item.second.kept && item.second.last.expired();
    });
    sweepAt_ = std::max<std::size_t>(16, 2 * entries_.size());
  }

  std::mutex mutex_;
  std::condition_variable finished_;
  std::unordered_map<FileVersion, Entry, FileVersionHash> entries_;  // guarded by mutex_
  std::size_t sweepAt_ = 16;                                         // guarded by mutex_
  std::function<void()> beforeRead_;                                 // guarded by mutex_
  std::list<FileVersion> kept_;  // guarded by mutex_; the versions whose buffers are kept, most recently used first
  std::size_t keptBytes_ = 0;    // guarded by mutex_
  std::atomic<std::uint64_t> reads_{0};
  std::atomic<std::uint64_t> sharedWaits_{0};
};

}  // namespace

void SidecarFile::ThrowWriteFailed(std::string const& why) {
  throw zel_exception("Sidecar file could not be written to: " + why, kResultSidecarWriteFailed);
}

SidecarFile::ReadCounts SidecarFile::GetReadCountsForTesting() { return SharedReads::Get().Counts(); }

void SidecarFile::SetBeforeReadForTesting(std::function<void()> beforeRead) {
  SharedReads::Get().SetBeforeRead(std::move(beforeRead));
}

SidecarFile::TooLarge::TooLarge(std::string const& message) : std::runtime_error(message) {}
SidecarFile::TooLarge::~TooLarge() = default;

zelcore::Blob SidecarFile::Read(std::filesystem::path const& path) { return Read(path, kMaxSideCarBufferSize); }

zelcore::Blob SidecarFile::Read(std::filesystem::path const& path, std::uint64_t maxBytes) {
  // lstat first, so that a device at the path is never even opened.
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) throw zel_exception("Sidecar file not found", kResultSidecarFileNotFound);
    throw zel_exception(ErrorText("Sidecar file could not be read", errno), zelcore::config::kResultFileRead);
  }
  if (char const* reason = NotRegularReason(status.st_mode)) throw zel_exception(reason, kResultSidecarFileNotFound);
  CheckReadSize(status, maxBytes);
  if (zelcore::Blob held = SharedReads::Get().Held(status)) return held;
  int const fd = ::open(path.c_str(), kOpenFlags);
  if (fd < 0) {
    if (errno == ENOENT) throw zel_exception("Sidecar file not found", kResultSidecarFileNotFound);
    if (errno == ELOOP) throw zel_exception(NotRegularReason(S_IFLNK), kResultSidecarFileNotFound);
    throw zel_exception(ErrorText("Sidecar file could not be read", errno), zelcore::config::kResultFileRead);
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } const closer{fd};
  if (::fstat(fd, &status) != 0) {
    throw zel_exception(ErrorText("Sidecar file could not be read", errno), zelcore::config::kResultFileRead);
  }
  if (char const* reason = NotRegularReason(status.st_mode)) throw zel_exception(reason, kResultSidecarFileNotFound);
  CheckReadSize(status, maxBytes);
  return SharedReads::Get().Read(fd, status);
}

SidecarFile::SidecarFile(std::filesystem::path path) : path_(std::move(path)) {
  for (;;) {
    struct stat status {};
    if (::lstat(path_.c_str(), &status) == 0) {
      if (char const* reason = NotRegularReason(status.st_mode)) ThrowWriteFailed(reason);
      fd_ = ::open(path_.c_str(), kOpenFlags);
      created_ = false;
      if (fd_ < 0 && errno == ENOENT) continue;  // replaced between the two calls
    } else if (errno == ENOENT) {
      // A file to hold the lock by; it behaves like a missing sidecar until it is replaced.
      fd_ = ::open(path_.c_str(), kOpenFlags | O_CREAT | O_EXCL, 0666);
      created_ = true;
      if (fd_ < 0 && errno == EEXIST) continue;  // another process was quicker
    } else {
      ThrowWriteFailed(ErrorText(path_.c_str(), errno));
    }
    if (fd_ < 0) ThrowWriteFailed(ErrorText(path_.c_str(), errno));
    if (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) {
      int const error = errno;
      CloseQuietly(fd_);
      fd_ = -1;
      ThrowWriteFailed(S_ISREG(status.st_mode) ? ErrorText(path_.c_str(), error) : NotRegularReason(status.st_mode));
    }
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      int const error = errno;
      CloseQuietly(fd_);
      fd_ = -1;
      ThrowWriteFailed(ErrorText("flock", error));
    }
    // The holder before us may have renamed a new file over the one we locked, or removed it: lock that one instead.
    struct stat now {};
    if (::lstat(path_.c_str(), &now) != 0 || now.st_dev != status.st_dev || now.st_ino != status.st_ino) {
      CloseQuietly(fd_);
      fd_ = -1;
      continue;
    }
    size_ = now.st_size;
    device_ = now.st_dev;
    inode_ = now.st_ino;
    return;
  }
}

void SidecarFile::Remove() {
  if (::unlink(path_.c_str()) != 0) ThrowWriteFailed(ErrorText(path_.c_str(), errno));
  created_ = false;
}

SidecarFile::~SidecarFile() {
  if (fd_ < 0) return;
  if (created_) {
    // Still ours and still empty: leave no empty file behind a failed first save.
    struct stat now {};
    if (::lstat(path_.c_str(), &now) == 0 && now.st_dev == device_ && now.st_ino == inode_ && now.st_size == 0) {
      ::unlink(path_.c_str());
    }
  }
  ::close(fd_);  // releases the lock
}

std::string SidecarFile::Replace(std::filesystem::path const& path, zelcore::allocator::RecycledMemory const& bytes) {
  struct stat old {};
  bool const replacing = ::lstat(path.c_str(), &old) == 0;
  std::string why;
  try {
    // Every writer holds the sidecar's lock, which the constructor took: one temporary name serves every save.
    zelcore::WriteFileAtomically(path, std::span(bytes.data(), bytes.size()), {.writersSerializedByCaller = true});
  } catch (zelcore::AtomicWriteError const& error) {
    why = error.what();
  }
  // What was kept of the replaced file will never be asked for again (nor, after a failure, harm to read afresh).
  if (replacing) SharedReads::Get().Forget(old.st_dev, old.st_ino);
  return why;
}

}  // namespace Quillan
