#pragma once

#include <string>
#include <vector>

#include "Pictures/PictureFile.h"

namespace Quillan::Pictures {

// The labelled ticks of a time axis: round steps (1, 2 or 5 times a power of ten under 10 seconds; 10, 15, 20, 30
// seconds, 1, 2, 5, 10, 15, 30 minutes or whole hours above) chosen so that labels stand about `minSpacingPixels` apart
// or more.
struct TimeTick {
  double seconds = 0;
  std::string label;
};

struct TimeAxis {
  double stepSeconds = 0;
  std::vector<TimeTick> ticks;  // ascending, every multiple of the step within [from, to]
};

// Throws std::invalid_argument unless 0 <= from < to and pixels > 0.
QUILLAN_PICTURES_EXPORT TimeAxis ChooseTimeAxis(double fromSeconds, double toSeconds, int pixels,
                                                int minSpacingPixels = 90);

// A time as a label: "12.5 s" style seconds when `clock` is false, "m:ss" or "h:mm:ss" when it is true, with as many
// decimals as a step of `stepSeconds` needs (none for whole seconds, at most three).
QUILLAN_PICTURES_EXPORT std::string FormatTime(double seconds, double stepSeconds, bool clock);

// Whether labels of a range ending at `toSeconds` read better as a clock (a minute or more).
inline bool UsesClock(double toSeconds) { return toSeconds >= 60; }

}  // namespace Quillan::Pictures
