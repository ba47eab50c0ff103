#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BE/Clip.h"
#include "BE/MasterClip.h"
#include "BE/Media.h"
#include "zelcore/ClassRef.h"
#include "zelcore/Guid.h"

// The project model's object classes. Outside code sees them only through their interfaces; inside the library
// they find each other through QueryMap with their own class names.
namespace BE::detail {

using zelcore::classref::ClassStatics;
using zelcore::classref::QueryMapOf;

// The file-system path of a UTF-16 path (invalid UTF-16 becomes U+FFFD and so names no existing file).
std::filesystem::path ToFileSystemPath(std::u16string const& path);
bool IsRegularFile(std::u16string const& path);

// The content state of the file at `path` (ContentIdentity). Returns a kMetadataStatus value.
int FingerprintFile(std::filesystem::path const& path, Guid& stateGuid);

class MediaInfo final : public IMediaMetaData, public ClassStatics<MediaInfo> {
 public:
  ZEL_INTERFACE_NAME("BE::detail::MediaInfo")

  explicit MediaInfo(std::filesystem::path path) : path_(std::move(path)) {}

  void* QueryMap(std::string_view name) override { return QueryMapOf<MediaInfo, IMediaMetaData>(this, name); }

  // IMediaMetaData:
  int GetContentAndMetadataStateGuid(std::string_view metadataPath, Guid& stateGuid) const override;

 private:
  std::filesystem::path const path_;
};

class Media final : public IMedia, public ClassStatics<Media> {
 public:
  ZEL_INTERFACE_NAME("BE::detail::Media")

  Media(std::u16string path, InterfaceRef<UnknownBase> mediaInfo, InterfaceRef<IMedia> proxy);

  void* QueryMap(std::string_view name) override { return QueryMapOf<Media, IMedia>(this, name); }

  // IMedia:
  std::u16string GetFilePath() const override { return path_; }
  InterfaceRef<UnknownBase> GetMediaInfo() const override { return mediaInfo_; }
  InterfaceRef<IMedia> GetProxyMedia() const override;
  void SetProxyMedia(InterfaceRef<IMedia> const& proxy) override;

 private:
  std::u16string const path_;
  InterfaceRef<UnknownBase> const mediaInfo_;
  mutable std::mutex mutex_;
  InterfaceRef<IMedia> proxy_;  // guarded by mutex_
};

// What a clip's edits have made of it.
struct ClipState {
  std::optional<std::int64_t> inPoint;
  std::optional<std::int64_t> outPoint;
  std::uint32_t ownChannelCount = 0;  // audio only
  int channelType = 0;                // audio only
  std::vector<ClipChannel> assignments;
  std::vector<ClipAction> history;
};

// A clip's state, shared by the clip object and the master clip that keeps it.
struct ClipData {
  explicit ClipData(ClipState initial) : state(std::move(initial)) {}

  std::mutex mutex;
  ClipState state;  // guarded by mutex
};

// A clip of audio media type also answers IAudioClip.
class Clip final : public IClip, public IExecutor, public IAudioClip, public ClassStatics<Clip> {
 public:
  ZEL_INTERFACE_NAME("BE::detail::Clip")

  Clip(InterfaceRef<IMedia> media, Guid const& mediaType, InterfaceRef<UnknownBase> masterClip,
       std::shared_ptr<ClipData> data);

  // A fresh state for a clip of `mediaType` with `channelCount` channels (audio).
  static ClipState InitialState(Guid const& mediaType, std::uint32_t channelCount);

  void* QueryMap(std::string_view name) override;

  // IClip:
  int GetContentStateGuid(Guid& stateGuid) const override;
  InterfaceRef<UnknownBase> GetMasterClip() const override { return masterClip_; }
  InterfaceRef<IMedia> GetMedia() const override { return media_; }
  Guid GetMediaType() const override { return mediaType_; }
  InterfaceRef<IClip> Copy() const override;
  ClipAction CreateInPointAction(std::int64_t const& time) const override;
  ClipAction CreateOutPointAction(std::int64_t const& time) const override;
  std::optional<std::int64_t> GetInPoint() const override;
  std::optional<std::int64_t> GetOutPoint() const override;
  std::vector<ClipAction> GetEditHistory() const override;

