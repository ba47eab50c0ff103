#include "zelcore/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <string_view>
#include <system_error>
#include <utility>

#include "zelcore/TextConversions.h"

namespace zelcore {
namespace {

namespace fs = std::filesystem;

constexpr int kMaxSymbolicLinks = 40;  // as many as the kernel follows in one lookup
constexpr int kMaxNameAttempts = 100;

// `reason`, then the system's words for `error` where there is one.
[[noreturn]] void Fail(fs::path const& path, std::string reason, int error = 0) {
  if (error != 0) reason += (reason.empty() ? "" : ": ") + std::system_category().message(error);
  throw AtomicWriteError(path, std::move(reason), error);
}

// Calls `call` again for as long as a signal interrupts it.
template <typename Call>
auto Retrying(Call call) {
  auto result = call();
  while (result < 0 && errno == EINTR) result = call();
  return result;
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor const&) = delete;
  Descriptor& operator=(Descriptor const&) = delete;
  ~Descriptor() { ::close(fd_); }
  int get() const { return fd_; }

 private:
  int fd_;
};

// The temporary file: removed when it goes out of scope, unless it has taken the path.
struct Temporary {
  int folder;
  std::string name;
  int fd = -1;
  bool created = false;  // the file at `name` is ours to remove
  ~Temporary() {
    if (fd >= 0) ::close(fd);
    if (created) ::unlinkat(folder, name.c_str(), 0);
  }
  // Closes the file now; returns the errno value of a failed close, else 0. Linux has closed the descriptor even
  // when a signal interrupted the call, so that is no failure.
  int Close() { return ::close(std::exchange(fd, -1)) == 0 || errno == EINTR ? 0 : errno; }
};

// A 64-bit FNV-1a hash of `name` as 12 characters of [0-9A-Za-z]: the same in every build and process.
std::string StableTag(std::string_view name) {
  static constexpr char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  constexpr std::uint64_t kBase = sizeof kAlphabet - 1;
  std::uint64_t hash = 0xcbf29ce484222325;
  for (unsigned char const c : name) hash = (hash ^ c) * 0x100000001b3;
  std::string tag;
  for (int i = 0; i < 12; ++i, hash /= kBase) tag += kAlphabet[hash % kBase];
  return tag;
}

// Unique to this process (its id) and this attempt (a counter the process's threads share).
std::string UniqueTag() {
  static std::atomic<std::uint64_t> counter{0};
  return std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
}

// "." and as much of `name` as fits, then "." `tag` ".tmp", in at most `nameMax` bytes. The name is cut where a UTF-8
// character starts, so that a listing shows no broken character; the tag keeps names that were cut apart.
std::string TemporaryName(std::string_view name, std::string const& tag, std::size_t nameMax) {
  std::size_t const fixed = tag.size() + 6;
  std::size_t keep = nameMax > fixed ? std::min(name.size(), nameMax - fixed) : 0;
  if (keep < name.size()) {
    while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  }
  return "." + std::string(name.substr(0, keep)) + "." + tag + ".tmp";
}

std::size_t NameLimit(int folder) {
  long const limit = ::fpathconf(folder, _PC_NAME_MAX);
  return limit > 0 ? static_cast<std::size_t>(limit) : NAME_MAX;
}

// Gives the temporary file the name `name` only if nothing has it, in one step; returns the errno value of a
// failure, else 0. File systems without RENAME_NOREPLACE get a hard link, which fails the same way on a name that is
// taken, and lose the temporary name after.
int RenameWithoutReplacing(Temporary& temporary, std::string const& name) {
  int const folder = temporary.folder;
  char const* const from = temporary.name.c_str();
  if (Retrying([&] { return ::renameat2(folder, from, folder, name.c_str(), RENAME_NOREPLACE); }) == 0) {
    temporary.created = false;
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
  if (Retrying([&] { return ::linkat(folder, from, folder, name.c_str(), 0); }) != 0) return errno;
  return 0;  // the temporary name is removed with the Temporary
}

}  // namespace

AtomicWriteError::AtomicWriteError(fs::path path, std::string reason, int systemError)
    : zel_exception("Cannot write \"" + text::Std8ToUTF8String(path.native()) + "\": " + reason,
                    config::kResultFileWrite),
      path_(std::move(path)),
      reason_(std::move(reason)),
      systemError_(systemError) {}

AtomicWriteError::AtomicWriteError(AtomicWriteError const&) = default;
AtomicWriteError& AtomicWriteError::operator=(AtomicWriteError const&) = default;
AtomicWriteError::~AtomicWriteError() = default;

fs::path FollowSymbolicLinks(fs::path const& path) {
  fs::path target = path;
  for (int hop = 0;; ++hop) {
    std::error_code error;
    fs::path const link = fs::read_symlink(target, error);
    // Not a link, or nothing there: the file is to be made at this path.
    if (error == std::errc::invalid_argument || error == std::errc::no_such_file_or_directory) return target;
    if (error) throw std::system_error(error);
    if (hop == kMaxSymbolicLinks) throw std::system_error(ELOOP, std::system_category());
    target = link.is_absolute() ? link : target.parent_path() / link;
  }
}

void WriteFileAtomically(fs::path const& path, std::span<std::uint8_t const> bytes, AtomicWriteOptions const& options) {
  // c_str() would end the path at a NUL, at another file's name.
  if (path.native().find('\0') != std::string::npos) Fail(path, "the path contains a NUL character");
  fs::path target = path;
  if (options.links == AtomicWriteOptions::Links::kFollow) {
    try {
      target = FollowSymbolicLinks(path);
    } catch (std::system_error const& error) {
      Fail(path, "cannot follow its symbolic link", error.code().value());
    }
  }
  if (!target.has_filename()) Fail(path, "the path names no file");
  fs::path const folderPath = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::string const name = target.filename().native();

  // Everything happens relative to the folder's handle, so that the temporary file and the rename stay in the one
  // folder that is flushed at the end.
  bool canFlushFolder = true;
  int folderFd = Retrying([&] { return ::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (folderFd < 0 && errno == EACCES) {
    folderFd = ::open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    canFlushFolder = false;
  }
  if (folderFd < 0 && errno == ENOENT) Fail(path, "the folder \"" + folderPath.string() + "\" does not exist");
  if (folderFd < 0) Fail(path, "cannot open its folder \"" + folderPath.string() + "\"", errno);
  Descriptor const folder(folderFd);

  struct stat existing {};
  bool const replacing = ::fstatat(folder.get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
  if (replacing) {
    if (S_ISLNK(existing.st_mode)) Fail(path, "it is a symbolic link, which is not followed");
    if (S_ISDIR(existing.st_mode)) Fail(path, "it is a folder");
    if (!S_ISREG(existing.st_mode)) Fail(path, "it is not a regular file");
    if (!options.replaceExisting) Fail(path, {}, EEXIST);
  } else if (errno != ENOENT) {
    Fail(path, "cannot look at what is there", errno);
  }

  // A file that replaces another is private until it has the other's permission bits, so that no one opens it who
  // could not open the old one (fchmod, unlike open, is not narrowed by the umask).
  mode_t const createMode = replacing ? 0600 : options.newFileMode & 0777;
  std::size_t const nameMax = NameLimit(folder.get());
  Temporary temporary{folder.get(), {}};
  for (int attempt = 1;; ++attempt) {
    temporary.name = TemporaryName(name, options.writersSerializedByCaller ? StableTag(name) : UniqueTag(), nameMax);
    temporary.fd = Retrying([&] {
      return ::openat(folder.get(), temporary.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      createMode);
    });
    if (temporary.fd >= 0) break;
    if (errno != EEXIST || attempt == kMaxNameAttempts) {
      Fail(path, "cannot create a temporary file beside it", errno);
    }
    // With other writers kept out by the caller, a file at the name is what a killed write left.
    if (options.writersSerializedByCaller) ::unlinkat(folder.get(), temporary.name.c_str(), 0);
  }

  temporary.created = true;
  int const fd = temporary.fd;
  if (replacing && ::fchmod(fd, existing.st_mode & 0777) != 0) {
    Fail(path, "cannot give the new file the old one's permission bits", errno);
  }
  std::size_t written = 0;
  while (written < bytes.size()) {
    ssize_t const count = Retrying([&] { return ::write(fd, bytes.data() + written, bytes.size() - written); });
    if (count < 0) Fail(path, "cannot write the temporary file", errno);
    written += static_cast<std::size_t>(count);
  }
  // Durable before it takes the path, so that a crash leaves one whole file or the other.
  if (Retrying([&] { return ::fsync(fd); }) != 0) Fail(path, "cannot flush the temporary file to disk", errno);
  if (int const error = temporary.Close()) Fail(path, "cannot close the temporary file", error);
  if (options.beforeRename) options.beforeRename();

  if (options.replaceExisting) {
    if (Retrying([&] { return ::renameat(folder.get(), temporary.name.c_str(), folder.get(), name.c_str()); }) != 0) {
      Fail(path, "cannot rename the temporary file over it", errno);
    }
    temporary.created = false;
  } else if (int const error = RenameWithoutReplacing(temporary, name)) {
    Fail(path, error == EEXIST ? "" : "cannot rename the temporary file to it", error);
  }

  // Without this a power cut could bring back the old entry, or none, after the call had returned. Some file systems
  // cannot flush a folder (EINVAL); they give no more than the rename did.
  if (canFlushFolder && Retrying([&] { return ::fsync(folder.get()); }) != 0 && errno != EINVAL) {
    Fail(path, "the new file is in place, but flushing its folder to disk failed", errno);
  }
}

}  // namespace zelcore
