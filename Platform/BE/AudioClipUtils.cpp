#include "BE/AudioClipUtils.h"

#include <set>
#include <string>

#include "BE/Backend.h"
#include "BE/Detail/ProjectObjects.h"
#include "BE/Result.h"
#include "zelcore/ZelException.h"

namespace BE::AudioClipUtils {
namespace {

using zelcore::config::zel_exception;

std::string Describe(ClipChannel const& channel) {
  return "(" + std::to_string(channel.first) + ", " + std::to_string(channel.second) + ")";
}

}  // namespace

void SetSecondaryContentAssignments(InterfaceRef<IAudioClip> const& audioClip,
                                    InterfaceRef<IMasterClip> const& masterClip,
                                    std::vector<ClipChannel> const& channels) {
  if (!audioClip) zelcore::config::DoThrowNullPtrException("BE::IAudioClip");
  if (!masterClip) zelcore::config::DoThrowNullPtrException("BE::IMasterClip");
  auto* const clip = static_cast<detail::Clip*>(audioClip->QueryMap(detail::Clip::InterfaceName()));
  if (clip == nullptr) {
    throw zel_exception("The audio clip was not made by this project model", kResultForeignObject);
  }

  // Held across the checks too, so the channel counts checked are the ones in force when the assignment lands.
  WriteLock writeLock(GetBackendReadLock());
  std::uint32_t const clipCount = masterClip->GetClipCount(kMediaType_Audio);
  std::set<ClipChannel> seen;
  for (auto const& channel : channels) {
    auto const [clipIndex, channelIndex] = channel;
    if (clipIndex < 0 || clipIndex >= static_cast<std::int64_t>(clipCount)) {
      throw zel_exception(
          "Channel " + Describe(channel) + ": the master clip has " + std::to_string(clipCount) + " audio clips",
          kResultInvalidArgument);
    }
    auto const source =
        InterfaceRef<IAudioClip>::Query(masterClip->GetClip(kMediaType_Audio, static_cast<std::uint32_t>(clipIndex)));
    std::int64_t const channelCount = source ? source->GetChannelCount() : 0;
    if (channelIndex < 0 || channelIndex >= channelCount) {
      throw zel_exception("Channel " + Describe(channel) + ": audio clip " + std::to_string(clipIndex) + " has " +
                              std::to_string(channelCount) + " channels",
                          kResultInvalidArgument);
    }
    if (!seen.insert(channel).second) {
      throw zel_exception("Channel " + Describe(channel) + " is assigned twice", kResultInvalidArgument);
    }
  }
  clip->SetAssignments(channels);
}

}  // namespace BE::AudioClipUtils
