#include "zelcore/QuantityText.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <limits>

#include "zelcore/ZelException.h"

namespace zelcore::text {
namespace {

using zelcore::config::kResultInvalidArgument;
using zelcore::config::zel_exception;

constexpr std::uint64_t kLargest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

[[noreturn]] void Reject(std::string_view kind, std::string_view text, std::string_view why) {
  throw zel_exception("\"" + std::string(text) + "\" is not " + std::string(kind) + ": " + std::string(why),
                      kResultInvalidArgument);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool SameLetters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// Reads the digits at `position` into `value`; false on overflow. Advances past them.
bool ReadDigits(std::string_view text, std::size_t& position, std::uint64_t& value) {
  value = 0;
  for (; position < text.size() && IsDigit(text[position]); ++position) {
    auto const digit = static_cast<std::uint64_t>(text[position] - '0');
    if (value > (kLargest - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}

// The multiplier of a byte unit; 0 for an unknown one.
std::uint64_t ByteUnit(std::string_view unit) {
  struct Unit {
    std::string_view binary;
    std::string_view iec;
    std::string_view decimal;
    std::uint64_t power;  // of 1024 or 1000
  };
  static constexpr std::array<Unit, 4> kUnits{
      {{"K", "KiB", "KB", 1}, {"M", "MiB", "MB", 2}, {"G", "GiB", "GB", 3}, {"T", "TiB", "TB", 4}}};
  if (unit.empty() || SameLetters(unit, "B")) return 1;
  for (Unit const& each : kUnits) {
    std::uint64_t base = 0;
    if (SameLetters(unit, each.binary) || SameLetters(unit, each.iec)) base = 1024;
    if (SameLetters(unit, each.decimal)) base = 1000;
    if (base == 0) continue;
    std::uint64_t multiplier = 1;
    for (std::uint64_t i = 0; i < each.power; ++i) multiplier *= base;
    return multiplier;
  }
  return 0;
}

}  // namespace

std::uint64_t ParseByteSize(std::string_view text) {
  constexpr std::string_view kKind = "a size";
  std::size_t position = 0;
  std::uint64_t whole = 0;
  if (text.empty()) Reject(kKind, text, "it is empty");
  if (!IsDigit(text[0])) Reject(kKind, text, "it must start with a number, as in 500M or 2GiB");
  if (!ReadDigits(text, position, whole)) Reject(kKind, text, "the number is too large");
  // The fraction's digits, kept as a numerator over a power of ten (up to 18 digits are significant).
  std::uint64_t numerator = 0;
  std::uint64_t denominator = 1;
  if (position < text.size() && text[position] == '.') {
    ++position;
    if (position >= text.size() || !IsDigit(text[position])) Reject(kKind, text, "a digit must follow the point");
    for (; position < text.size() && IsDigit(text[position]); ++position) {
      if (denominator >= 1000000000000000000ull) continue;
      numerator = numerator * 10 + static_cast<std::uint64_t>(text[position] - '0');
      denominator *= 10;
    }
  }
  if (position < text.size() && text[position] == ' ') ++position;
  std::string_view const unit = text.substr(position);
  std::uint64_t const multiplier = ByteUnit(unit);
  if (multiplier == 0) {
    Reject(kKind, text,
           "unknown unit \"" + std::string(unit) + "\" (B, K, M, G, T, KiB, MiB, GiB, TiB, KB, MB, GB or TB)");
  }
  if (whole > kLargest / multiplier) Reject(kKind, text, "it is larger than 8 EiB");
  std::uint64_t bytes = whole * multiplier;
  // numerator / denominator < 1, so this part stays below `multiplier`; split it to keep the product in range.
  auto const fraction =
      static_cast<std::uint64_t>(static_cast<unsigned __int128>(numerator) * multiplier / denominator);
  if (bytes > kLargest - fraction) Reject(kKind, text, "it is larger than 8 EiB");
  bytes += fraction;
  return bytes;
}

std::chrono::seconds ParseDuration(std::string_view text) {
  constexpr std::string_view kKind = "a length of time";
  if (text.empty()) Reject(kKind, text, "it is empty");
  std::uint64_t total = 0;
  std::size_t position = 0;
  while (position < text.size()) {
    if (!IsDigit(text[position])) {
      Reject(kKind, text, "expected a number followed by s, m, h, d or w, as in 90m, 12h or 30d");
    }
    std::uint64_t count = 0;
    if (!ReadDigits(text, position, count)) Reject(kKind, text, "the number is too large");
    if (position >= text.size()) {
      Reject(kKind, text, "the number needs a unit: s (seconds), m (minutes), h (hours), d (days) or w (weeks)");
    }
    std::uint64_t unit = 0;
    switch (Lower(text[position])) {
      case 's':
        unit = 1;
        break;
      case 'm':
        unit = 60;
        break;
      case 'h':
        unit = 3600;
        break;
      case 'd':
        unit = 86400;
        break;
      case 'w':
        unit = 604800;
        break;
      default:
        Reject(kKind, text,
               "unknown unit \"" + std::string(1, text[position]) +
                   "\" (s for seconds, m for minutes, h for hours, d for days, w for weeks)");
    }
    ++position;
    if (count > (kLargest - total) / unit) Reject(kKind, text, "it is too long");
    total += count * unit;
  }
  return std::chrono::seconds(static_cast<std::int64_t>(total));
}

std::string FormatByteSize(std::uint64_t bytes) {
  static constexpr std::array<char const*, 6> kUnits{"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  std::size_t unit = 0;
  std::uint64_t scale = 1024;
  while (unit + 1 < kUnits.size() && bytes / scale >= 1024) {
    scale *= 1024;
    ++unit;
  }
  // Tenths, rounded down, in integers: a double would round 5 GiB - 1 up to "5.0 GiB".
  auto const tenths = static_cast<std::uint64_t>(static_cast<unsigned __int128>(bytes) * 10 / scale);
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%llu.%llu %s", static_cast<unsigned long long>(tenths / 10),
                static_cast<unsigned long long>(tenths % 10), kUnits[unit]);
  return buffer;
}

}  // namespace zelcore::text
