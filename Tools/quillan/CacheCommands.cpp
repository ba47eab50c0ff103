#include "quillan/CacheCommands.h"

#include <sys/statvfs.h>

#include <CLI/CLI.hpp>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "BE/Backend.h"
#include "BE/Preferences.h"
#include "DataStoreAdaptors/AnalyzerCacheSize.h"
#include "DataStoreAdaptors/ManagedDataStoreAdaptor.h"
#include "quillan/SharedOptions.h"
#include "quillan/TextTable.h"
#include "quillan/ToolErrors.h"
#include "zelcore/QuantityText.h"
#include "zelcore/TextConversions.h"
#include "zelcore/ZelException.h"

namespace Quillan::Cli {
namespace {

using nlohmann::ordered_json;

// What `quillan cache prune` removes: results unused for longer than `olderThan` ("30d"), then the least recently
// used ones until the rest fit `toSize` ("1G"). Empty texts are rules not given.
struct PruneRequest {
  std::string olderThan;
  std::string toSize;
};

// The store the default host would use; the folder must exist (opening the store creates it).
ManagedDataStoreAdaptor& Store(zelcore::InterfaceRef<IDataStoreAdaptor> const& store) {
  auto& managed = static_cast<ManagedDataStoreAdaptor&>(*store);
  if (std::string const reason = managed.GetUnavailableReason(); !reason.empty()) throw CommandFailure(reason);
  return managed;
}

bool FolderExists(std::filesystem::path const& folder) {
  std::error_code error;
  return std::filesystem::exists(folder, error);
}

// Bytes as a table shows them ("2.0 GiB (2147483648 bytes)") and as the JSON formats do (the number).
ordered_json Bytes(std::uint64_t bytes, OutputFormat format) {
  if (format != OutputFormat::kTable) return bytes;
  return zelcore::text::FormatByteSize(bytes) + " (" + std::to_string(bytes) + " bytes)";
}

// Prints one record: a column per field for tables and CSV, an object for the JSON formats.
void PrintRecord(ordered_json const& record, OutputFormat format) {
  ordered_json withSchema = {{"schema", kSchemaVersion}};
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

ordered_json StatisticsRecord(std::filesystem::path const& folder, OutputFormat format) {
  ManagedDataStoreAdaptor::CacheStatistics statistics;
  // Read first, so that a bound setting that cannot be read is reported, whether the folder exists or not.
  std::uint64_t const bound = GetAnalyzerCacheMaxBytes();
  // A folder that does not exist holds nothing, and asking about it does not create it.
  if (FolderExists(folder)) {
    statistics = Store(ManagedDataStoreAdaptor::Create()).GetCacheStatistics();
  } else {
    statistics.maxUsedBytes = bound;
    // The limits of the volume that would hold it: the nearest existing folder above it.
    std::filesystem::path above = folder;
    while (!FolderExists(above) && above.has_parent_path() && above != above.parent_path()) above = above.parent_path();
    if (struct statvfs volume{}; ::statvfs(above.c_str(), &volume) == 0) {
      statistics.volumeTotalBytes = static_cast<std::uint64_t>(volume.f_blocks) * volume.f_frsize;
      statistics.volumeAvailableBytes = static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize;
      statistics.freeSpaceTargetBytes = ManagedDataStoreAdaptor::FreeSpaceTargetFor(statistics.volumeTotalBytes);
    }
  }
  return {{"path", folder.string()},
          {"items", statistics.disk.items},
          {"storedBytes", Bytes(statistics.disk.usedBytes, format)},
          {"diskBytes", Bytes(statistics.disk.FileBytes(), format)},
          {"bound", Bytes(statistics.maxUsedBytes, format)},
          {"freeSpaceTarget", Bytes(statistics.freeSpaceTargetBytes, format)},
          {"volumeAvailable", Bytes(statistics.volumeAvailableBytes, format)}};
}

ordered_json RemovalRecord(std::filesystem::path const& folder, MF::DiskCacheRemoval const& removal,
                           OutputFormat format) {
  return {{"path", folder.string()},
          {"removedItems", removal.items},
          {"removedBytes", Bytes(removal.usedBytes, format)},
          {"diskBytesBefore", Bytes(removal.fileBytesBefore, format)},
          {"diskBytesAfter", Bytes(removal.fileBytesAfter, format)},
          {"spaceReturned", removal.spaceReturned}};
}

// The rules of `request`; a text the parsers refuse is a usage error of `cache prune`.
MF::DiskCachePruneRules PruneRules(PruneRequest const& request) {
  if (request.olderThan.empty() && request.toSize.empty()) {
    throw UsageError("say what to prune: --older-than AGE (e.g. 30d) and/or --to-size SIZE (e.g. 1G)", "cache prune");
  }
  MF::DiskCachePruneRules rules;
  try {
    if (!request.olderThan.empty()) rules.unusedFor = zelcore::text::ParseDuration(request.olderThan);
    if (!request.toSize.empty()) rules.maxUsedBytes = zelcore::text::ParseByteSize(request.toSize);
  } catch (zelcore::config::zel_exception const& e) {
    throw UsageError(e.what(), "cache prune");
  }
  return rules;
}

// A clear or prune of a folder whose database cannot even be opened (a full volume that has no room for the log's
// index, say): the files go, once no other process has the cache open.
MF::DiskCacheRemoval DeleteUnopenableCache(std::filesystem::path const& folder, std::string const& reason) {
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error)) throw CommandFailure(reason);
  auto const fileBytes = [&] {
    std::uint64_t total = 0;
    for (char const* suffix : {"", "-wal", "-shm"}) {
      std::uintmax_t const size = std::filesystem::file_size(folder / (std::string("MediaCache.db") + suffix), error);
      if (!error) total += size;
    }
    return total;
  };
  MF::DiskCacheRemoval removal;
  removal.fileBytesBefore = fileBytes();
  try {
    MF::DiskCacheManager::DeleteCacheFiles(MF::ImmutableString::Create(folder.string()));
  } catch (zelcore::config::zel_exception const& e) {
    throw CommandFailure(reason + "; " + e.what());
  }
  // A folder this process may not change keeps its files; the reason it could not be opened is the error then.
  if (std::filesystem::exists(folder / "MediaCache.db", error)) throw CommandFailure(reason);
  removal.fileBytesAfter = fileBytes();
  removal.spaceReturned = true;
  removal.filesDeleted = true;
  return removal;
}

}  // namespace

