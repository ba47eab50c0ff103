#include "Export/Timecode.h"

#include <cmath>
#include <cstdio>

namespace Quillan::Export {
namespace {

std::int64_t Nominal(FrameRate const& rate) { return std::max<std::int64_t>(1, std::llround(rate.Value())); }

std::int64_t Dropped(FrameRate const& rate) { return rate.IsDropFrame() ? Nominal(rate) / 15 : 0; }

}  // namespace

std::string Timecode(std::int64_t frame, FrameRate const& rate) {
  std::int64_t const fps = Nominal(rate);
  std::int64_t const drop = Dropped(rate);
  if (drop > 0) {
    // Count the frame numbers that drop-frame skips before `frame`, then show it as if none were skipped.
    std::int64_t const perTenMinutes = fps * 600 - drop * 9;
    std::int64_t const perMinute = fps * 60 - drop;
    std::int64_t const tens = frame / perTenMinutes;
    std::int64_t const rest = frame % perTenMinutes;
    frame += drop * 9 * tens + (rest > drop ? drop * ((rest - drop) / perMinute) : 0);
  }
  char text[96];  // room for any int64 in each field, as the compiler checks
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld%c%02lld", static_cast<long long>(frame / (fps * 3600)),
                static_cast<long long>(frame / (fps * 60) % 60), static_cast<long long>(frame / fps % 60),
                drop > 0 ? ';' : ':', static_cast<long long>(frame % fps));
  return text;
}

std::int64_t FrameOfTimecode(std::string const& timecode, FrameRate const& rate) {
  int hours = 0, minutes = 0, seconds = 0, frames = 0;
  char separator = 0;
  int used = 0;
  if (std::sscanf(timecode.c_str(), "%2d:%2d:%2d%c%2d%n", &hours, &minutes, &seconds, &separator, &frames, &used) !=
          5 ||
      used != static_cast<int>(timecode.size()) || (separator != ':' && separator != ';') || minutes > 59 ||
      seconds > 59) {
    return -1;
  }
  std::int64_t const fps = Nominal(rate);
  std::int64_t const drop = Dropped(rate);
  if (frames >= fps) return -1;
  std::int64_t const totalMinutes = hours * 60 + minutes;
  return ((totalMinutes * 60 + seconds) * fps + frames) - drop * (totalMinutes - totalMinutes / 10);
}

std::string ClockMilliseconds(double seconds) {
  long long const millis = std::llround(std::max(0.0, seconds) * 1000);
  char text[96];  // room for any int64 in each field, as the compiler checks
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%03lld", millis / 3600000, millis / 60000 % 60,
                millis / 1000 % 60, millis % 1000);
  return text;
}

}  // namespace Quillan::Export
