#include "Pictures/PictureFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "zelcore/AtomicFile.h"

namespace Quillan::Pictures {
namespace {

std::string Quoted(std::filesystem::path const& path) { return "\"" + path.string() + "\""; }

}  // namespace

char const* NonRegularFileKind(mode_t mode) {
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISFIFO(mode)) return "a pipe";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

void WritePictureFile(std::filesystem::path const& path, std::span<std::uint8_t const> bytes,
                      PictureFileOptions const& options) {
  if (path.empty() || !path.has_filename()) throw PictureError("Cannot write " + Quoted(path) + ": not a file name");
  struct stat existing {};
  if (::lstat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
    throw PictureError("Not replacing " + Quoted(path) + ": it is " + NonRegularFileKind(existing.st_mode) +
                       ", not a regular file; choose another output path");
  }
  try {
    zelcore::WriteFileAtomically(path, bytes,
                                 {.replaceExisting = options.replaceExisting, .beforeRename = options.beforeRename});
  } catch (zelcore::AtomicWriteError const& error) {
    if (error.GetSystemError() == EEXIST && !options.replaceExisting) {
      throw PictureExistsError("Not replacing " + Quoted(path) + ": the file exists");
    }
    throw PictureError(error.what());
  }
}

}  // namespace Quillan::Pictures
