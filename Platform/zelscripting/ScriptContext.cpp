#include "zelscripting/ScriptContext.h"

#include <stdexcept>
#include <utility>

namespace zelscripting {

ScriptContext::~ScriptContext() = default;

ScriptContexts& ScriptContexts::GetInstance() {
  static ScriptContexts instance;
  return instance;
}

ScriptContexts::ScriptContexts() = default;
ScriptContexts::~ScriptContexts() = default;

int ScriptContexts::Register(std::shared_ptr<ScriptContext> context) {
  if (!context) throw std::invalid_argument("A script context must not be null");
  std::lock_guard lock(mutex_);
  int const handle = ++lastHandle_;
  contexts_.emplace(handle, std::move(context));
  return handle;
}

void ScriptContexts::Unregister(int handle) {
  std::shared_ptr<ScriptContext> dropped;  // destroyed outside the lock
  std::lock_guard lock(mutex_);
  auto const found = contexts_.find(handle);
  if (found == contexts_.end()) return;
  dropped = std::move(found->second);
  contexts_.erase(found);
}

std::shared_ptr<ScriptContext> ScriptContexts::Find(int handle) const {
  std::lock_guard lock(mutex_);
  auto const found = contexts_.find(handle);
  return found == contexts_.end() ? nullptr : found->second;
}

}  // namespace zelscripting
