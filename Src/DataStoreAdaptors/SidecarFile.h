#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include "Foundation/Export.h"
#include "zelcore/RecycledMemory.h"

namespace Quillan {

// The file-system side of a sidecar: reading one whole, and replacing one atomically while other processes are
// kept out. Nothing here follows a symbolic link at the sidecar path, blocks on a FIFO or device there, or writes to
// anything but a regular file. Paths are bytes. An object is one write lock; it is not thread-safe, the functions
// are.
//
// Writing, under the lock:
//   open the sidecar (or create it empty) -> flock(LOCK_EX) -> the path still names that file? (else start over)
//   -> read, change -> Replace (zelcore::WriteFileAtomically)
// A crash or a full disk at any point leaves the old file or the new one, never a mix. Readers need no lock: a
// rename swaps whole files.
//
// Reading: reads of one unchanged file (same device, inode, size, modification and change time) that run at the
// same time in the process share one read and one buffer, so that N concurrent loads of a large sidecar cost its
// size once, not N times. A buffer that is still held after its read is handed out again, without reading, for a
// file that had not been modified for a while when it was read (a file written just now may change again within the
// resolution of its timestamps). The buffers of the last such files read (a few dozen small files) are kept even when
// no caller holds them, so that the analyzers of one media that load their results one after another read its sidecar
// once; a change of the file is a new version and is read again, and a save drops what was kept of the file it
// replaced.
class QUILLAN_EXPORT SidecarFile {
 public:
  // Throws the error every failed sidecar write gives: "Sidecar file could not be written to: <why>".
  [[noreturn]] static void ThrowWriteFailed(std::string const& why);

  // Thrown by Read for a file larger than the format allows or than the caller's bound, before any of it is read.
  class QUILLAN_EXPORT TooLarge : public std::runtime_error {
   public:
    explicit TooLarge(std::string const& message);
    ~TooLarge() override;
  };

  // Reads the whole file. Throws zel_exception kResultSidecarFileNotFound when there is no file or it is empty
  // ("Sidecar file not found"), or when something other than a regular file is at the path (a link, a folder, a
  // FIFO: the message says so); TooLarge when it is larger than the format allows or than `maxBytes` (checked with
  // fstat, before anything is allocated); zel_exception kResultFileRead when reading fails; std::bad_alloc when
  // there is no memory for it.
  static zelcore::Blob Read(std::filesystem::path const& path, std::uint64_t maxBytes);
  // The same, bounded by the format's limit alone.
  static zelcore::Blob Read(std::filesystem::path const& path);

  // How many buffers Read allocated and filled, and how many calls of Read waited for another's read to share it,
  // since the process started.
  struct ReadCounts {
    std::uint64_t reads = 0;
    std::uint64_t sharedWaits = 0;
  };
  static ReadCounts GetReadCountsForTesting();
  // Called by Read on the thread that reads, before it reads; an empty function stops it. Lets a test hold a read
  // until others have joined it.
  static void SetBeforeReadForTesting(std::function<void()> beforeRead);

  // Takes the inter-process write lock on the sidecar at `path`, creating an empty file to hold it when there is
  // none. Waits while another process holds it, and starts over when that process replaced the file meanwhile.
  // Throws zel_exception kResultSidecarWriteFailed ("Sidecar file could not be written to: <why>") when the path
  // holds something other than a regular file or the file can be neither opened nor created.
  explicit SidecarFile(std::filesystem::path path);
  // Releases the lock; an empty file this lock created and that was never replaced is removed again.
  ~SidecarFile();
  SidecarFile(SidecarFile const&) = delete;
  SidecarFile& operator=(SidecarFile const&) = delete;

  // The locked file's size when the lock was taken (0 for one the lock created).
  off_t Size() const { return size_; }
  // Whether the lock created the (empty) file it holds: there was no sidecar.
  bool Created() const { return created_; }
  // Removes the locked sidecar: the path names it as long as the lock is held, since every writer replaces it under
  // the lock. Throws zel_exception kResultSidecarWriteFailed when the file cannot be removed.
  void Remove();

  // Replaces the sidecar at `path` with `bytes` atomically, with zelcore::WriteFileAtomically: the new file keeps the
  // old one's permission bits, a symbolic link at the path is refused, and since every writer holds the lock the
  // temporary name is the same on every save, so that saves killed midway leave at most one file behind. Call it
  // under the lock. Returns an empty string on success, else why it failed (naming the path): the temporary file is
  // removed then and the old file is untouched, unless only the folder's fsync failed, after the new file took its
  // place.
  static std::string Replace(std::filesystem::path const& path, zelcore::allocator::RecycledMemory const& bytes);

 private:
  std::filesystem::path path_;
  int fd_ = -1;
  bool created_ = false;
  off_t size_ = 0;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace Quillan
