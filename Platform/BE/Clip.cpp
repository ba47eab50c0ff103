#include "BE/Clip.h"

#include <string>

#include "BE/Backend.h"
#include "BE/Detail/ProjectObjects.h"
#include "BE/Result.h"
#include "zelcore/ZelException.h"

namespace BE {
namespace detail {
namespace {

using zelcore::config::zel_exception;

// Namespace of the name-based GUIDs of clip content states.
constexpr Guid kClipContentNamespace{
    Guid::Bytes{0xd2, 0x71, 0x0c, 0x9e, 0x3b, 0x85, 0x4e, 0x02, 0xb4, 0x6f, 0x58, 0x1d, 0xa7, 0xc3, 0x2e, 0x90}};

void AppendInteger(std::vector<std::uint8_t>& bytes, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void AppendPoint(std::vector<std::uint8_t>& bytes, std::optional<std::int64_t> const& point) {
  bytes.push_back(point ? 1 : 0);
  AppendInteger(bytes, point ? static_cast<std::uint64_t>(*point) : 0);
}

int MediaStateGuid(InterfaceRef<IMedia> const& media, Guid& stateGuid) {
  auto const metadata = InterfaceRef<IMediaMetaData>::Query(media->GetMediaInfo());
  if (metadata) return metadata->GetContentAndMetadataStateGuid("/", stateGuid);
  // A media without media info still has content.
  return FingerprintFile(ToFileSystemPath(media->GetFilePath()), stateGuid);
}

std::uint32_t ChannelCountOf(ClipState const& state) {
  switch (state.channelType) {
    case kAudioChannelTypeMono:
      return 1;
    case kAudioChannelTypeStereo:
      return 2;
    default:
      return state.assignments.empty() ? state.ownChannelCount : static_cast<std::uint32_t>(state.assignments.size());
  }
}

}  // namespace

Clip::Clip(InterfaceRef<IMedia> media, Guid const& mediaType, InterfaceRef<UnknownBase> masterClip,
           std::shared_ptr<ClipData> data)
    : media_(std::move(media)), mediaType_(mediaType), masterClip_(std::move(masterClip)), data_(std::move(data)) {}

ClipState Clip::InitialState(Guid const& mediaType, std::uint32_t channelCount) {
  ClipState state;
  if (mediaType == kMediaType_Audio) {
    state.ownChannelCount = channelCount;
    state.channelType = channelCount == 1   ? kAudioChannelTypeMono
                        : channelCount == 2 ? kAudioChannelTypeStereo
                                            : kAudioChannelTypeMultichannel;
  }
  return state;
}

void* Clip::QueryMap(std::string_view name) {
  if (name == IAudioClip::InterfaceName()) return IsAudio() ? static_cast<IAudioClip*>(this) : nullptr;
  return QueryMapOf<Clip, IClip, IExecutor>(this, name);
}

ClipState Clip::Snapshot() const {
  std::lock_guard lock(data_->mutex);
  return data_->state;
}

int Clip::GetContentStateGuid(Guid& stateGuid) const {
  Guid mediaState;
  int const status = MediaStateGuid(media_, mediaState);
  if (status != kMetadataStatusOk) return status;
  ClipState const state = Snapshot();
  std::vector<std::uint8_t> name(mediaState.bytes().begin(), mediaState.bytes().end());
  name.insert(name.end(), mediaType_.bytes().begin(), mediaType_.bytes().end());
  AppendPoint(name, state.inPoint);
  AppendPoint(name, state.outPoint);
  if (IsAudio()) {
    AppendInteger(name, static_cast<std::uint64_t>(state.channelType));
    AppendInteger(name, ChannelCountOf(state));
    for (auto const& [clipIndex, channelIndex] : state.assignments) {
      AppendInteger(name, static_cast<std::uint64_t>(clipIndex));
      AppendInteger(name, static_cast<std::uint64_t>(channelIndex));
    }
  }
  stateGuid = Guid::CreateFromName(kClipContentNamespace, name);
  return kMetadataStatusOk;
}

InterfaceRef<IClip> Clip::Copy() const {
  auto data = std::make_shared<ClipData>(Snapshot());
  return InterfaceRef<IClip>(Clip::AllocateClassInstance(media_, mediaType_, masterClip_, std::move(data)));
}

ClipAction Clip::CreateInPointAction(std::int64_t const& time) const {
  return ClipAction{ClipAction::Kind::kSetInPoint, time};
}

ClipAction Clip::CreateOutPointAction(std::int64_t const& time) const {
  return ClipAction{ClipAction::Kind::kSetOutPoint, time};
}

std::optional<std::int64_t> Clip::GetInPoint() const {
  std::lock_guard lock(data_->mutex);
  return data_->state.inPoint;
}

std::optional<std::int64_t> Clip::GetOutPoint() const {
  std::lock_guard lock(data_->mutex);
  return data_->state.outPoint;
}

std::vector<ClipAction> Clip::GetEditHistory() const {
  std::lock_guard lock(data_->mutex);
  return data_->state.history;
}

void Clip::ExecuteAction(ClipAction const& action, bool record, UpgradeValidator const& validator, bool validateOnly) {
  if (!validator.AllowsChanges()) {
    throw zel_exception("The clip cannot be changed with a read-only validator", kResultNotPermitted);
  }
  WriteLock writeLock(GetBackendReadLock());
  std::lock_guard lock(data_->mutex);
  ClipState& state = data_->state;
  std::optional<std::int64_t> const point = action.time < 0 ? std::nullopt : std::optional(action.time);
  std::optional<std::int64_t> inPoint = state.inPoint, outPoint = state.outPoint;
  switch (action.kind) {
    case ClipAction::Kind::kSetInPoint:
      inPoint = point;
      break;
    case ClipAction::Kind::kSetOutPoint:
      outPoint = point;
      break;
    default:
      throw zel_exception("Unknown clip action " + std::to_string(static_cast<int>(action.kind)),
                          kResultInvalidArgument);
  }
  if (inPoint && outPoint && *inPoint >= *outPoint) {
    throw zel_exception(
        "The in-point " + std::to_string(*inPoint) + " must lie before the out-point " + std::to_string(*outPoint),
        kResultInvalidArgument);
  }
  if (validateOnly) return;
  state.inPoint = inPoint;
  state.outPoint = outPoint;
  if (record) state.history.push_back(action);
}

std::uint32_t Clip::GetChannelCount() const {
  std::lock_guard lock(data_->mutex);
  return ChannelCountOf(data_->state);
}

void Clip::SetAudioChannelType(int channelType) {
  if (channelType != kAudioChannelTypeMono && channelType != kAudioChannelTypeStereo &&
      channelType != kAudioChannelTypeMultichannel) {
    throw zel_exception("Unknown audio channel type " + std::to_string(channelType), kResultInvalidArgument);
  }
  WriteLock writeLock(GetBackendReadLock());
  std::lock_guard lock(data_->mutex);
  data_->state.channelType = channelType;
  if (channelType != kAudioChannelTypeMultichannel) data_->state.assignments.clear();
}

int Clip::GetAudioChannelType() const {
  std::lock_guard lock(data_->mutex);
  return data_->state.channelType;
}

std::vector<ClipChannel> Clip::GetSecondaryContentAssignments() const {
  std::lock_guard lock(data_->mutex);
  return data_->state.assignments;
}

void Clip::SetAssignments(std::vector<ClipChannel> channels) {
  std::lock_guard lock(data_->mutex);
  if (data_->state.channelType != kAudioChannelTypeMultichannel) {
    throw zel_exception("Channel assignments need the multichannel audio channel type (" +
                            std::to_string(kAudioChannelTypeMultichannel) + "), the clip has " +
                            std::to_string(data_->state.channelType),
                        kResultInvalidArgument);
  }
  data_->state.assignments = std::move(channels);
}

}  // namespace detail

InterfaceRef<IMedia> GetClipMedia(InterfaceRef<IClip> const& clip, ProxyHandling handling) {
  if (handling != ProxyHandling::kOriginal && handling != ProxyHandling::kProxy &&
      handling != ProxyHandling::kCurrent) {
    throw zelcore::config::zel_exception("Unknown proxy handling " + std::to_string(static_cast<int>(handling)),
                                         kResultInvalidArgument);
  }
  if (!clip) return {};
  auto media = clip->GetMedia();
  if (!media || handling == ProxyHandling::kOriginal) return media;
  if (handling == ProxyHandling::kCurrent && !GetBackend()->AreProxiesEnabled()) return media;
  auto proxy = media->GetProxyMedia();
  return proxy ? proxy : media;
}

bool IsMediaOnline(InterfaceRef<IClip> const& clip, bool considerProxy) {
  auto const media = GetClipMedia(clip, considerProxy ? ProxyHandling::kCurrent : ProxyHandling::kOriginal);
  return media && detail::IsRegularFile(media->GetFilePath());
}

}  // namespace BE
