#pragma once

#include <vector>

#include "BE/Clip.h"
#include "BE/Export.h"
#include "BE/MasterClip.h"

namespace BE::AudioClipUtils {

// Makes the channels of `audioClip` the listed channels of `masterClip`'s audio clips, in list order (an empty
// list removes the assignments). `audioClip` must have the multichannel layout. Every pair is checked against the
// master clip before anything changes: a clip index or channel index out of range, or a channel listed twice,
// throws zel_exception kResultInvalidArgument naming the pair; a wrong layout throws kResultInvalidArgument; an
// empty reference throws the null-pointer exception; an audio clip of another implementation throws
// kResultForeignObject. Takes the project's write lock.
BE_EXPORT void SetSecondaryContentAssignments(InterfaceRef<IAudioClip> const& audioClip,
                                              InterfaceRef<IMasterClip> const& masterClip,
                                              std::vector<ClipChannel> const& channels);

}  // namespace BE::AudioClipUtils
