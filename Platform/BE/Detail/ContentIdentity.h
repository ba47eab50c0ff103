#pragma once

#include <sys/stat.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "zelcore/Guid.h"

namespace BE::detail {

class ContentHashStore;

// What identifies one version of a file without reading it: which file it is and what the file system says about
// its last change. A rewrite, a truncation, a replacement by rename or a touch changes it.
struct FileStamp {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modifiedNs = 0;
  std::int64_t changedNs = 0;

  static FileStamp Of(struct stat const& status);
  bool operator==(FileStamp const&) const = default;
};

// A file's content digest (XXH3-128), as stored.
using ContentDigest = std::array<std::uint8_t, 16>;

// The content state of media files: a name-based GUID of a digest of the file's content, so that it changes with
// every change of the content and stays for a byte-identical copy.
//
// - Files of up to kWholeFileLimit bytes are hashed whole with XXH3-128.
// - Larger files are hashed by their size, their modification time and kWindowCount windows of kWindowSize bytes,
//   the first at offset 0, the last ending at the end of the file, the others evenly spaced between. A change
//   there is seen when it changes the size or the modification time, or touches a window.
// - Each file version (FileStamp) is hashed once: the digest is remembered in the process and, across processes, in
//   a database in the analyzer cache folder. Only versions whose last change is safely older than the hashing are
//   remembered, since a second change within the file system's timestamp granularity would keep the stamp.
// - A file whose stamp changes while it is hashed is hashed again, a few times; then it has no state.
// - Threads compute the states of different files in parallel: reading and hashing hold no lock, and the database is
//   locked around one statement at a time. Threads that ask for the same file version at once share one
//   computation, so they get one state.
//
// Thread-safe; one instance per process.
class ContentIdentity {
 public:
  static constexpr std::uint64_t kWholeFileLimit = std::uint64_t{1} << 30;
  static constexpr int kWindowCount = 256;
  static constexpr std::uint64_t kWindowSize = 64 * 1024;

  static ContentIdentity& Get();

  ContentIdentity();
  ~ContentIdentity();
  ContentIdentity(ContentIdentity const&) = delete;
  ContentIdentity& operator=(ContentIdentity const&) = delete;

  // Fills `state` and returns kMetadataStatusOk, or returns kMetadataStatusMediaUnavailable for a file that is
  // missing, not a regular file, unreadable or never still while it is read.
  int StateOf(std::filesystem::path const& path, zelcore::utility::Guid& state);
  // The same for the regular file open for reading as `fd`, in the version the descriptor shows, whatever the file's
  // path names now. Reads with pread, so the descriptor's offset stays.
  int StateOfOpenFile(int fd, zelcore::utility::Guid& state);

  // The digest of the open regular file `fd` as `stamp` describes it; empty when it could not be read whole.
  static std::optional<ContentDigest> HashFile(int fd, FileStamp const& stamp);

  // Forgets what this process remembered, as a new process would start.
  void ForgetInProcessForTesting();
  // How many files this process has hashed.
  std::uint64_t HashCountForTesting() const;

 private:
  struct Remembered {
    FileStamp stamp;
    ContentDigest digest;
  };
  struct FileKey {
    std::uint64_t device;
    std::uint64_t inode;
    bool operator==(FileKey const&) const = default;
  };
  struct FileKeyHash {
    std::size_t operator()(FileKey const& key) const { return key.device * 0x9e3779b97f4a7c15ULL ^ key.inode; }
  };
  struct StampHash {
    std::size_t operator()(FileStamp const& stamp) const;
  };
  // One computation of a file version, which other threads asking for that version wait for.
  struct Flight {
    bool done = false;                    // guarded by mutex_
    std::optional<ContentDigest> digest;  // guarded by mutex_; empty when the file changed while it was read
  };

  // The digest of the file version `stamp`: remembered, computed by another thread meanwhile, or computed by
  // `compute` (which hashes the file and checks that it kept `stamp`; empty when it did not) on this thread. Empty
  // when the file changed while it was read.
  template <class Compute>
  std::optional<ContentDigest> DigestOfVersion(FileStamp const& stamp, std::int64_t readStartNs, Compute&& compute);
  std::optional<ContentDigest> FindStored(FileStamp const& stamp);
  void Remember(FileStamp const& stamp, ContentDigest const& digest, bool store);
  void CountHash();
  void Land(FileStamp const& stamp, std::shared_ptr<Flight> const& flight, std::optional<ContentDigest> digest);
  ContentHashStore* Store();  // call with storeMutex_ held

  // Held only to look up or change the tables below, never while a file is read or the database is used.
  mutable std::mutex mutex_;
  std::condition_variable landed_;
  std::unordered_map<FileKey, Remembered, FileKeyHash> remembered_;             // guarded by mutex_
  std::unordered_map<FileStamp, std::shared_ptr<Flight>, StampHash> inFlight_;  // guarded by mutex_
  std::uint64_t hashCount_ = 0;                                                 // guarded by mutex_
  // Held around one statement of the database (a connection is not for two threads at once), or its opening.
  std::mutex storeMutex_;
  bool storeOpened_ = false;                 // guarded by storeMutex_
  std::unique_ptr<ContentHashStore> store_;  // guarded by storeMutex_
};

}  // namespace BE::detail
