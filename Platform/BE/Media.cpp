#include "BE/Media.h"

#include <system_error>

#include "BE/Backend.h"
#include "BE/Detail/ContentIdentity.h"
#include "BE/Detail/ProjectObjects.h"
#include "BE/Result.h"
#include "zelcore/TextConversions.h"

namespace BE::detail {

std::filesystem::path ToFileSystemPath(std::u16string const& path) {
  // File names are bytes: the UTF-16 path carries those that are not valid UTF-8 as escapes.
  return std::filesystem::path(zelcore::text::UTF16ToPathBytes(path));
}

bool IsRegularFile(std::u16string const& path) {
  std::error_code error;
  return !path.empty() && std::filesystem::is_regular_file(ToFileSystemPath(path), error);
}

int FingerprintFile(std::filesystem::path const& path, Guid& stateGuid) {
  return ContentIdentity::Get().StateOf(path, stateGuid);
}

int MediaInfo::GetContentAndMetadataStateGuid(std::string_view metadataPath, Guid& stateGuid) const {
  if (metadataPath != "/" && !metadataPath.empty()) return kMetadataStatusUnknownPath;
  return FingerprintFile(path_, stateGuid);
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

namespace BE {

int GetContentStateOfOpenFile(int fd, Guid& stateGuid) {
  return detail::ContentIdentity::Get().StateOfOpenFile(fd, stateGuid);
}

void ForgetContentIdentitiesForTesting() { detail::ContentIdentity::Get().ForgetInProcessForTesting(); }

std::uint64_t GetContentHashCountForTesting() { return detail::ContentIdentity::Get().HashCountForTesting(); }

}  // namespace BE
