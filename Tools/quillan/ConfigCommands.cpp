#include "quillan/ConfigCommands.h"

#include <charconv>
#include <cstdint>
#include <iostream>

#include "BE/Backend.h"
#include "BE/Properties.h"

namespace Quillan::Cli {
namespace {

constexpr char kCacheLocationSetting[] = "cache-location";

zelcore::InterfaceRef<BE::IProperties> Properties() {
  auto properties = zelcore::InterfaceRef<BE::IProperties>::Query(BE::GetBackend());
  if (!properties) zelcore::config::DoThrowNullPtrException("BE::IProperties");
  return properties;
}

bool IsCacheLocationLocked() { return Properties()->IsReadOnly(BE::kPrefsAnalyzeImportedMediaCacheLocation); }

}  // namespace

AnalyzerCacheLocation ParseCacheLocation(std::string const& text, std::string const& command) {
  if (text == "sidecar") return AnalyzerCacheLocation::kSidecarFile;
  if (text == "managed") return AnalyzerCacheLocation::kManagedCache;
  if (text == "read-only") return AnalyzerCacheLocation::kReadOnly;
  std::int32_t value = 0;
  auto const [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    throw UsageError("cache location must be sidecar, managed, read-only or a number, not \"" + text + "\"", command);
  }
  return static_cast<AnalyzerCacheLocation>(value);
}

std::string CacheLocationText(AnalyzerCacheLocation location) {
  switch (location) {
    case AnalyzerCacheLocation::kSidecarFile:
      return "sidecar";
    case AnalyzerCacheLocation::kManagedCache:
      return "managed";
    case AnalyzerCacheLocation::kReadOnly:
      return "read-only";
  }
  return std::to_string(static_cast<std::int32_t>(location));
}

void OverrideCacheLocationForThisRun(AnalyzerCacheLocation location) {
  if (GetDefaultCacheLocation() == location) return;
  BE::SerializeableValue<int> const value(static_cast<int>(location));
  if (!Properties()->WriteValue(BE::kPrefsAnalyzeImportedMediaCacheLocation, value, false)) {
    throw CommandFailure("the cache-location setting is read-only here (it stays " +
                         CacheLocationText(GetDefaultCacheLocation()) + "); --cache-location cannot change it");
  }
}

int RunConfigCommand(ArgumentCursor& arguments) {
  std::string const action = arguments.TakePositional("get or set");
  if (action != "get" && action != "set") {
    throw UsageError("unknown config action \"" + action + "\" (get or set)", arguments.Command());
  }
  std::string const name = arguments.TakePositional("setting name");
  if (name != kCacheLocationSetting) {
    throw UsageError("unknown setting \"" + name + "\" (known: " + kCacheLocationSetting + ")", arguments.Command());
  }
  if (action == "get") {
    arguments.ExpectEnd();
    std::cout << CacheLocationText(GetDefaultCacheLocation()) << "\n";
    if (IsCacheLocationLocked()) std::cerr << "quillan: the cache-location setting is read-only\n";
    return kExitOk;
  }
  AnalyzerCacheLocation const location = ParseCacheLocation(arguments.TakePositional("value"), arguments.Command());
  arguments.ExpectEnd();
  if (!SetDefaultCacheLocation(location)) {
    throw CommandFailure("the cache-location setting is read-only; it stays " +
                         CacheLocationText(GetDefaultCacheLocation()));
  }
  return kExitOk;
}

}  // namespace Quillan::Cli
