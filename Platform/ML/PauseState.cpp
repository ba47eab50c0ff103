#include "ML/PauseState.h"

#include <mutex>
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "zelcore/SerialNotifier.h"

namespace ML {
namespace {

using zelcore::utility::Guid;

struct PauseRegistry {
  std::mutex mutex;
  PauseState state = kPauseStateRunning;                                            // guarded by mutex
  zelcore::SerialNotifier<PauseState> notifier{"ML::SetPauseState"};                // guarded by mutex
  std::unordered_map<Guid, zelcore::SerialNotifier<PauseState>::Id> registrations;  // guarded by mutex
};

// Never destroyed: callbacks may be unregistered by singletons torn down after static destruction has begun.
PauseRegistry& Registry() {
  static PauseRegistry* const registry = new PauseRegistry;
  return *registry;
}

}  // namespace

Guid RegisterPauseCallback(PauseCallback callback) {
  if (!callback) throw std::invalid_argument("ML::RegisterPauseCallback: empty callback");
  Guid const registration = Guid::CreateUnique();
  PauseRegistry& registry = Registry();
  std::lock_guard lock(registry.mutex);
  registry.registrations.emplace(registration, registry.notifier.Add(std::move(callback)));
  return registration;
}

bool UnregisterPauseCallback(Guid const& registration) {
  PauseRegistry& registry = Registry();
  std::optional<PauseCallback> removed;
  {
    std::unique_lock lock(registry.mutex);
    auto const found = registry.registrations.find(registration);
    if (found == registry.registrations.end()) return false;
    auto const id = found->second;
    registry.registrations.erase(found);
    removed = registry.notifier.Remove(lock, id);
  }
  return true;  // `removed` is destroyed here, unlocked
}

void SetPauseState(PauseState state) {
  PauseRegistry& registry = Registry();
  std::unique_lock lock(registry.mutex);
  registry.state = state;
  registry.notifier.Enqueue(state);
  registry.notifier.Deliver(lock);
}

PauseState GetPauseState() {
  PauseRegistry& registry = Registry();
  std::lock_guard lock(registry.mutex);
  return registry.state;
}

}  // namespace ML
