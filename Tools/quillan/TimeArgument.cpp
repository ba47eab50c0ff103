#include "quillan/TimeArgument.h"

#include <cmath>
#include <optional>
#include <regex>

#include "quillan/ToolErrors.h"

namespace Quillan::Cli {

double ParseTimeArgument(std::string const& text, std::string const& option, std::string const& command) {
  static std::regex const plain(R"(^(\d+(?:\.\d+)?)$)");
  static std::regex const units(R"(^(?:(\d+)h)?(?:(\d+)m)?(?:(\d+(?:\.\d+)?)s)?$)");
  static std::regex const clock(R"(^(?:(\d+):)?(\d+):([0-5]\d(?:\.\d+)?)$)");
  std::smatch match;
  auto const number = [&](std::size_t group) { return match[group].matched ? std::stod(match[group].str()) : 0.0; };
  std::optional<double> seconds;
  if (std::regex_match(text, match, plain)) {
    seconds = number(1);
  } else if (!text.empty() && std::regex_match(text, match, units)) {
    seconds = number(1) * 3600 + number(2) * 60 + number(3);
  } else if (std::regex_match(text, match, clock)) {
    // With hours, the minutes are a clock's too.
    if (!match[1].matched || number(2) < 60) seconds = number(1) * 3600 + number(2) * 60 + number(3);
  }
  if (!seconds || !std::isfinite(*seconds)) {
    throw UsageError(option + " expects a time: " + kTimeForms + ", not \"" + text + "\"", command);
  }
  return *seconds;
}

}  // namespace Quillan::Cli