std::filesystem::path ManagedCacheFolder() {
  return std::filesystem::path(
      zelcore::text::WstringToUTF8(BE::GetBackend()->GetPreferences()->GetAnalyzerCacheDirectory()));
}

namespace {

// `quillan cache path`.
int RunCachePath(OutputFormat format) {
  std::filesystem::path const folder = ManagedCacheFolder();
  if (format == OutputFormat::kTable) {
    std::cout << folder.string() << "\n";
  } else {
    PrintRecord({{"path", folder.string()}}, format);
  }
  return kExitOk;
}

// `quillan cache stats`.
int RunCacheStats(OutputFormat format) {
  PrintRecord(StatisticsRecord(ManagedCacheFolder(), format), format);
  return kExitOk;
}

// `quillan cache prune` with `prune`, or `quillan cache clear` without.
int RunCacheRemoval(std::optional<PruneRequest> const& prune, OutputFormat format) {
  std::filesystem::path const folder = ManagedCacheFolder();
  MF::DiskCachePruneRules const rules = prune ? PruneRules(*prune) : MF::DiskCachePruneRules{};
  MF::DiskCacheRemoval removal;
  if (FolderExists(folder)) {
    auto const store = ManagedDataStoreAdaptor::Create();
    auto& managed = static_cast<ManagedDataStoreAdaptor&>(*store);
    if (std::string const reason = managed.GetUnavailableReason(); reason.empty()) {
      removal = prune ? managed.PruneCache(rules) : managed.ClearCache();
    } else {
      removal = DeleteUnopenableCache(folder, reason);
    }
  } else {
    removal.spaceReturned = true;
  }
  if (removal.filesDeleted) {
    std::cerr << "quillan: note: the cache's database could not be changed (the volume is full), so its files were "
                 "deleted"
              << (prune ? ": every result went, not only those the prune selected" : "") << "\n";
  }
  PrintRecord(RemovalRecord(folder, removal, format), format);
  return kExitOk;
}

// Declares --format on `command`, whose action `run` prints its record in that format.
void SetRecordAction(CLI::App& command, CommandActions& actions, std::function<int(OutputFormat)> run) {
  auto const format = std::make_shared<OutputFormat>(OutputFormat::kTable);
  AddFormatOptions(command, *format);
  actions.Set(command, [format, run = std::move(run)] { return run(*format); });
}

}  // namespace

void AddCacheCommands(CLI::App& app, CommandActions& actions) {
  CLI::App& cache = *app.add_subcommand("cache", "the managed analyzer cache");
  SetRecordAction(*cache.add_subcommand("path", "print the managed cache folder"), actions, RunCachePath);
  SetRecordAction(*cache.add_subcommand("stats",
                                        "show the cache's items, the bytes they hold, the bytes its files take on "
                                        "disk, its bound (the cache-size setting) and the space it leaves free on "
                                        "its volume"),
                  actions, RunCacheStats);
  SetRecordAction(
      *cache.add_subcommand("clear", "remove every item from the managed cache and give its space back to the volume"),
      actions, [](OutputFormat format) { return RunCacheRemoval(std::nullopt, format); });
  auto const prune = std::make_shared<PruneRequest>();
  CLI::App& pruneCommand = *cache.add_subcommand("prune", "remove the least recently used items");
  pruneCommand
      .add_option("--older-than", prune->olderThan, "remove items unused for longer than AGE (s, m, h, d, w: 30d)")
      ->type_name("AGE");
  pruneCommand
      .add_option("--to-size", prune->toSize,
                  "then remove the least recently used items until the rest hold at most SIZE (K, M, G, T or KiB.."
                  "TiB count in 1024s, KB..TB in 1000s: 1G)")
      ->type_name("SIZE");
  SetRecordAction(pruneCommand, actions, [prune](OutputFormat format) { return RunCacheRemoval(*prune, format); });
}

}  // namespace Quillan::Cli
