#include "DataStoreAdaptors/SidecarFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "DataStoreAdaptors/ResultCodes.h"
#include "DataStoreAdaptors/SidecarDataStoreAdaptorSerialization.h"
#include "zelcore/ZelException.h"

namespace Quillan {
namespace {

using zelcore::config::zel_exception;

constexpr char kWriteFailed[] = "Sidecar file could not be written to";
constexpr int kOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

[[noreturn]] void ThrowWriteFailed(std::string const& why) {
  throw zel_exception(std::string(kWriteFailed) + ": " + why, kResultSidecarWriteFailed);
}

std::string ErrorText(char const* what, int error) { return std::string(what) + ": " + std::strerror(error); }

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

// Writes all of `size` bytes; false with errno set when the disk is full, a limit is reached or the write fails.
bool WriteAll(int fd, std::uint8_t const* data, std::size_t size) {
  while (size > 0) {
    ssize_t const written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

zelcore::Blob SidecarFile::Read(std::filesystem::path const& path) {
  // lstat first, so that a device at the path is never even opened.
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) throw zel_exception("Sidecar file not found", kResultSidecarFileNotFound);
    throw zel_exception(ErrorText("Sidecar file could not be read", errno), zelcore::config::kResultFileRead);
  }
  if (char const* reason = NotRegularReason(status.st_mode)) throw zel_exception(reason, kResultSidecarFileNotFound);
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
  if (status.st_size == 0) throw zel_exception("Sidecar file not found", kResultSidecarFileNotFound);
  auto const size = static_cast<std::uint64_t>(status.st_size);
  if (size > SidecarDataStoreAdaptorSerialization::kMaxSideCarBufferSize) {
    throw std::runtime_error("Sidecar file is too large for the format: " + std::to_string(size) + " bytes, at most " +
                             std::to_string(SidecarDataStoreAdaptorSerialization::kMaxSideCarBufferSize));
  }
  auto buffer = zelcore::allocator::RecycledMemory::Create(size);
  std::size_t done = 0;
  while (done < size) {
    ssize_t const got = ::read(fd, buffer->data() + done, size - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw zel_exception(ErrorText("Sidecar file could not be read", errno), zelcore::config::kResultFileRead);
    }
    if (got == 0) break;  // shortened by a foreign writer meanwhile: decode what is there
    done += static_cast<std::size_t>(got);
  }
  if (done == size) return buffer;
  std::uint8_t const* data = buffer->data();
  return zelcore::allocator::RecycledMemory::AttachToExternalBuffer(std::move(buffer), data, done);
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
  // The new file gets the old one's permission bits (the lock made one when there was none).
  mode_t mode = 0666;
  if (struct stat status{}; ::lstat(path.c_str(), &status) == 0) {
    if (char const* reason = NotRegularReason(status.st_mode)) return reason;
    mode = status.st_mode & 07777;
  }
  // One fixed name per sidecar: only the holder of the lock writes it, and a file left by a writer that was killed
  // is simply replaced by the next save. It is removed first, so that a link planted there is never followed.
  std::filesystem::path const folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  std::string const temporary = (folder / ("." + path.filename().native() + ".saving")).native();
  if (::unlink(temporary.c_str()) != 0 && errno != ENOENT)
    return ErrorText("cannot remove an old temporary file", errno);
  int const fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return ErrorText("cannot create a temporary file beside it", errno);

  auto fail = [&](char const* what) {
    std::string const why = ErrorText(what, errno);
    ::close(fd);
    ::unlink(temporary.c_str());
    return why;
  };
  if (!WriteAll(fd, bytes.data(), bytes.size())) return fail("write");
  if (::fchmod(fd, mode) != 0) return fail("chmod");
  if (::fsync(fd) != 0) return fail("fsync");
  if (::close(fd) != 0) {
    std::string const why = ErrorText("close", errno);
    ::unlink(temporary.c_str());
    return why;
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    std::string const why = ErrorText("rename", errno);
    ::unlink(temporary.c_str());
    return why;
  }
  return {};
}

}  // namespace Quillan
