#pragma once

#include <string>

namespace Quillan::Cli {

// The forms ParseTimeArgument takes, for help texts and errors.
inline constexpr char kTimeForms[] = "seconds (90, 1.5), with units (10s, 1m30s, 1h2m) or a clock (1:30, 1:02:05)";

// A time on the command line in seconds: "90", "1.5", "10s", "1m30s", "1h2m", "1:30" (minutes and seconds) or
// "1:02:05". Throws UsageError naming `option` and `command` for anything else.
double ParseTimeArgument(std::string const& text, std::string const& option, std::string const& command);

}  // namespace Quillan::Cli
