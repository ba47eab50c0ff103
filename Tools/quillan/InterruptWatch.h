#pragma once

#include <csignal>

namespace Quillan::Cli {

// Turns the first SIGINT (Ctrl-C) into a request that the tool polls, so that it can cancel its jobs and finish
// pending writes before it exits; a second SIGINT ends the process at once, as usual. Installs its handler for its
// lifetime and restores the earlier one afterwards. One at a time; create and destroy it on the main thread.
class InterruptWatch {
 public:
  InterruptWatch();
  ~InterruptWatch();
  InterruptWatch(InterruptWatch const&) = delete;
  InterruptWatch& operator=(InterruptWatch const&) = delete;

  // Whether SIGINT has arrived since the watch began. May be called from any thread.
  static bool Requested();

 private:
  struct sigaction previous_ {};
};

}  // namespace Quillan::Cli
