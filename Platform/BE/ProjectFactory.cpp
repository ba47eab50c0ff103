#include "BE/ProjectFactory.h"

#include "BE/Detail/ProjectObjects.h"
#include "BE/Result.h"
#include "zelcore/ZelException.h"

namespace BE::ProjectFactory {
namespace {

using zelcore::config::zel_exception;

void CheckChannelCount(std::uint32_t channelCount) {
  if (channelCount == 0) throw zel_exception("An audio clip needs at least one channel", kResultInvalidArgument);
}

}  // namespace

InterfaceRef<IMedia> CreateMedia(std::u16string const& path, MediaOptions const& options) {
  if (path.empty()) throw zel_exception("A media needs a file path", kResultInvalidArgument);
  InterfaceRef<UnknownBase> mediaInfo = options.mediaInfo;
  if (!mediaInfo && options.withMediaInfo) mediaInfo = CreateMediaInfo(path);
  return InterfaceRef<IMedia>(detail::Media::AllocateClassInstance(path, std::move(mediaInfo), options.proxy));
}

InterfaceRef<UnknownBase> CreateMediaInfo(std::u16string const& path) {
  return InterfaceRef<UnknownBase>(detail::MediaInfo::AllocateClassInstance(detail::ToFileSystemPath(path)));
}

InterfaceRef<IMasterClip> CreateMasterClip(MasterClipOptions const& options) {
  if (!options.media) zelcore::config::DoThrowNullPtrException("BE::IMedia");
  std::vector<detail::ClipLayoutEntry> layout;
  for (std::uint32_t i = 0; i < options.videoClipCount; ++i) layout.push_back({kMediaType_Video, 0});
  for (std::uint32_t const channelCount : options.audioChannelCounts) {
    CheckChannelCount(channelCount);
    layout.push_back({kMediaType_Audio, channelCount});
  }
  return InterfaceRef<IMasterClip>(detail::MasterClip::AllocateClassInstance(options.media, layout, options.xref));
}

InterfaceRef<IChildClip> CreateChildClip(InterfaceRef<IMasterClip> const& masterClip) {
  if (!masterClip) zelcore::config::DoThrowNullPtrException("BE::IMasterClip");
  // Laid out from the master clip's interface, so a master clip of any implementation will do.
  std::vector<detail::ClipLayoutEntry> layout;
  for (std::uint32_t i = masterClip->GetClipCount(kMediaType_Video); i > 0; --i)
    layout.push_back({kMediaType_Video, 0});
  std::uint32_t const audioCount = masterClip->GetClipCount(kMediaType_Audio);
  for (std::uint32_t i = 0; i < audioCount; ++i) {
    auto const audio = InterfaceRef<IAudioClip>::Query(masterClip->GetClip(kMediaType_Audio, i));
    layout.push_back({kMediaType_Audio, audio ? audio->GetChannelCount() : 1});
  }
  return InterfaceRef<IChildClip>(detail::ChildClip::AllocateClassInstance(masterClip, layout));
}

InterfaceRef<IClip> CreateClip(InterfaceRef<IMedia> const& media, Guid const& mediaType, std::uint32_t channelCount) {
  if (!media) zelcore::config::DoThrowNullPtrException("BE::IMedia");
  if (mediaType != kMediaType_Audio && mediaType != kMediaType_Video) {
    throw zel_exception("Unknown media type " + mediaType.AsUTF8String(), kResultInvalidArgument);
  }
  if (mediaType == kMediaType_Audio) CheckChannelCount(channelCount);
  auto data = std::make_shared<detail::ClipData>(detail::Clip::InitialState(mediaType, channelCount));
  return InterfaceRef<IClip>(detail::Clip::AllocateClassInstance(media, mediaType, nullptr, std::move(data)));
}

}  // namespace BE::ProjectFactory