  // IExecutor:
  void ExecuteAction(ClipAction const& action, bool record, UpgradeValidator const& validator,
                     bool validateOnly) override;

  // IAudioClip:
  std::uint32_t GetChannelCount() const override;
  void SetAudioChannelType(int channelType) override;
  int GetAudioChannelType() const override;
  std::vector<ClipChannel> GetSecondaryContentAssignments() const override;

  // Records already validated assignments; throws kResultInvalidArgument unless the layout is multichannel.
  // The caller holds the project's write lock.
  void SetAssignments(std::vector<ClipChannel> channels);

 private:
  bool IsAudio() const { return mediaType_ == kMediaType_Audio; }
  ClipState Snapshot() const;

  InterfaceRef<IMedia> const media_;
  Guid const mediaType_;
  InterfaceRef<UnknownBase> const masterClip_;
  std::shared_ptr<ClipData> const data_;
};

// One clip of a master or child clip, before it is made.
struct ClipLayoutEntry {
  Guid mediaType;
  std::uint32_t channelCount = 0;
};

// The clips of a master or child clip. Keeps every clip's state, and the clip object only while someone holds it,
// because a clip holds its master-clip object. Thread-safe.
class ClipSlots {
 public:
  ClipSlots(InterfaceRef<IMedia> media, std::vector<ClipLayoutEntry> const& layout);

  std::uint32_t Count(Guid const& mediaType) const;
  // `owner` is the master-clip object the slots belong to.
  InterfaceRef<IClip> Get(Guid const& mediaType, std::uint32_t index, InterfaceRef<UnknownBase> const& owner) const;

 private:
  struct Slot {
    Guid mediaType;
    std::shared_ptr<ClipData> data;
    std::weak_ptr<Clip> clip;  // guarded by mutex_
  };

  InterfaceRef<IMedia> const media_;
  mutable std::mutex mutex_;
  mutable std::vector<Slot> slots_;
};

class MasterClip final : public IMasterClip, public ClassStatics<MasterClip> {
 public:
  ZEL_INTERFACE_NAME("BE::detail::MasterClip")

  MasterClip(InterfaceRef<IMedia> media, std::vector<ClipLayoutEntry> const& layout, bool xref);

  void* QueryMap(std::string_view name) override { return QueryMapOf<MasterClip, IMasterClip>(this, name); }

  // IMasterClip:
  std::uint32_t GetClipCount(Guid const& mediaType) const override { return slots_.Count(mediaType); }
  InterfaceRef<IClip> GetClip(Guid const& mediaType, std::uint32_t index) const override;
  InterfaceRef<IMedia> GetMedia() const override { return media_; }

  bool IsXRef() const { return xref_; }

 private:
  InterfaceRef<IMedia> const media_;
  bool const xref_;
  ClipSlots slots_;
};

class ChildClip final : public IChildClip, public ClassStatics<ChildClip> {
 public:
  ZEL_INTERFACE_NAME("BE::detail::ChildClip")

  ChildClip(InterfaceRef<IMasterClip> masterClip, std::vector<ClipLayoutEntry> const& layout);

  void* QueryMap(std::string_view name) override { return QueryMapOf<ChildClip, IChildClip>(this, name); }

  // IChildClip:
  InterfaceRef<IMasterClip> GetMasterClip() const override { return masterClip_; }
  std::uint32_t GetClipCount(Guid const& mediaType) const override { return slots_.Count(mediaType); }
  InterfaceRef<IClip> GetClip(Guid const& mediaType, std::uint32_t index) const override;

 private:
  InterfaceRef<IMasterClip> const masterClip_;
  ClipSlots slots_;
};

}  // namespace BE::detail
