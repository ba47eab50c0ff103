#include "quillan/CacheCommands.h"

#include <sys/statvfs.h>

#include <iostream>
#include <memory>
#include <string>
#include <system_error>

#include "BE/Backend.h"
#include "BE/Preferences.h"
#include "DataStoreAdaptors/ManagedDataStoreAdaptor.h"
#include "MF/DiskCacheManager.h"
#include "quillan/JsonWriter.h"
#include "zelcore/ImmutableString.h"
#include "zelcore/TextConversions.h"

namespace Quillan::Cli {
namespace {

// Opens the folder's disk cache as the managed store does (tracking last use), optionally emptying it, and reads its
// totals. A folder that does not exist holds nothing and is not created.
CacheStats OpenCache(std::filesystem::path const& folder, bool clear) {
  std::error_code error;
  if (!std::filesystem::exists(folder, error)) return {};
  std::shared_ptr<MF::DiskCacheManager::ManagedDirectory> directory;
  auto const cache = MF::CreateDataCacheInFilesystemAndManageDirectory(
      zelcore::utility::ImmutableString::Create(folder.string()), directory, false, true, clear);
  return CacheStats{directory->GetItemCount(), directory->GetUsedBytes()};
}

// The limits as the managed store sets them for the volume that holds `folder` (or would hold it: the nearest
// existing folder above it).
CacheLimits LimitsFor(std::filesystem::path folder) {
  std::error_code error;
  while (!std::filesystem::exists(folder, error) && folder.has_parent_path() && folder != folder.parent_path()) {
    folder = folder.parent_path();
  }
  struct statvfs volume {};
  CacheLimits limits{ManagedDataStoreAdaptor::kMaxUsedBytes, 0, 0};
  if (::statvfs(folder.c_str(), &volume) == 0) {
    limits.freeSpaceTarget =
        ManagedDataStoreAdaptor::FreeSpaceTargetFor(static_cast<std::uint64_t>(volume.f_blocks) * volume.f_frsize);
    limits.volumeAvailable = static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize;
  }
  return limits;
}

void PrintStats(std::filesystem::path const& folder, CacheStats const& stats, bool json) {
  CacheLimits const limits = LimitsFor(folder);
  if (json) {
    JsonWriter out;
    out.BeginObject().Key("path").String(folder.string()).Key("items").Unsigned(stats.items);
    out.Key("bytes").Unsigned(stats.bytes).Key("bound").Unsigned(limits.bound);
    out.Key("freeSpaceTarget").Unsigned(limits.freeSpaceTarget).Key("volumeAvailable").Unsigned(limits.volumeAvailable);
    out.EndObject();
    std::cout << out.Text() << "\n";
  } else {
    std::cout << "path               " << folder.string() << "\nitems              " << stats.items
              << "\nbytes              " << stats.bytes << "\nbound              " << limits.bound
              << "\nfree-space target  " << limits.freeSpaceTarget << "\nvolume free        " << limits.volumeAvailable
              << "\n";
  }
}

}  // namespace

std::filesystem::path ManagedCacheFolder() {
  return std::filesystem::path(
      zelcore::text::WstringToUTF8(BE::GetBackend()->GetPreferences()->GetAnalyzerCacheDirectory()));
}

int RunCacheCommand(ArgumentCursor& arguments) {
  std::string const action = arguments.TakePositional("path, stats or clear");
  bool json = false;
  while (!arguments.AtEnd()) {
    if (arguments.TakeFlag("--json")) {
      json = true;
    } else {
      arguments.RejectNext();
    }
  }
  std::filesystem::path const folder = ManagedCacheFolder();
  if (action == "path") {
    if (json) {
      std::cout << JsonWriter().BeginObject().Key("path").String(folder.string()).EndObject().Text() << "\n";
    } else {
      std::cout << folder.string() << "\n";
    }
  } else if (action == "stats") {
    PrintStats(folder, OpenCache(folder, false), json);
  } else if (action == "clear") {
    CacheStats const before = OpenCache(folder, false);
    OpenCache(folder, true);
    if (json) {
      JsonWriter out;
      out.BeginObject().Key("path").String(folder.string()).Key("removedItems").Unsigned(before.items);
      out.Key("removedBytes").Unsigned(before.bytes).EndObject();
      std::cout << out.Text() << "\n";
    } else {
      std::cout << "removed " << before.items << " items (" << before.bytes << " bytes) from " << folder.string()
                << "\n";
    }
  } else {
    throw UsageError("unknown cache action \"" + action + "\" (path, stats or clear)", arguments.Command());
  }
  return kExitOk;
}

}  // namespace Quillan::Cli
