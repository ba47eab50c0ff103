#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>

#include "zelcore/Export.h"
#include "zelcore/ZelException.h"

namespace zelcore {

// How WriteFileAtomically treats the path it writes.
struct AtomicWriteOptions {
  // What a symbolic link at the path means.
  enum class Links {
    // The call fails and the link stays: the link is not ours to cut, nor its target ours to change. A link that
    // takes the path while the file is written is replaced itself, never written through, since rename does not
    // follow links.
    kRefuse,
    // The file the link leads to (through any chain of links, each relative to its own folder) is replaced, with the
    // temporary file beside it, and the link stays: a file kept elsewhere and linked to stays linked.
    kFollow,
  };
  Links links = Links::kRefuse;
  // The permission bits of a new file, less the process's umask. A file that is replaced keeps its own permission
  // bits instead (not its set-user-ID, set-group-ID or sticky bits, which belonged to the old content).
  mode_t newFileMode = 0666;
  // When false, the new file takes the path only if nothing is there at the moment it does, with no window between a
  // check and the rename; the call fails with EEXIST otherwise.
  bool replaceExisting = true;
  // True when the caller holds a lock that every writer of this path takes. The temporary name is then the same on
  // every write of the path, and a file left at it by a write that was killed is removed and the name reused, so
  // that killed writes leave at most one file behind. Otherwise the name is unique to the process and the call.
  bool writersSerializedByCaller = false;
  // Runs once the bytes are durable, right before the new file takes the path, so that a caller can check what is at
  // the path at the last moment. What it throws passes through; the path is left as it was.
  std::function<void()> beforeRename = {};
};

// Why WriteFileAtomically failed. Result code kResultFileWrite; the message is "Cannot write "<path>": <reason>",
// the reason with the system's words for the error where there is one.
class ZELCORE_EXPORT AtomicWriteError : public config::zel_exception {
 public:
  AtomicWriteError(std::filesystem::path path, std::string reason, int systemError);
  AtomicWriteError(AtomicWriteError const&);
  AtomicWriteError& operator=(AtomicWriteError const&);
  ~AtomicWriteError() override;

  std::filesystem::path const& GetPath() const { return path_; }
  // The message without the path, for callers that name the path their own way.
  std::string const& GetReason() const { return reason_; }
  // The errno value behind the failure (EEXIST for a file that was there when replaceExisting is false), or 0.
  int GetSystemError() const { return systemError_; }

 private:
  std::filesystem::path path_;
  std::string reason_;
  int systemError_;
};

// Replaces the file at `path` with `bytes` so that a reader, or the disk after a crash, sees the old file or the whole
// new one, never a mix:
//   a temporary file in the same folder (O_CREAT | O_EXCL, its name cut to fit the file system's name limit beside
//   a name of any legal length) -> write -> fsync -> permission bits -> rename over the path -> fsync of the folder
// Anything at the path other than a regular file (a folder, a device, a pipe; a symbolic link unless
// options.links is kFollow) is left alone and the call fails. On any failure the temporary file is removed and the
// path is as it was, except when only the folder's fsync failed: the new file is in place then, and the error says
// so. A folder that may be searched and written but not read gives no handle to flush; its writes are atomic all the
// same. Throws AtomicWriteError naming the path and the reason; what options.beforeRename throws passes through.
// May be called from any thread.
ZELCORE_EXPORT void WriteFileAtomically(std::filesystem::path const& path, std::span<std::uint8_t const> bytes,
                                        AtomicWriteOptions const& options = {});

// The path that `path` leads to through symbolic links, each relative to the folder of the link; `path` itself when
// it is no link. Throws std::system_error with the errno value when a link cannot be read, and ELOOP after 40 links.
// May be called from any thread.
ZELCORE_EXPORT std::filesystem::path FollowSymbolicLinks(std::filesystem::path const& path);

}  // namespace zelcore
