#include "Analyzers/ClipPreparation.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "BE/AudioClipUtils.h"
#include "BE/Media.h"
#include "Host/AnalyzerRegistry.h"
#include "Host/IAnalyzerHost.h"
#include "zelcore/ZelException.h"

namespace Quillan::Analyzers {
namespace {

using zelcore::InterfaceRef;

// A negative time clears the in- and out-point, so the prepared clip spans its whole media.
constexpr std::int64_t kWholeMediaTime = -101606400000000000;
static_assert(static_cast<std::uint64_t>(kWholeMediaTime) == 0xFE9705847D180000);

template <class T>
InterfaceRef<T> QueryOrThrow(InterfaceRef<BE::IClip> const& clip) {
  auto found = InterfaceRef<T>::Query(clip);
  if (!found) zelcore::config::DoThrowNullPtrException(std::string(T::InterfaceName()).c_str());
  return found;
}

// Every channel of every audio clip of `masterClip`: clip by clip, channels in ascending order within a clip.
std::vector<BE::ClipChannel> AllAudioChannels(InterfaceRef<BE::IMasterClip> const& masterClip) {
  std::vector<BE::ClipChannel> channels;
  std::uint32_t const clipCount = masterClip->GetClipCount(BE::kMediaType_Audio);
  for (std::uint32_t index = 0; index < clipCount; ++index) {
    auto const audioClip = InterfaceRef<BE::IAudioClip>::Query(masterClip->GetClip(BE::kMediaType_Audio, index));
    if (!audioClip) continue;
    std::uint32_t const channelCount = audioClip->GetChannelCount();
    for (std::uint32_t channel = 0; channel < channelCount; ++channel) channels.emplace_back(index, channel);
  }
  return channels;
}

}  // namespace

InterfaceRef<BE::IClip> CreateClipToAnalyzeMedia(BE::UpgradeValidator const& validator,
                                                 InterfaceRef<BE::IMasterClip> const& masterClip,
                                                 zelcore::utility::Guid mediaType) {
  if (!masterClip) return {};
  auto const source = masterClip->GetClip(mediaType, 0);
  if (!source) return {};
  InterfaceRef<BE::IClip> copy = source->Copy();
  // An empty copy has no executor either.
  auto const executor = QueryOrThrow<BE::IExecutor>(copy);
  executor->ExecuteAction(copy->CreateInPointAction(kWholeMediaTime), true, validator, false);
  executor->ExecuteAction(copy->CreateOutPointAction(kWholeMediaTime), true, validator, false);

  if (mediaType == BE::kMediaType_Audio && masterClip->GetClipCount(BE::kMediaType_Audio) > 1) {
    auto const audioClip = QueryOrThrow<BE::IAudioClip>(copy);
    audioClip->SetAudioChannelType(BE::kAudioChannelTypeMultichannel);
    BE::AudioClipUtils::SetSecondaryContentAssignments(audioClip, masterClip, AllAudioChannels(masterClip));
  }
  return copy;
}

InterfaceRef<IAnalyzer> CreateUnmanagedAnalyzer(InterfaceRef<BE::IClip> const& clip,
                                                zelcore::utility::Guid const& analyzerId, std::any const& parameters) {
  AnalyzerFactory const factory = AnalyzerRegistry::GetDefaultRegistry()->GetAnalyzerFactory(analyzerId);
  if (!factory) throw std::bad_function_call();
  return factory(clip, parameters, zelcore::InterfaceWeakRef<IAnalyzerHost>());
}

}  // namespace Quillan::Analyzers
