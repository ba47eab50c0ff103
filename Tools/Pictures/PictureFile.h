#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <stdexcept>

// Marks what the pictures library exports to the command-line tool and tests.
#define QUILLAN_PICTURES_EXPORT __attribute__((visibility("default")))

namespace Quillan::Pictures {

// Why a picture could not be drawn or written: a path that cannot be written, a media file without pictures, an
// envelope with nothing to draw. The message names the file and the reason, ready to show to a user. Options out of
// range throw std::invalid_argument instead.
class QUILLAN_PICTURES_EXPORT PictureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Thrown by WritePictureFile when a file is at the path and the call was not to replace one.
class QUILLAN_PICTURES_EXPORT PictureExistsError : public PictureError {
 public:
  using PictureError::PictureError;
};

// How WritePictureFile treats the path it writes.
struct PictureFileOptions {
  // Whether an existing regular file is replaced. When not, the new file takes the path only if nothing is there at
  // the moment it does, with no window between a check and the write, and PictureExistsError is thrown otherwise.
  bool replaceExisting = true;
  // Runs once the bytes are durable, right before the new file takes the path, so that a caller can check what is at
  // the path at the last moment. What it throws passes through; the path is left as it was and the new file removed.
  std::function<void()> beforeRename;
};

// What an entry that is not a regular file is, for messages: "a symbolic link", "a folder", "a device", ...
QUILLAN_PICTURES_EXPORT char const* NonRegularFileKind(mode_t mode);

// Writes `bytes` to `path` atomically with zelcore::WriteFileAtomically: into a new file beside it, then renamed over
// it, so that a reader sees the old file or the whole new one, and a failure leaves the old one as it was. An existing
// regular file is replaced (unless `options` say not to) and keeps its permission bits; a new file gets 0666 less the
// process's umask. Any other kind of file there (a symbolic link, a folder, a device, a pipe) is left alone and the
// call throws PictureError saying what it is. The rename replaces the directory entry itself and never follows a link
// that appears at the path meanwhile. Throws PictureError with the path and the system's reason when the folder is
// missing or cannot be written.
QUILLAN_PICTURES_EXPORT void WritePictureFile(std::filesystem::path const& path, std::span<std::uint8_t const> bytes,
                                              PictureFileOptions const& options = {});

}  // namespace Quillan::Pictures
