#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "zelcore/Export.h"

namespace zelcore::logging {

// One logged exception, as a sink receives it.
struct LoggedException {
  std::string function;  // where it was caught
  std::string message;
  std::uint32_t result;
};

using LogSink = std::function<void(LoggedException const&)>;

// Logs one exception caught in `function`. May be called from any thread. The default sink writes one line
// to stderr.
ZELCORE_EXPORT void LogException(std::exception_ptr const& exception, char const* function);
// Replaces the sink; an empty sink restores the default. Returns the previous one.
ZELCORE_EXPORT LogSink SetLogSink(LogSink sink);

}  // namespace zelcore::logging
