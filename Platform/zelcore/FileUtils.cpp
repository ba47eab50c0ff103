#include "zelcore/FileUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "zelcore/TextConversions.h"
#include "zelcore/ZelException.h"

namespace zelcore::FileUtils {
namespace {

[[noreturn]] void ThrowReadError(std::string_view path, std::string const& reason) {
  throw config::zel_exception("Cannot read file \"" + text::Std8ToUTF8String(path) + "\": " + reason,
                              config::kResultFileRead);
}

[[noreturn]] void ThrowSystemError(std::string_view path, int error) {
  ThrowReadError(path, std::system_category().message(error));
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor const&) = delete;
  FileDescriptor& operator=(FileDescriptor const&) = delete;
  ~FileDescriptor() { ::close(fd_); }  // read-only: nothing to lose if close fails
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads until `size` bytes are in or the file ends; returns how many were read.
std::size_t ReadUpTo(int fd, std::uint8_t* buffer, std::size_t size, std::string_view path) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t const n = ::read(fd, buffer + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowSystemError(path, errno);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

Blob CopyToBlob(std::uint8_t const* data, std::size_t size) {
  auto blob = allocator::RecycledMemory::Create(size);
  if (size != 0) std::memcpy(blob->data(), data, size);
  return blob;
}

// For files whose size is not known in advance (pipes, /proc) or that grew while being read.
Blob ReadRest(int fd, std::vector<std::uint8_t> bytes, std::string_view path) {
  constexpr std::size_t kChunk = 64 * 1024;
  while (true) {
    std::size_t const start = bytes.size();
    bytes.resize(start + kChunk);
    std::size_t const n = ReadUpTo(fd, bytes.data() + start, kChunk, path);
    bytes.resize(start + n);
    if (n < kChunk) break;
  }
  return CopyToBlob(bytes.data(), bytes.size());
}

}  // namespace

Blob ReadFileIntoBuffer(std::filesystem::path const& path) {
  std::string const& native = path.native();
  if (native.find('\0') != std::string::npos) ThrowReadError(native, "the path contains a NUL character");
  int fd;
  do {
    fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) ThrowSystemError(native, errno);
  FileDescriptor const file(fd);

  struct stat status;
  if (::fstat(fd, &status) != 0) ThrowSystemError(native, errno);
  if (S_ISDIR(status.st_mode)) ThrowSystemError(native, EISDIR);
  if (!S_ISREG(status.st_mode) || status.st_size <= 0) return ReadRest(fd, {}, native);

  // The common case: one buffer of the size the file has, filled by as few reads as the kernel allows.
  auto const expected = static_cast<std::size_t>(status.st_size);
  auto blob = allocator::RecycledMemory::Create(expected);
  std::size_t const got = ReadUpTo(fd, blob->data(), expected, native);
  if (got < expected) return CopyToBlob(blob->data(), got);  // it shrank meanwhile
  std::uint8_t extra;
  if (ReadUpTo(fd, &extra, 1, native) == 0) return blob;
  std::vector<std::uint8_t> bytes(blob->data(), blob->data() + expected);  // it grew meanwhile
  bytes.push_back(extra);
  return ReadRest(fd, std::move(bytes), native);
}

Blob SimpleReadFileIntoBuffer(std::u16string const& path) {
  // A repaired path could name another file, so an invalid one is refused rather than converted.
  if (!text::IsValidUTF16(path)) ThrowReadError(text::UTF16ToUTF8(path), "the path is not valid UTF-16");
  return ReadFileIntoBuffer(std::filesystem::path(text::UTF16ToUTF8(path)));
}

}  // namespace zelcore::FileUtils
