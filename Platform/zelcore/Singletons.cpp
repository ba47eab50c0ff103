#include "zelcore/Singletons.h"

#include <mutex>
#include <utility>

#include "zelcore/Logging.h"

namespace zelcore::config {
namespace {

struct Termination {
  std::string name;
  std::function<void()> function;
};

struct Registry {
  std::mutex mutex;
  std::vector<Termination> terminations;  // guarded by mutex
};

// Never destroyed: singletons may register while statics are torn down at exit.
Registry& GetRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

}  // namespace

void AddTerminationForSingleton(std::string_view name, std::function<void()> termination) {
  if (!termination) return;
  Registry& registry = GetRegistry();
  std::lock_guard lock(registry.mutex);
  registry.terminations.push_back({std::string(name), std::move(termination)});
}

void RunSingletonTerminations() {
  Registry& registry = GetRegistry();
  std::vector<Termination> batch;
  {
    std::lock_guard lock(registry.mutex);
    batch.swap(registry.terminations);
  }
  for (auto it = batch.rbegin(); it != batch.rend(); ++it) {
    try {
      it->function();
    } catch (...) {
      std::string const where = "singleton termination " + it->name;
      logging::LogException(std::current_exception(), where.c_str());
    }
    // Release what the termination captured now, while the singletons it may refer to still exist.
    it->function = nullptr;
  }
}

std::vector<std::string> GetPendingSingletonTerminations() {
  Registry& registry = GetRegistry();
  std::lock_guard lock(registry.mutex);
  std::vector<std::string> names;
  names.reserve(registry.terminations.size());
  for (Termination const& termination : registry.terminations) names.push_back(termination.name);
  return names;
}

}  // namespace zelcore::config
