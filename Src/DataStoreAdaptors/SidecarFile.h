#pragma once

#include <sys/types.h>

#include <filesystem>
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
//   -> read, change -> write a temporary file beside it -> fsync -> give it the old mode -> rename over the sidecar
// A crash or a full disk at any point leaves the old file or the new one, never a mix. Readers need no lock: a
// rename swaps whole files.
class QUILLAN_EXPORT SidecarFile {
 public:
  // Reads the whole file. Throws zel_exception kResultSidecarFileNotFound when there is no file or it is empty
  // ("Sidecar file not found"), or when something other than a regular file is at the path (a link, a folder, a
  // FIFO: the message says so); std::runtime_error when it is too large for the format (before reading it);
  // zel_exception kResultFileRead when reading fails.
  static zelcore::Blob Read(std::filesystem::path const& path);

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

  // Replaces the sidecar at `path` with `bytes` atomically: a temporary file beside it (".<name>.saving"), fsync,
  // the old file's permission bits, rename. Call it under the lock. Returns an empty string on success, else why it
  // failed; the temporary file is removed then and the old file is untouched.
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
