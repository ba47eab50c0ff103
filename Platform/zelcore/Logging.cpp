#include "zelcore/Logging.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>

#include "zelcore/ZelException.h"

namespace zelcore::logging {
namespace {

struct SinkState {
  std::mutex mutex;
  // Guarded by mutex. Null means the default sink; shared so that a call in flight keeps the sink it took
  // alive while another thread replaces it.
  std::shared_ptr<LogSink const> sink;
};

// Never destroyed: pool threads may still log while statics are torn down at exit.
SinkState& State() {
  static SinkState* state = new SinkState;
  return *state;
}

void WriteToStderr(LoggedException const& logged) {
  std::string line = "[zelcore] exception in ";
  line += logged.function.empty() ? "(unknown)" : logged.function;
  char code[32];
  std::snprintf(code, sizeof code, ": 0x%08" PRIX32 ": ", logged.result);
  line += code;
  line += logged.message.empty() ? "(no message)" : logged.message;
  // One line per exception, even when the message spans several.
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace

void LogException(std::exception_ptr const& exception, char const* function) {
  LoggedException logged{function ? function : "", config::ExtractMessageFromException(exception),
                         config::ExtractResultFromException(exception)};
  std::shared_ptr<LogSink const> sink;
  {
    std::lock_guard lock(State().mutex);
    sink = State().sink;
  }
  // Called outside the lock, so a sink may itself log or replace the sink.
  if (!sink) {
    WriteToStderr(logged);
    return;
  }
  try {
    (*sink)(logged);
  } catch (...) {
    WriteToStderr(logged);  // a failing sink must not lose the report nor throw into the caller
  }
}

LogSink SetLogSink(LogSink sink) {
  auto replacement = sink ? std::make_shared<LogSink const>(std::move(sink)) : nullptr;
  std::shared_ptr<LogSink const> previous;
  {
    std::lock_guard lock(State().mutex);
    previous = std::exchange(State().sink, std::move(replacement));
  }
  return previous ? *previous : LogSink();
}

}  // namespace zelcore::logging
