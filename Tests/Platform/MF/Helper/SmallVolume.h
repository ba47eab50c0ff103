#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

namespace testsupport {

// A tmpfs of a few MiB mounted for one test, and unmounted after it: a real file system that a test can fill.
// Mounting needs root (or CAP_SYS_ADMIN); when the process lacks it, Mounted() is false and Why() says so.
class SmallVolume {
 public:
  SmallVolume(std::filesystem::path path, std::uint64_t bytes) : path_(std::move(path)) {
    std::error_code error;
    std::filesystem::create_directories(path_, error);
    std::string const options = "size=" + std::to_string(bytes);
    mounted_ = ::mount("quillan-test", path_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    // Some containers refuse mounts in the mount namespace they start in, not in one of the process's own.
    if (!mounted_ && ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
      mounted_ = ::mount("quillan-test", path_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    if (!mounted_) {
      why_ = "no tmpfs can be mounted here (" + std::string(std::strerror(errno)) +
             "); the full-volume tests need root or CAP_SYS_ADMIN, e.g. under `sudo` or `unshare -rm`";
    }
  }
  ~SmallVolume() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  SmallVolume(SmallVolume const&) = delete;
  SmallVolume& operator=(SmallVolume const&) = delete;

  bool Mounted() const { return mounted_; }
  std::string const& Why() const { return why_; }
  std::filesystem::path const& path() const { return path_; }

  // What the volume has free now.
  std::uint64_t Available() const {
    struct statvfs status {};
    if (::statvfs(path_.c_str(), &status) != 0) return 0;
    return static_cast<std::uint64_t>(status.f_bavail) * status.f_frsize;
  }

  // Fills the volume with the file `name` until `leave` bytes (a multiple of the page size) are free: 0 fills it to
  // the last byte. False when it could not.
  bool Fill(std::string const& name, std::uint64_t leave = 0) {
    std::uint64_t const available = Available();
    if (available < leave) return false;
    int const fd = ::open((path_ / name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool const filled = available == leave || ::posix_fallocate(fd, 0, static_cast<off_t>(available - leave)) == 0;
    ::close(fd);
    return filled && Available() == leave;
  }

  void Remove(std::string const& name) {
    std::error_code error;
    std::filesystem::remove(path_ / name, error);
  }

 private:
  std::filesystem::path path_;
  bool mounted_ = false;
  std::string why_;
};

}  // namespace testsupport
