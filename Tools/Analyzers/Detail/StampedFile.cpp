#include "Analyzers/Detail/StampedFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "zelcore/ZelException.h"

namespace Quillan::Examples::detail {
namespace {

[[noreturn]] void Fail(std::filesystem::path const& file, std::string const& why) {
  throw zelcore::config::zel_exception("Cannot read media file " + file.string() + ": " + why,
                                       zelcore::config::kResultFileRead);
}

}  // namespace

bool SameFileVersion(struct stat const& a, struct stat const& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

StampedFile::StampedFile(std::filesystem::path const& file) : path_(file) {
  descriptor_ = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor_ < 0) Fail(file, std::strerror(errno));
  if (::fstat(descriptor_, &opened_) != 0) {
    int const error = errno;
    ::close(descriptor_);
    Fail(file, std::strerror(error));
  }
  if (!S_ISREG(opened_.st_mode)) {
    ::close(descriptor_);
    Fail(file, "not a regular file");
  }
  ::posix_fadvise(descriptor_, 0, 0, POSIX_FADV_SEQUENTIAL);
}

StampedFile::~StampedFile() { ::close(descriptor_); }

void StampedFile::CheckUnchanged() const {
  struct stat now {};
  struct stat atPath {};
  if (::fstat(descriptor_, &now) != 0 || ::stat(path_.c_str(), &atPath) != 0 || !SameFileVersion(opened_, now) ||
      !SameFileVersion(opened_, atPath)) {
    throw zelcore::config::zel_exception(
        "Media file " + path_.string() + " changed while being analysed; its result was not kept",
        zelcore::config::kResultFileRead);
  }
}

}  // namespace Quillan::Examples::detail
