#include "zelscripting/ScriptingRefPreserver.h"

#include <utility>

#include "zelcore/Singletons.h"

namespace zelscripting {
namespace {

struct PreserverSlot {
  std::mutex mutex;
  std::shared_ptr<ScriptingRefPreserver> instance;  // guarded by mutex
  bool tornDown = false;                            // guarded by mutex
};

PreserverSlot& GetPreserverSlot() {
  static PreserverSlot slot;
  return slot;
}

}  // namespace

std::shared_ptr<ScriptingRefPreserver> ScriptingRefPreserver::GetInstance() {
  PreserverSlot& slot = GetPreserverSlot();
  std::lock_guard lock(slot.mutex);
  if (!slot.instance && !slot.tornDown) {
    slot.instance = std::make_shared<ScriptingRefPreserver>();
    zelcore::config::AddTerminationForSingleton("zelscripting.ScriptingRefPreserver", [&slot] {
      std::shared_ptr<ScriptingRefPreserver> dropped;
      {
        std::lock_guard lock(slot.mutex);
        slot.tornDown = true;
        dropped = std::move(slot.instance);
      }
      // Holders of the instance keep it, but it holds nothing any more: the objects die now.
      if (dropped) dropped->ReleaseAll();
    });
  }
  return slot.instance;
}

ScriptingRefPreserver::ScriptingRefPreserver() = default;
ScriptingRefPreserver::~ScriptingRefPreserver() = default;

void ScriptingRefPreserver::AddReference(zelcore::InterfaceRef<zelcore::classref::UnknownBase> const& object) {
  if (!object) return;
  std::lock_guard lock(mutex_);
  references_.try_emplace(object.Identity(), object);
}

void ScriptingRefPreserver::RemoveReference(zelcore::InterfaceRef<zelcore::classref::UnknownBase> const& object) {
  zelcore::InterfaceRef<zelcore::classref::UnknownBase> dropped;  // released outside the lock
  std::lock_guard lock(mutex_);
  auto const found = references_.find(object.Identity());
  if (found == references_.end()) return;
  dropped = std::move(found->second);
  references_.erase(found);
}

bool ScriptingRefPreserver::HoldsReference(zelcore::InterfaceRef<zelcore::classref::UnknownBase> const& object) const {
  std::lock_guard lock(mutex_);
  return object && references_.contains(object.Identity());
}

std::size_t ScriptingRefPreserver::GetReferenceCount() const {
  std::lock_guard lock(mutex_);
  return references_.size();
}

void ScriptingRefPreserver::ReleaseAll() {
  std::unordered_map<void const*, zelcore::InterfaceRef<zelcore::classref::UnknownBase>> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped.swap(references_);
  }
}

}  // namespace zelscripting
