#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "zelcore/Export.h"

// Sizes and ages as people type them on a command line or in a settings file. All functions are pure and may be
// called from any thread. The parsers throw zel_exception kResultInvalidArgument with a message that quotes the
// text and says what was expected.
namespace zelcore::text {

// A number of bytes: digits, an optional fraction, and an optional unit (a space before it is allowed).
// K, M, G, T and KiB, MiB, GiB, TiB count in powers of 1024; KB, MB, GB, TB in powers of 1000; B or no unit is
// bytes. Unit letters may be lower case. "1G" and "1GiB" are 1073741824, "500M" 524288000, "1.5K" 1536; a fraction
// of a byte is dropped. Throws for empty text, a sign, an unknown unit and a total above 2^63 - 1.
ZELCORE_EXPORT std::uint64_t ParseByteSize(std::string_view text);

// A length of time: one or more numbers each followed by a unit, s (seconds), m (minutes), h (hours), d (days) or
// w (weeks): "90m", "12h", "30d", "1d12h". Whole numbers only. Throws for empty text, a number without a unit, an
// unknown unit and a total above 2^63 - 1 seconds.
ZELCORE_EXPORT std::chrono::seconds ParseDuration(std::string_view text);

// `bytes` for people: "512 B", "1.5 KiB", "2.0 GiB" (one decimal from KiB up, rounded down, so that a cache shown as
// "5.0 GiB" never holds less).
ZELCORE_EXPORT std::string FormatByteSize(std::uint64_t bytes);

}  // namespace zelcore::text
