#include "Pictures/PictureFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

namespace Quillan::Pictures {
namespace {

std::string Quoted(std::filesystem::path const& path) { return "\"" + path.string() + "\""; }

[[noreturn]] void FailWriting(std::filesystem::path const& path, int error) {
  throw PictureError("Cannot write " + Quoted(path) + ": " + std::strerror(error));
}

// A new file beside `path`, created exclusively with mode 0666 so that the umask applies as it would to any new file.
int CreateTemporary(std::filesystem::path const& path, std::filesystem::path& temporary) {
  std::random_device seed;
  std::mt19937_64 random(seed());
  std::filesystem::path const folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = folder / ("." + path.filename().string() + "." + std::to_string(random() % 1000000000) + ".tmp");
    int const descriptor = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor >= 0) return descriptor;
    if (errno == EEXIST) continue;
    int const error = errno;
    if (error == ENOENT) {
      throw PictureError("Cannot write " + Quoted(path) + ": the folder " + Quoted(folder) + " does not exist");
    }
    FailWriting(path, error);
  }
  FailWriting(path, EEXIST);
}

// Gives `temporary` the name `path` only if no file has it, in one step. Filesystems without RENAME_NOREPLACE get a
// hard link, which fails the same way on an existing name, and lose the temporary name after.
int RenameWithoutReplacing(std::filesystem::path const& temporary, std::filesystem::path const& path) {
  if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
  if (::link(temporary.c_str(), path.c_str()) != 0) return errno;
  ::unlink(temporary.c_str());
  return 0;
}

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
  if (::lstat(path.c_str(), &existing) == 0) {
    if (!S_ISREG(existing.st_mode)) {
      throw PictureError("Not replacing " + Quoted(path) + ": it is " + NonRegularFileKind(existing.st_mode) +
                         ", not a regular file; choose another output path");
    }
    if (!options.replaceExisting) throw PictureExistsError("Not replacing " + Quoted(path) + ": the file exists");
  }
  std::filesystem::path temporary;
  int const descriptor = CreateTemporary(path, temporary);
  int error = 0;
  std::size_t written = 0;
  while (error == 0 && written < bytes.size()) {
    ssize_t const count = ::write(descriptor, bytes.data() + written, bytes.size() - written);
    if (count > 0) {
      written += static_cast<std::size_t>(count);
    } else if (count < 0 && errno != EINTR) {
      error = errno;
    }
  }
  // Renamed before it is durable, a crash could leave an empty picture where the old one was.
  if (error == 0 && ::fsync(descriptor) != 0) error = errno;
  if (::close(descriptor) != 0 && error == 0) error = errno;
  if (error == 0 && options.beforeRename) {
    try {
      options.beforeRename();
    } catch (...) {
      ::unlink(temporary.c_str());
      throw;
    }
  }
  if (error == 0) {
    if (options.replaceExisting) {
      if (::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    } else {
      error = RenameWithoutReplacing(temporary, path);
    }
  }
  if (error != 0) {
    ::unlink(temporary.c_str());
    if (error == EEXIST && !options.replaceExisting) {
      throw PictureExistsError("Not replacing " + Quoted(path) + ": the file exists");
    }
    FailWriting(path, error);
  }
}

}  // namespace Quillan::Pictures
