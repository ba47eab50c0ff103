#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "zelcore/ClassRef.h"
#include "zelscripting/Export.h"

namespace zelscripting {

// Keeps native objects alive on behalf of scripts, whose script objects hold them only weakly. Holds each object
// once, however often it is added. The process's instance lets go of everything when the application tears its
// singletons down ("zelscripting.ScriptingRefPreserver"), so the objects it kept die before the process ends.
// Thread-safe.
class ZELSCRIPTING_EXPORT ScriptingRefPreserver {
 public:
  // The process's preserver; empty once the singletons have been torn down.
  static std::shared_ptr<ScriptingRefPreserver> GetInstance();

  ScriptingRefPreserver();
  ~ScriptingRefPreserver();
  ScriptingRefPreserver(ScriptingRefPreserver const&) = delete;
  ScriptingRefPreserver& operator=(ScriptingRefPreserver const&) = delete;

  // Keeps `object` alive (an empty one is ignored).
  void AddReference(zelcore::InterfaceRef<zelcore::classref::UnknownBase> const& object);
  // Lets go of `object`.
  void RemoveReference(zelcore::InterfaceRef<zelcore::classref::UnknownBase> const& object);
  bool HoldsReference(zelcore::InterfaceRef<zelcore::classref::UnknownBase> const& object) const;
  std::size_t GetReferenceCount() const;
  // Lets go of everything; the objects are released outside the lock.
  void ReleaseAll();

 private:
  mutable std::mutex mutex_;
  std::unordered_map<void const*, zelcore::InterfaceRef<zelcore::classref::UnknownBase>>
      references_;  // guarded by mutex_
};

}  // namespace zelscripting
