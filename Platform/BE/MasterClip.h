#pragma once

#include <cstdint>

#include "BE/Clip.h"
#include "BE/Export.h"
#include "BE/Media.h"
#include "BE/UpgradeValidator.h"
#include "zelcore/ClassRef.h"

namespace BE {

// A media imported into the project, with its clips: one clip per video stream and one per audio stream, each
// numbered from 0 within its media type. Asking twice for the same clip gives the same clip object while anyone
// holds it, and the clip's edits are kept by the master clip. Thread-safe.
struct BE_EXPORT IMasterClip : zelcore::classref::Unknown {
  ZEL_INTERFACE_NAME("BE::IMasterClip")

  virtual std::uint32_t GetClipCount(Guid const& mediaType) const = 0;
  // The clip of `mediaType` at `index`; empty when there is none.
  virtual InterfaceRef<IClip> GetClip(Guid const& mediaType, std::uint32_t index) const = 0;
  virtual InterfaceRef<IMedia> GetMedia() const = 0;
};

// A part of a master clip used as a clip source of its own (a subclip), with clips laid out like its master
// clip's. Thread-safe.
struct BE_EXPORT IChildClip : zelcore::classref::Unknown {
  ZEL_INTERFACE_NAME("BE::IChildClip")

  virtual InterfaceRef<IMasterClip> GetMasterClip() const = 0;
  virtual std::uint32_t GetClipCount(Guid const& mediaType) const = 0;
  virtual InterfaceRef<IClip> GetClip(Guid const& mediaType, std::uint32_t index) const = 0;
};

namespace MasterClipUtils {

// Whether `masterClip` is an XRef clip: a master clip that references media of another project (fixed when the
// master clip is made). False for an empty reference or a master clip of another implementation. Reading needs
// no permission, so any validator will do. May be called from any thread.
BE_EXPORT bool IsXRefClip(UpgradeValidator const& validator, InterfaceRef<IMasterClip> const& masterClip);

}  // namespace MasterClipUtils
}  // namespace BE
