#pragma once

#include <filesystem>

namespace Quillan {

// A process-wide reader/writer lock per sidecar path, shared by every sidecar store of the process. Readers of a
// path wait only for its writer; a writer waits until nobody holds the path. Waiting writers get no preference.
// Paths are compared by their exact text. Held for the lifetime of the object; may be used from any thread.
class SidecarFileLock {
 public:
  enum class Mode { kRead, kWrite };

  SidecarFileLock(std::filesystem::path path, Mode mode);
  ~SidecarFileLock();

  SidecarFileLock(SidecarFileLock const&) = delete;
  SidecarFileLock& operator=(SidecarFileLock const&) = delete;

 private:
  std::filesystem::path path_;
  Mode mode_;
};

}  // namespace Quillan
