#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>

#include "Analyzers/ExampleAnalyzers.h"

namespace Quillan::Examples::detail {

// Whether two stats are of the same version of one file: device, inode, size, modification and change time.
QUILLAN_EXAMPLES_EXPORT bool SameFileVersion(struct stat const& a, struct stat const& b);

// A file opened for reading, with the stamp of the version that was opened: device, inode, size, modification and
// change time. CheckUnchanged tells whether the file was rewritten, replaced, grown or truncated since, so that no
// result computed from a mix of two versions' bytes is kept. Not thread-safe.
class QUILLAN_EXAMPLES_EXPORT StampedFile {
 public:
  // Opens `file` and stamps the opened descriptor. Throws zel_exception kResultFileRead, naming the file and the
  // system's reason, when it cannot be opened or is not a regular file.
  explicit StampedFile(std::filesystem::path const& file);
  ~StampedFile();
  StampedFile(StampedFile const&) = delete;
  StampedFile& operator=(StampedFile const&) = delete;

  int Descriptor() const { return descriptor_; }
  std::uint64_t Size() const { return static_cast<std::uint64_t>(opened_.st_size); }
  std::filesystem::path const& Path() const { return path_; }
  // What fstat said of the descriptor at open: the version that was opened.
  struct stat const& OpenedStatus() const {
    return opened_;
  }

  // Throws zel_exception kResultFileRead ("... changed while being analysed", naming the file) unless both the
  // opened descriptor and the path still show the stamp taken at open.
  void CheckUnchanged() const;

 private:
  std::filesystem::path path_;
  int descriptor_ = -1;
  struct stat opened_ {};
};

}  // namespace Quillan::Examples::detail
