#pragma once

#include <filesystem>
#include <string>

#include "BE/Export.h"
#include "zelcore/ClassRef.h"

namespace BE {

using zelcore::InterfaceRef;

// The user's preferences that the analysis system needs. Thread-safe.
struct BE_EXPORT IPreferences : zelcore::classref::Unknown {
  ZEL_INTERFACE_NAME("BE::IPreferences")

  // The directory in which the managed analyzer cache is created: the one set with SetAnalyzerCacheDirectory,
  // else GetDefaultAnalyzerCacheDirectory(). The directory need not exist yet.
  virtual std::wstring GetAnalyzerCacheDirectory() const = 0;
  // Overrides the directory; an empty text restores the default.
  virtual void SetAnalyzerCacheDirectory(std::wstring const& directory) = 0;
};

// Preferences with no override.
BE_EXPORT InterfaceRef<IPreferences> CreatePreferences();

// "AnalyzerCache" in $QUILLAN_CACHE_DIR when set, else in "quillan" under the user's cache folder
// ($XDG_CACHE_HOME, or ~/.cache). Read from the environment at every call.
BE_EXPORT std::filesystem::path GetDefaultAnalyzerCacheDirectory();

}  // namespace BE
