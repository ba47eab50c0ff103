#include "BE/MasterClip.h"

#include "BE/Detail/ProjectObjects.h"

namespace BE {
namespace detail {

ClipSlots::ClipSlots(InterfaceRef<IMedia> media, std::vector<ClipLayoutEntry> const& layout)
    : media_(std::move(media)) {
  slots_.reserve(layout.size());
  for (auto const& entry : layout) {
    slots_.push_back(
        Slot{entry.mediaType, std::make_shared<ClipData>(Clip::InitialState(entry.mediaType, entry.channelCount)), {}});
  }
}

std::uint32_t ClipSlots::Count(Guid const& mediaType) const {
  // The layout is fixed at construction; only the clip objects change.
  std::uint32_t count = 0;
  for (auto const& slot : slots_) count += slot.mediaType == mediaType ? 1 : 0;
  return count;
}

InterfaceRef<IClip> ClipSlots::Get(Guid const& mediaType, std::uint32_t index,
                                   InterfaceRef<UnknownBase> const& owner) const {
  std::lock_guard lock(mutex_);
  for (auto& slot : slots_) {
    if (slot.mediaType != mediaType) continue;
    if (index-- > 0) continue;
    auto clip = slot.clip.lock();
    if (!clip) {
      clip = Clip::AllocateClassInstance(media_, mediaType, owner, slot.data);
      slot.clip = clip;
    }
    return InterfaceRef<IClip>(std::move(clip));
  }
  return {};
}

MasterClip::MasterClip(InterfaceRef<IMedia> media, std::vector<ClipLayoutEntry> const& layout, bool xref)
    : media_(media), xref_(xref), slots_(std::move(media), layout) {}

InterfaceRef<IClip> MasterClip::GetClip(Guid const& mediaType, std::uint32_t index) const {
  InterfaceRef<UnknownBase> self(const_cast<MasterClip*>(this)->GetSharedFromThis<UnknownBase>());
  return slots_.Get(mediaType, index, self);
}

ChildClip::ChildClip(InterfaceRef<IMasterClip> masterClip, std::vector<ClipLayoutEntry> const& layout)
    : masterClip_(masterClip), slots_(masterClip->GetMedia(), layout) {}

InterfaceRef<IClip> ChildClip::GetClip(Guid const& mediaType, std::uint32_t index) const {
  InterfaceRef<UnknownBase> self(const_cast<ChildClip*>(this)->GetSharedFromThis<UnknownBase>());
  return slots_.Get(mediaType, index, self);
}

}  // namespace detail

bool MasterClipUtils::IsXRefClip(UpgradeValidator const&, InterfaceRef<IMasterClip> const& masterClip) {
  if (!masterClip) return false;
  auto const* master = static_cast<detail::MasterClip*>(masterClip->QueryMap(detail::MasterClip::InterfaceName()));
  return master != nullptr && master->IsXRef();
}

}  // namespace BE
