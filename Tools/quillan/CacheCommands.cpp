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
#include "quillan/TextTable.h"
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

// Prints one record: a column per field for tables and CSV, an object for the JSON formats.
void PrintRecord(nlohmann::ordered_json const& record, OutputFormat format) {
  nlohmann::ordered_json withSchema = {{"schema", kSchemaVersion}};
  withSchema.update(record);
  switch (format) {
    case OutputFormat::kJson:
    case OutputFormat::kNdjson:
      std::cout << JsonText(withSchema) << "\n";
      return;
    case OutputFormat::kCsv: {
      std::vector<std::string> names, values;
      for (auto const& [name, value] : withSchema.items()) {
        names.push_back(name);
        values.push_back(value.is_string() ? value.get<std::string>() : JsonText(value));
      }
      std::cout << CsvLine(names) << CsvLine(values);
      return;
    }
    case OutputFormat::kTable: {
      TextTable table({"", ""});
      for (auto const& [name, value] : record.items()) {
        table.AddRow({name, value.is_string() ? value.get<std::string>() : JsonText(value)});
      }
      std::string text = table.Format();
      std::cout << text.substr(text.find('\n') + 1);  // no header line
      return;
    }
  }
}

}  // namespace

std::filesystem::path ManagedCacheFolder() {
  return std::filesystem::path(
      zelcore::text::WstringToUTF8(BE::GetBackend()->GetPreferences()->GetAnalyzerCacheDirectory()));
}

int RunCacheCommand(std::string const& action, OutputFormat format) {
  std::filesystem::path const folder = ManagedCacheFolder();
  if (action == "path") {
    if (format == OutputFormat::kTable) {
      std::cout << folder.string() << "\n";
    } else {
      PrintRecord({{"path", folder.string()}}, format);
    }
  } else if (action == "stats") {
    CacheStats const stats = OpenCache(folder, false);
    CacheLimits const limits = LimitsFor(folder);
    PrintRecord({{"path", folder.string()},
                 {"items", stats.items},
                 {"bytes", stats.bytes},
                 {"bound", limits.bound},
                 {"freeSpaceTarget", limits.freeSpaceTarget},
                 {"volumeAvailable", limits.volumeAvailable}},
                format);
  } else {
    CacheStats const before = OpenCache(folder, false);
    OpenCache(folder, true);
    if (format == OutputFormat::kTable) {
      std::cout << "removed " << before.items << " items (" << before.bytes << " bytes) from " << folder.string()
                << "\n";
    } else {
      PrintRecord({{"path", folder.string()}, {"removedItems", before.items}, {"removedBytes", before.bytes}}, format);
    }
  }
  return kExitOk;
}

}  // namespace Quillan::Cli
