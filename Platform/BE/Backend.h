#pragma once

#include "BE/Export.h"
#include "BE/Preferences.h"
#include "BE/Properties.h"
#include "BE/ReadMutex.h"
#include "zelcore/ClassRef.h"

namespace BE {

// The project model of the running application: one per process, standing for the open project. It also
// answers IProperties (QueryMap) with the user's settings, read from GetDefaultPropertiesFilePath() when the
// backend is first used. Thread-safe.
struct BE_EXPORT IBackend : zelcore::classref::Unknown {
  ZEL_INTERFACE_NAME("BE::IBackend")

  virtual InterfaceRef<IPreferences> GetPreferences() const = 0;
  // Whether the project plays proxies where media have them (ProxyHandling::kCurrent). Off at start.
  virtual bool AreProxiesEnabled() const = 0;
  // Takes the project's write lock.
  virtual void SetProxiesEnabled(bool enabled) = 0;
};

// The process's backend, made on first use and kept for the life of the process. May be called from any thread.
BE_EXPORT InterfaceRef<IBackend> GetBackend();

// The project model's reader/writer lock, kept for the life of the process. May be called from any thread.
BE_EXPORT ReadMutex& GetBackendReadLock();

}  // namespace BE
