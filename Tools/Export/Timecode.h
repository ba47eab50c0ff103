#pragma once

#include <cstdint>
#include <string>

#include "Export/MediaEvents.h"

namespace Quillan::Export {

// SMPTE timecode of frame `frame` at `rate`: HH:MM:SS:FF, or HH:MM:SS;FF counted in drop-frame at 29.97 and 59.94
// (frame numbers 0 and 1, or 0 to 3, are skipped at the start of every minute but each tenth). Rates that are not
// whole count frames at the rounded rate.
QUILLAN_EXPORT_EXPORT std::string Timecode(std::int64_t frame, FrameRate const& rate);
// The frame that `timecode` names at `rate`; -1 when it is not a timecode.
QUILLAN_EXPORT_EXPORT std::int64_t FrameOfTimecode(std::string const& timecode, FrameRate const& rate);

// HH:MM:SS.mmm, rounded to the millisecond (WebVTT, subtitles).
QUILLAN_EXPORT_EXPORT std::string ClockMilliseconds(double seconds);

}  // namespace Quillan::Export
