#pragma once

#include <any>

#include "Analyzers/IAnalyzer.h"
#include "BE/Clip.h"
#include "BE/MasterClip.h"
#include "BE/UpgradeValidator.h"
#include "Foundation/Export.h"
#include "zelcore/ClassRef.h"
#include "zelcore/Guid.h"

// Helpers for analyzer modules and the application outside the host's job system (public header). Neither keeps
// state; both run on the caller's thread.
namespace Quillan::Analyzers {

// A new clip through which `masterClip`'s media of `mediaType` can be analysed: a copy of the master clip's first
// clip of that type with its in- and out-point cleared, so that it spans the whole media. For audio with several
// audio clips the copy becomes multichannel and carries every channel of every audio clip, clip by clip.
//
// Returns an empty clip when `masterClip` is empty or has no clip of `mediaType`. Throws the null-pointer exception
// naming BE::IExecutor or BE::IAudioClip when the copy lacks that interface, and whatever the project model throws
// (a read-only `validator` refuses the edits); no partial result is returned. Must run where the project model
// lets `validator` execute actions.
QUILLAN_EXPORT zelcore::InterfaceRef<BE::IClip> CreateClipToAnalyzeMedia(
    BE::UpgradeValidator const& validator, zelcore::InterfaceRef<BE::IMasterClip> const& masterClip,
    zelcore::utility::Guid mediaType);

// The analyzer of `analyzerId` for `clip`, built by its registered factory with no host: the host neither counts,
// tracks nor terminates it, and cancelling its progress item does nothing. Returns the factory's result unchanged,
// empty when the analyzer does not apply. Throws zel_exception kResultAnalyzerNotRegistered for an unknown id and
// std::bad_function_call for an empty factory.
QUILLAN_EXPORT zelcore::InterfaceRef<IAnalyzer> CreateUnmanagedAnalyzer(zelcore::InterfaceRef<BE::IClip> const& clip,
                                                                        zelcore::utility::Guid const& analyzerId,
                                                                        std::any const& parameters);

}  // namespace Quillan::Analyzers
