#include "quillan/InterruptWatch.h"

#include <atomic>

namespace Quillan::Cli {
namespace {

// Lock-free, so the handler may set it. Holds the first signal that arrived.
std::atomic<int> gSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

void OnSignal(int signal) {
  int expected = 0;
  gSignal.compare_exchange_strong(expected, signal, std::memory_order_relaxed);
}

void Watch(int signal, struct sigaction& previous) {
  struct sigaction action {};
  action.sa_handler = &OnSignal;
  sigemptyset(&action.sa_mask);
  // The handler is used once; the next such signal gets the default action and ends the process.
  action.sa_flags = SA_RESETHAND | SA_RESTART;
  sigaction(signal, &action, &previous);
}

}  // namespace

InterruptWatch::InterruptWatch() {
  gSignal.store(0, std::memory_order_relaxed);
  Watch(SIGINT, previousInterrupt_);
  Watch(SIGTERM, previousTerminate_);
  Watch(SIGHUP, previousHangUp_);
}

InterruptWatch::~InterruptWatch() {
  sigaction(SIGINT, &previousInterrupt_, nullptr);
  sigaction(SIGTERM, &previousTerminate_, nullptr);
  sigaction(SIGHUP, &previousHangUp_, nullptr);
}

bool InterruptWatch::Requested() { return gSignal.load(std::memory_order_relaxed) != 0; }

int InterruptWatch::Signal() { return gSignal.load(std::memory_order_relaxed); }

}  // namespace Quillan::Cli
