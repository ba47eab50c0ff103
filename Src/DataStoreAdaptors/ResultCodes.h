#pragma once

#include "zelcore/ZelException.h"

namespace Quillan {

using Result = zelcore::config::Result;

// Every result code of the library, in one place. Failures carry them inside zel_exception, thrown or through a
// failed future; the registry returns kResultRegistrationRefused instead of throwing it.
inline constexpr Result kResultRegistrationAccepted = 0;
// Nothing cached: the compound store's ignore switch, a target without a data source identity, a sidecar target
// without a location.
inline constexpr Result kResultNotCached = 0xA00F0001;
// Reserved; never raised, and never counted as a sidecar miss.
inline constexpr Result kResultReserved = 0xA00F0002;
inline constexpr Result kResultSidecarFileNotFound = 0xA00F0003;
inline constexpr Result kResultSidecarEntryNotFound = 0xA00F0004;
inline constexpr Result kResultSidecarWriteFailed = 0xA00F0005;
inline constexpr Result kResultJobCancelled = 0xA00F0007;
inline constexpr Result kResultAnalyzerNotRegistered = 0xA00F0008;
inline constexpr Result kResultNotImplemented = 0xA00F000C;
inline constexpr Result kResultTargetMissing = 0xA00F000D;
// An empty cache key; also the registration of a null GUID or an empty factory.
inline constexpr Result kResultIllegalArgument = 0xA00F000E;
inline constexpr Result kResultRegistrationRefused = kResultIllegalArgument;
// No store (left) to serve a request; or the host refuses a clip, builds no analyzer, or is gone.
inline constexpr Result kResultUnavailable = 0xA00F000F;
// The analyzer does not apply to the media: it reads a kind of stream the file does not have (sound from a file
// without audio, pictures from a file without video, cover art aside). Neither a failure of the file nor a result.
inline constexpr Result kResultNotApplicable = 0xA00F0010;
// A file that the media readers cannot open as media (a script, a picture, a subtitle file): an answer, not a fault.
inline constexpr Result kResultNotMediaFile = 0xA00F0011;
// The media cache's miss, and its two success codes of an item lookup (served from memory, or delivered later).
inline constexpr Result kResultMediaCacheMiss = 0xA0330001;
inline constexpr Result kResultMediaCacheHitInMemory = 0x20330001;
inline constexpr Result kResultMediaCacheDeliverLater = 0x20330002;

}  // namespace Quillan
