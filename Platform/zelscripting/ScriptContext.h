#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "zelscripting/Export.h"

namespace zelscripting {

// One script engine instance, as the binding that runs it registers it.
class ZELSCRIPTING_EXPORT ScriptContext {
 public:
  virtual ~ScriptContext();
  virtual std::string GetName() const = 0;
};

// Script contexts by integer handle. A binding registers one context per engine instance and unregisters it when
// the engine goes away; script objects and promises keep only the handle. Thread-safe.
class ZELSCRIPTING_EXPORT ScriptContexts {
 public:
  static ScriptContexts& GetInstance();

  ScriptContexts(ScriptContexts const&) = delete;
  ScriptContexts& operator=(ScriptContexts const&) = delete;

  // The context's handle; handles start at 1 and are never reused. Throws std::invalid_argument for a null context.
  int Register(std::shared_ptr<ScriptContext> context);
  // Forgets the context; unknown handles are ignored.
  void Unregister(int handle);
  // Empty when unknown or unregistered.
  std::shared_ptr<ScriptContext> Find(int handle) const;

 private:
  ScriptContexts();
  ~ScriptContexts();

  mutable std::mutex mutex_;
  int lastHandle_ = 0;                                      // guarded by mutex_
  std::map<int, std::shared_ptr<ScriptContext>> contexts_;  // guarded by mutex_
};

}  // namespace zelscripting
