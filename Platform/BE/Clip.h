#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "BE/Export.h"
#include "BE/Media.h"
#include "BE/UpgradeValidator.h"
#include "zelcore/ClassRef.h"
#include "zelcore/Guid.h"

namespace BE {

// One edit of a clip, made by the clip's action factories and applied through its IExecutor. Times are in the
// project's time units; a negative time clears the point, so the clip starts at its media's start (in-point) or
// ends at its media's end (out-point).
struct ClipAction {
  enum class Kind : std::uint8_t {
    kSetInPoint,
    kSetOutPoint,
  };

  Kind kind = Kind::kSetInPoint;
  std::int64_t time = -1;

  friend bool operator==(ClipAction const&, ClipAction const&) = default;
};

// A clip: a use of a media (of one media type) with its own edits. Thread-safe.
struct BE_EXPORT IClip : zelcore::classref::Unknown {
  ZEL_INTERFACE_NAME("BE::IClip")

  // Fills `stateGuid` with the clip's content state and returns kMetadataStatusOk, or returns the media's failure
  // status. The state is derived from the media's content state, the clip's media type and its edits (in- and
  // out-point, audio channel type and assignments), so an edited clip has a state of its own while two clips
  // with the same media and edits share one.
  virtual int GetContentStateGuid(Guid& stateGuid) const = 0;
  // The master-clip object that the clip belongs to: it answers IMasterClip, or IChildClip for a clip of a child
  // clip. Empty for a clip made outside any master clip.
  virtual InterfaceRef<UnknownBase> GetMasterClip() const = 0;
  // The original (full-quality) media; GetClipMedia chooses between it and its proxy.
  virtual InterfaceRef<IMedia> GetMedia() const = 0;
  virtual Guid GetMediaType() const = 0;
  // An independent clip with the same media, master-clip object and edits; changing one never changes the other.
  virtual InterfaceRef<IClip> Copy() const = 0;
  // Action that sets the in-point to `time` (a negative time clears it).
  virtual ClipAction CreateInPointAction(std::int64_t const& time) const = 0;
  // Action that sets the out-point to `time` (a negative time clears it).
  virtual ClipAction CreateOutPointAction(std::int64_t const& time) const = 0;
  virtual std::optional<std::int64_t> GetInPoint() const = 0;
  virtual std::optional<std::int64_t> GetOutPoint() const = 0;
  // The recorded actions applied to this clip, oldest first (a copy starts with its original's history).
  virtual std::vector<ClipAction> GetEditHistory() const = 0;
};

// Applies actions to the clip it is queried from.
struct BE_EXPORT IExecutor : zelcore::classref::Unknown {
  ZEL_INTERFACE_NAME("BE::IExecutor")

  // Checks `action` and, unless `validateOnly`, applies it; with `record` the applied action is appended to the
  // clip's edit history. Throws zel_exception kResultNotPermitted for a read-only validator and
  // kResultInvalidArgument for an unknown action or one that would put the in-point at or after the out-point; a
  // refused action changes nothing. Takes the project's write lock.
  virtual void ExecuteAction(ClipAction const& action, bool record, UpgradeValidator const& validator,
                             bool validateOnly) = 0;
};

// Channel layouts of an audio clip.
inline constexpr int kAudioChannelTypeMono = 1;
inline constexpr int kAudioChannelTypeStereo = 2;
// Every channel stays a channel of its own. With secondary content assignments, the clip's channels are the
// assigned channels of its master clip's audio clips (AudioClipUtils).
inline constexpr int kAudioChannelTypeMultichannel = 3;

// One channel of one audio clip of a master clip: (clip index among the master clip's audio clips, channel index
// within that clip).
using ClipChannel = std::pair<std::int64_t, std::int64_t>;

// The audio side of a clip of audio media type. Thread-safe.
struct BE_EXPORT IAudioClip : zelcore::classref::Unknown {
  ZEL_INTERFACE_NAME("BE::IAudioClip")

  // 1 for mono, 2 for stereo; for multichannel the number of assigned channels, or the clip's own channel count
  // when nothing is assigned.
  virtual std::uint32_t GetChannelCount() const = 0;
  // Sets the channel layout (kAudioChannelType...). Leaving the multichannel layout drops the clip's channel
  // assignments. Throws kResultInvalidArgument for another value. Takes the project's write lock.
  virtual void SetAudioChannelType(int channelType) = 0;
  // The layout; a new audio clip is mono with one channel, stereo with two and multichannel otherwise.
  virtual int GetAudioChannelType() const = 0;
  virtual std::vector<ClipChannel> GetSecondaryContentAssignments() const = 0;
};

// Which media of a clip to take.
enum class ProxyHandling : std::int32_t {
  // The original, full-quality media.
  kOriginal = 0,
  // The proxy media; the original when the media has no proxy.
  kProxy = 1,
  // What the project uses now: the proxy when proxies are enabled (IBackend) and one exists, else the original.
  kCurrent = 2,
};

// The media of `clip` chosen by `handling`; empty for an empty clip. Throws kResultInvalidArgument for a handling
// value outside the enumeration. May be called from any thread.
BE_EXPORT InterfaceRef<IMedia> GetClipMedia(InterfaceRef<IClip> const& clip, ProxyHandling handling);

// Whether the file of `clip`'s media exists (as a regular file). With `considerProxy` the media tested is the one
// the project uses now (ProxyHandling::kCurrent), so a clip played from an existing proxy is online even when its
// original is not; without it, the original media is tested. An empty clip is offline. May be called from any
// thread.
BE_EXPORT bool IsMediaOnline(InterfaceRef<IClip> const& clip, bool considerProxy);

}  // namespace BE
