#include "BE/Media.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <fstream>
#include <system_error>
#include <vector>

#include "BE/Backend.h"
#include "BE/Detail/ProjectObjects.h"
#include "BE/Result.h"
#include "zelcore/TextConversions.h"

namespace BE::detail {
namespace {

// Namespace of the name-based GUIDs of media content states.
constexpr Guid kMediaContentNamespace{
    Guid::Bytes{0x5e, 0x0f, 0x8a, 0x33, 0xc4, 0x19, 0x4b, 0x7d, 0x86, 0x52, 0x2f, 0xe1, 0x90, 0x3a, 0xb6, 0x07}};

// Bytes read at the start, the middle and the end of a large file. Files of up to three samples are read whole.
constexpr std::uintmax_t kSampleSize = 64 * 1024;

// A file's modification time is trusted for caching only once it is this much older than the read, which covers
// the coarsest timestamp granularity of common file systems.
constexpr std::chrono::seconds kTimestampGranularity{2};

bool ReadAt(std::ifstream& in, std::uintmax_t offset, std::uintmax_t size, std::vector<std::uint8_t>& out) {
  std::size_t const start = out.size();
  out.resize(start + size);
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(reinterpret_cast<char*>(out.data() + start), static_cast<std::streamsize>(size));
  return in.good() && static_cast<std::uintmax_t>(in.gcount()) == size;
}

// The fingerprint of a file of `size` bytes: the size, then the sampled bytes. False when it could not be read
// whole (for instance because it shrank meanwhile).
bool ReadFingerprint(std::filesystem::path const& path, std::uintmax_t size, std::vector<std::uint8_t>& fingerprint) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  fingerprint.clear();
  for (int i = 0; i < 8; ++i) fingerprint.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
  if (size <= 3 * kSampleSize) return ReadAt(in, 0, size, fingerprint);
  return ReadAt(in, 0, kSampleSize, fingerprint) && ReadAt(in, (size - kSampleSize) / 2, kSampleSize, fingerprint) &&
         ReadAt(in, size - kSampleSize, kSampleSize, fingerprint);
}

struct FileStamp {
  std::uintmax_t size;
  std::filesystem::file_time_type modified;
};

// One stat() per look: every cache load asks for the state, so this sits on the hot path of every load.
std::optional<FileStamp> StampOf(std::filesystem::path const& path) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  auto const sinceEpoch =
      std::chrono::seconds(status.st_mtim.tv_sec) + std::chrono::nanoseconds(status.st_mtim.tv_nsec);
  auto const modified = std::chrono::file_clock::from_sys(std::chrono::sys_time<std::chrono::nanoseconds>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch)));
  return FileStamp{static_cast<std::uintmax_t>(status.st_size),
                   std::chrono::time_point_cast<std::filesystem::file_time_type::duration>(modified)};
}

// Reads the fingerprint of the file as `stamp` describes it; retries a few times when the file changes while it
// is being read.
int Fingerprint(std::filesystem::path const& path, FileStamp& stamp, Guid& stateGuid) {
  std::vector<std::uint8_t> fingerprint;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (ReadFingerprint(path, stamp.size, fingerprint)) {
      auto const after = StampOf(path);
      if (after && after->size == stamp.size && after->modified == stamp.modified) {
        stateGuid = Guid::CreateFromName(kMediaContentNamespace, fingerprint);
        return kMetadataStatusOk;
      }
    }
    auto const now = StampOf(path);
    if (!now) return kMetadataStatusMediaUnavailable;
    stamp = *now;
  }
  return kMetadataStatusMediaUnavailable;
}

}  // namespace

std::filesystem::path ToFileSystemPath(std::u16string const& path) {
  // File names are bytes: the UTF-16 path carries those that are not valid UTF-8 as escapes.
  return std::filesystem::path(zelcore::text::UTF16ToPathBytes(path));
}

bool IsRegularFile(std::u16string const& path) {
  std::error_code error;
  return !path.empty() && std::filesystem::is_regular_file(ToFileSystemPath(path), error);
}

int FingerprintFile(std::filesystem::path const& path, Guid& stateGuid) {
  auto stamp = StampOf(path);
  if (!stamp) return kMetadataStatusMediaUnavailable;
  return Fingerprint(path, *stamp, stateGuid);
}

int FileFingerprint::GetStateGuid(Guid& stateGuid) {
  auto const readStart = std::filesystem::file_time_type::clock::now();
  auto stamp = StampOf(path_);
  if (!stamp) return kMetadataStatusMediaUnavailable;
  {
    std::lock_guard lock(mutex_);
    if (cached_ && cached_->size == stamp->size && cached_->modified == stamp->modified) {
      stateGuid = cached_->stateGuid;
      return kMetadataStatusOk;
    }
  }
  // Computed outside the lock: another thread asking meanwhile computes the same result.
  Guid computed;
  int const status = Fingerprint(path_, *stamp, computed);
  if (status != kMetadataStatusOk) return status;
  {
    std::lock_guard lock(mutex_);
    if (stamp->modified + kTimestampGranularity < readStart) {
      cached_ = Cached{stamp->size, stamp->modified, computed};
    } else {
      cached_.reset();
    }
  }
  stateGuid = computed;
  return kMetadataStatusOk;
}

int MediaInfo::GetContentAndMetadataStateGuid(std::string_view metadataPath, Guid& stateGuid) const {
  if (metadataPath != "/" && !metadataPath.empty()) return kMetadataStatusUnknownPath;
  return fingerprint_.GetStateGuid(stateGuid);
}

Media::Media(std::u16string path, InterfaceRef<UnknownBase> mediaInfo, InterfaceRef<IMedia> proxy)
    : path_(std::move(path)), mediaInfo_(std::move(mediaInfo)), proxy_(std::move(proxy)) {}

InterfaceRef<IMedia> Media::GetProxyMedia() const {
  std::lock_guard lock(mutex_);
  return proxy_;
}

void Media::SetProxyMedia(InterfaceRef<IMedia> const& proxy) {
  if (proxy && proxy.Identity() == dynamic_cast<void const*>(this)) {
    throw zelcore::config::zel_exception("A media cannot be its own proxy", kResultInvalidArgument);
  }
  WriteLock writeLock(GetBackendReadLock());
  std::lock_guard lock(mutex_);
  proxy_ = proxy;
}

}  // namespace BE::detail
