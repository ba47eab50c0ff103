#include "Pictures/TimeAxis.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace Quillan::Pictures {
namespace {

double ChooseStep(double wanted) {
  if (wanted < 10) {
    double const power = std::pow(10.0, std::floor(std::log10(wanted)));
    for (double const factor : {1.0, 2.0, 5.0, 10.0}) {
      if (factor * power >= wanted * (1 - 1e-9)) return factor * power;
    }
  }
  // Steps a clock reads easily.
  for (double const seconds : {10.0, 15.0, 20.0, 30.0, 60.0, 120.0, 300.0, 600.0, 900.0, 1800.0, 3600.0}) {
    if (seconds >= wanted) return seconds;
  }
  return std::ceil(wanted / 3600) * 3600;
}

int DecimalsFor(double step) {
  for (int decimals = 0; decimals < 3; ++decimals) {
    double const scaled = step * std::pow(10.0, decimals);
    if (std::fabs(scaled - std::round(scaled)) < 1e-6) return decimals;
  }
  return 3;
}

}  // namespace

TimeAxis ChooseTimeAxis(double fromSeconds, double toSeconds, int pixels, int minSpacingPixels) {
  if (!(fromSeconds >= 0) || !(toSeconds > fromSeconds) || !std::isfinite(toSeconds) || pixels <= 0) {
    throw std::invalid_argument("A time axis needs 0 <= from < to and a positive width");
  }
  double const span = toSeconds - fromSeconds;
  double const wanted = std::max(span * std::max(1, minSpacingPixels) / pixels, 0.001);
  TimeAxis axis;
  axis.stepSeconds = ChooseStep(wanted);
  bool const clock = UsesClock(toSeconds);
  // Counting steps from a whole multiple keeps labels exact (0.3, not 0.30000000000000004).
  auto const first = static_cast<long long>(std::ceil(fromSeconds / axis.stepSeconds - 1e-9));
  for (long long n = first;; ++n) {
    double const at = static_cast<double>(n) * axis.stepSeconds;
    if (at > toSeconds + axis.stepSeconds * 1e-9) break;
    axis.ticks.push_back({at, FormatTime(at, axis.stepSeconds, clock)});
  }
  return axis;
}

std::string FormatTime(double seconds, double stepSeconds, bool clock) {
  int const decimals = DecimalsFor(stepSeconds);
  double const scale = std::pow(10.0, decimals);
  // Rounded once, in units of the last decimal, so that 59.999 never prints as 0:60.
  auto const units = static_cast<long long>(std::llround(std::max(0.0, seconds) * scale));
  auto const unitsPerSecond = static_cast<long long>(scale);
  long long const whole = units / unitsPerSecond;
  long long const fraction = units % unitsPerSecond;
  std::string fractionText;
  if (decimals > 0) {
    std::string const digits = std::to_string(fraction);
    fractionText = "." + std::string(static_cast<std::size_t>(decimals) - digits.size(), '0') + digits;
  }
  auto twoDigits = [](long long value) { return (value < 10 ? "0" : "") + std::to_string(value); };
  if (!clock) return std::to_string(whole) + fractionText + " s";
  if (whole >= 3600) {
    return std::to_string(whole / 3600) + ":" + twoDigits(whole / 60 % 60) + ":" + twoDigits(whole % 60) + fractionText;
  }
  return std::to_string(whole / 60) + ":" + twoDigits(whole % 60) + fractionText;
}

}  // namespace Quillan::Pictures
