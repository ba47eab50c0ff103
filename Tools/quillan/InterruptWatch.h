#pragma once

#include <csignal>

namespace Quillan::Cli {

// Turns the first SIGINT (Ctrl-C), SIGTERM or SIGHUP into a request that the tool polls, so that it can cancel its
// jobs and finish pending writes before it exits (with 128 + the signal's number); a second one of the same signal
// ends the process at once, as usual. Installs its handlers for its lifetime and restores the earlier ones
// afterwards. One at a time; create and destroy it on the main thread.
class InterruptWatch {
 public:
  InterruptWatch();
  ~InterruptWatch();
  InterruptWatch(InterruptWatch const&) = delete;
  InterruptWatch& operator=(InterruptWatch const&) = delete;

  // Whether one of the signals has arrived since the watch began. May be called from any thread.
  static bool Requested();
  // The first signal that arrived, or 0. May be called from any thread.
  static int Signal();

 private:
  struct sigaction previousInterrupt_ {};
  struct sigaction previousTerminate_ {};
  struct sigaction previousHangUp_ {};
};

}  // namespace Quillan::Cli
