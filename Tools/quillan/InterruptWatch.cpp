#include "quillan/InterruptWatch.h"

#include <atomic>

namespace Quillan::Cli {
namespace {

// Lock-free, so the handler may set it.
std::atomic<bool> gInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnInterrupt(int) { gInterrupted.store(true, std::memory_order_relaxed); }

}  // namespace

InterruptWatch::InterruptWatch() {
  gInterrupted.store(false, std::memory_order_relaxed);
  struct sigaction action {};
  action.sa_handler = &OnInterrupt;
  sigemptyset(&action.sa_mask);
  // The handler is used once; the next SIGINT gets the default action and ends the process.
  action.sa_flags = SA_RESETHAND | SA_RESTART;
  sigaction(SIGINT, &action, &previous_);
}

InterruptWatch::~InterruptWatch() { sigaction(SIGINT, &previous_, nullptr); }

bool InterruptWatch::Requested() { return gInterrupted.load(std::memory_order_relaxed); }

}  // namespace Quillan::Cli
