#include "quillan/SidecarCommands.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "DataStoreAdaptors/ResultCodes.h"
#include "DataStoreAdaptors/SidecarDataStoreAdaptor.h"
#include "DataStoreAdaptors/SidecarFile.h"
#include "DataStoreAdaptors/SidecarMaxLoadBytes.h"
#include "quillan/AnalyzerCatalog.h"
#include "quillan/FolderWalk.h"
#include "quillan/OutputPath.h"
#include "quillan/ResultFormatting.h"
#include "quillan/SharedOptions.h"
#include "quillan/TextTable.h"
#include "quillan/ToolErrors.h"
#include "zelcore/ZelException.h"

namespace Quillan::Cli {
namespace {

using zelcore::config::zel_exception;
using zelcore::utility::Guid;

// The item's values as (key, blob) pairs sorted by key, bytewise.
std::vector<std::pair<std::string, zelcore::Blob>> SortedValues(SideCarAnalyzerItem const& item) {
  std::vector<std::pair<std::string, zelcore::Blob>> values(item.values.begin(), item.values.end());
  std::sort(values.begin(), values.end(), [](auto const& a, auto const& b) { return a.first < b.first; });
  return values;
}

std::size_t SizeOf(zelcore::Blob const& blob) { return blob ? blob->size() : 0; }

// The one element of `candidates` that `wanted` picks, or the only one when nothing is wanted. Throws
// kResultSidecarEntryNotFound with `notFound` when none fits, and UsageError listing them when several do.
template <typename Candidate, typename Text>
Candidate const& PickOne(std::vector<Candidate> const& candidates, std::optional<std::string> const& wanted,
                         Text const& text, std::string const& option, char const* notFound) {
  std::vector<Candidate const*> fitting;
  for (Candidate const& candidate : candidates) {
    if (!wanted || text(candidate) == *wanted) fitting.push_back(&candidate);
  }
  if (fitting.empty()) throw zel_exception(notFound, kResultSidecarEntryNotFound);
  if (fitting.size() > 1) {
    std::string choices;
    for (Candidate const* candidate : fitting) choices += "\n  " + Printable(text(*candidate));
    throw UsageError("the file holds several; give " + option + ", one of:" + choices, "sidecar get");
  }
  return *fitting.front();
}

}  // namespace

std::shared_ptr<SideCarSerializationData> ReadSidecarFile(std::filesystem::path const& path) {
  // As the store reads it: no link followed, no FIFO waited on, nothing over the user's load bound read whole.
  return SidecarDataStoreAdaptorSerialization::DeserializeDataStoreFromBinary(
      SidecarFile::Read(path, GetSidecarMaxLoadBytes()));
}

namespace {

// The arguments of `quillan sidecar dump`.
struct SidecarDumpOptions {
  std::string file;
  OutputFormat format = OutputFormat::kTable;
  std::vector<std::string> modules;
};

// The arguments of `quillan sidecar get`.
struct SidecarGetOptions {
  std::string file;
  std::string analyzer;                   // a name or GUID
  std::optional<std::string> dataSource;  // needed only when the file holds several items of the analyzer
  std::optional<std::string> key;         // needed only when the item holds several values
  std::optional<std::string> output;      // stdout when empty
  bool overwrite = false;                 // replace an existing output file
  std::vector<std::string> modules;
};

// The arguments of `quillan sidecar clean`.
struct SidecarCleanOptions {
  std::vector<std::string> paths;  // sidecars, media files (their sidecar is meant) and folders
  bool recursive = false;          // the sidecars in the folders' subfolders too
  bool dryRun = false;             // list what would go; remove nothing
};

// `quillan sidecar dump FILE`: every item and value, each value described by its analyzer.
int RunSidecarDump(SidecarDumpOptions const& options) {
  std::string const& file = options.file;
  OutputFormat const format = options.format;
  LoadAnalyzerModules(options.modules);
  auto const data = ReadSidecarFile(file);
  std::vector<AnalyzerInfo> const catalog = ListAnalyzers();
  ResultDescriber describer;
  auto const describe = [&](SideCarAnalyzerItem const& item, std::string const& key, zelcore::Blob const& blob) {
    return describer.Describe(item.analyzerId, AnalyzerNameOf(catalog, item.analyzerId), key, blob);
  };
  switch (format) {
    case OutputFormat::kJson:
    case OutputFormat::kNdjson: {
      nlohmann::ordered_json items = nlohmann::ordered_json::array();
      for (auto const& [itemKey, item] : data->items) {
        nlohmann::ordered_json values = nlohmann::ordered_json::array();
        for (auto const& [key, blob] : SortedValues(item)) {
          nlohmann::ordered_json value = {
              {"key", key}, {"size", SizeOf(blob)}, {"result", DescriptionJson(describe(item, key, blob))}};
          if (format == OutputFormat::kNdjson) {
            nlohmann::ordered_json line = {{"schema", kSchemaVersion},
                                           {"analyzer", AnalyzerNameOf(catalog, item.analyzerId)},
                                           {"analyzerId", item.analyzerId.AsUTF8String()},
                                           {"dataSource", item.dataSourceId}};
            line.update(value);
            std::cout << JsonText(line) << "\n";
          }
          values.push_back(std::move(value));
        }
        items.push_back({{"analyzer", AnalyzerNameOf(catalog, item.analyzerId)},
                         {"analyzerId", item.analyzerId.AsUTF8String()},
                         {"dataSource", item.dataSourceId},
                         {"values", std::move(values)}});
      }
      if (format == OutputFormat::kJson) {
        std::cout << JsonText({{"schema", kSchemaVersion}, {"items", std::move(items)}}) << "\n";
      }
      return kExitOk;
    }
    case OutputFormat::kCsv:
      std::cout << CsvLine(
          {"schema", "analyzer", "analyzerId", "dataSource", "key", "size", "summary", "fields", "units"});
      for (auto const& [itemKey, item] : data->items) {
        for (auto const& [key, blob] : SortedValues(item)) {
          nlohmann::ordered_json const result = DescriptionJson(describe(item, key, blob));
          std::cout << CsvLine({std::to_string(kSchemaVersion), AnalyzerNameOf(catalog, item.analyzerId),
                                item.analyzerId.AsUTF8String(), item.dataSourceId, key, std::to_string(SizeOf(blob)),
                                result["summary"].get<std::string>(), JsonText(result["fields"]),
                                JsonText(result["units"])});
        }
      }
      return kExitOk;
    case OutputFormat::kTable:
      break;
  }
  std::cout << Printable(file) << ": " << data->items.size() << (data->items.size() == 1 ? " item" : " items") << "\n";
  for (auto const& [itemKey, item] : data->items) {
    std::string const name = AnalyzerNameOf(catalog, item.analyzerId);
    std::cout << "\nanalyzer     " << item.analyzerId.AsUTF8String()
              << (name == item.analyzerId.AsUTF8String() ? "" : " (" + Printable(name) + ")") << "\ndata source  "
              << Printable(item.dataSourceId) << "\n";
    TextTable table({"  KEY", "BYTES", "RESULT"});
    for (auto const& [key, blob] : SortedValues(item)) {
      table.AddRow({"  " + Printable(key), std::to_string(SizeOf(blob)), Printable(describe(item, key, blob).summary)});
    }
    std::cout << table.Format();
  }
  return kExitOk;
}

// `quillan sidecar get FILE --analyzer NAME [--data-source TEXT] [--key TEXT] [-o OUT [-y]]`: the raw bytes of one
// value, written to OUT as the picture commands write theirs (never over FILE, a sidecar or, without -y, any file).
int RunSidecarGet(SidecarGetOptions const& options) {
  std::optional<OutputPath> output;
  if (options.output) {
    output.emplace(*options.output, options.overwrite, "sidecar get");
    output->Reads(options.file, "the sidecar");
    for (std::string const& module : options.modules) output->Reads(module, "the analyzer module");
    output->Check();
  }
  LoadAnalyzerModules(options.modules);
  // A GUID is taken as it is: a file holds the results of analyzers that need not be loaded now.
  std::optional<Guid> analyzerId = Guid::FromString(options.analyzer);
  if (!analyzerId) analyzerId = ResolveAnalyzer(ListAnalyzers(), options.analyzer, "sidecar get").id;
  auto const data = ReadSidecarFile(options.file);
  std::vector<SideCarAnalyzerItem const*> items;
  for (auto const& [key, item] : data->items) {
    if (item.analyzerId == *analyzerId) items.push_back(&item);
  }
  SideCarAnalyzerItem const& item = *PickOne(
      items, options.dataSource, [](SideCarAnalyzerItem const* at) { return at->dataSourceId; }, "--data-source",
      "Analyzer Item not found in cache");
  auto const values = SortedValues(item);
  zelcore::Blob const& blob =
      PickOne(
          values, options.key, [](auto const& value) { return value.first; }, "--key", "Value not found in cache")
          .second;
  auto const* bytes = blob ? reinterpret_cast<char const*>(blob->data()) : nullptr;
  auto const size = static_cast<std::streamsize>(SizeOf(blob));

  if (!options.output) {
    std::cout.write(bytes, size);
    std::cout.flush();
    if (!std::cout) throw CommandFailure("could not write the value to standard output");
    return kExitOk;
  }
  output->Write(std::span(reinterpret_cast<std::uint8_t const*>(bytes), static_cast<std::size_t>(size)));
  return kExitOk;
}

// `quillan sidecar verify FILE...`
int RunSidecarVerify(std::vector<std::string> const& files) {
  int exitCode = kExitOk;
  for (std::string const& file : files) {
    try {
      auto const data = ReadSidecarFile(file);
      std::size_t values = 0;
      for (auto const& [key, item] : data->items) values += item.values.size();
      std::cout << Printable(file) << ": ok (" << data->items.size()
                << (data->items.size() == 1 ? " item, " : " items, ") << values
                << (values == 1 ? " value)" : " values)") << "\n";
    } catch (std::exception const& error) {
      std::cout << Printable(file) << ": " << error.what() << "\n";
      exitCode = kExitFailed;
    }
  }
  return exitCode;
}

bool IsSidecarName(std::filesystem::path const& path) {
  return path.extension() == SidecarDataStoreAdaptor::kDefaultSidecarExtension;
}

// The sidecars that `given` names: itself, a media file's sidecar, or those in a folder (and its subfolders).
void AddSidecars(std::string const& given, bool recursive, std::vector<std::filesystem::path>& found) {
  std::error_code error;
  if (!std::filesystem::is_directory(std::filesystem::symlink_status(given, error))) {
    std::filesystem::path path(given);
    if (!IsSidecarName(path)) path.replace_extension(SidecarDataStoreAdaptor::kDefaultSidecarExtension);
    if (std::filesystem::exists(std::filesystem::symlink_status(path, error))) found.push_back(path);
    return;
  }
  std::vector<std::filesystem::path> inFolder;
  WalkFolder(given, recursive, [&](std::filesystem::directory_entry const& entry) {
    std::error_code typeError;
    if (IsSidecarName(entry.path()) && !entry.is_directory(typeError)) inFolder.push_back(entry.path());
    return true;
  });
  std::sort(inFolder.begin(), inFolder.end());
  found.insert(found.end(), inFolder.begin(), inFolder.end());
}

// Why `path` is not a sidecar of ours, or empty when it is. Under the writers' lock, so that what is checked is what
// is removed.
std::string NotOurs(std::filesystem::path const& path) {
  try {
    ReadSidecarFile(path);
    return {};
  } catch (std::exception const& error) {
    return error.what();
  }
}

// `quillan sidecar clean [-r] [--dry-run] PATH...`: removes sidecar files, each only when it is a regular file that
// decodes as a sidecar, under the lock its writers take. Files that are not sidecars are named and left.
int RunSidecarClean(SidecarCleanOptions const& options) {
  std::vector<std::filesystem::path> sidecars;
  for (std::string const& path : options.paths) AddSidecars(path, options.recursive, sidecars);
  int exitCode = kExitOk;
  std::size_t removed = 0;
  std::uintmax_t bytes = 0;
  for (std::filesystem::path const& path : sidecars) {
    std::string const shown = Printable(path.string());
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) continue;  // gone meanwhile
    if (!S_ISREG(status.st_mode)) {
      std::cerr << "quillan: " << shown << ": left: not a regular file\n";
      exitCode = kExitFailed;
      continue;
    }
    try {
      SidecarFile locked(path);
      if (locked.Created()) continue;  // removed by someone else meanwhile
      if (std::string const why = NotOurs(path); !why.empty()) {
        std::cerr << "quillan: " << shown << ": left: not a sidecar file (" << why << ")\n";
        exitCode = kExitFailed;
        continue;
      }
      if (!options.dryRun) locked.Remove();
      ++removed;
      bytes += static_cast<std::uintmax_t>(locked.Size());
      std::cout << (options.dryRun ? "would remove " : "removed ") << shown << "\n";
    } catch (std::exception const& error) {
      std::cerr << "quillan: " << shown << ": " << error.what() << "\n";
      exitCode = kExitFailed;
    }
  }
  std::cout << removed << (removed == 1 ? " sidecar file" : " sidecar files") << (options.dryRun ? " would be" : "")
            << " removed (" << bytes << " bytes)\n";
  return exitCode;
}

}  // namespace

void AddSidecarCommands(CLI::App& app, CommandActions& actions) {
  CLI::App& sidecar = *app.add_subcommand("sidecar", "look into sidecar files (.qvmi)");

  auto const dump = std::make_shared<SidecarDumpOptions>();
  CLI::App& dumpCommand = *sidecar.add_subcommand("dump", "show the items of a sidecar file and describe each value");
  dumpCommand.add_option("FILE", dump->file, "the sidecar file")->required();
  AddFormatOptions(dumpCommand, dump->format, ", one per value");
  AddPluginOption(dumpCommand, dump->modules);
  actions.Set(dumpCommand, [dump] { return RunSidecarDump(*dump); });

  auto const get = std::make_shared<SidecarGetOptions>();
  CLI::App& getCommand = *sidecar.add_subcommand("get", "write the raw bytes of one value (to stdout without -o)");
  getCommand.add_option("FILE", get->file, "the sidecar file")->required();
  getCommand.add_option("--analyzer,-a", get->analyzer, "the analyzer whose value to get: a name or a GUID")
      ->type_name("NAME")
      ->required();
  getCommand
      .add_option("--data-source", get->dataSource,
                  "the item's data source (the media's content state); needed when the file holds several items "
                  "of the analyzer")
      ->type_name("TEXT");
  getCommand.add_option("--key", get->key, "the value's key; needed when the item holds several values")
      ->type_name("TEXT");
  getCommand.add_option("-o,--output", get->output, "write the bytes to this file instead of stdout")->type_name("OUT");
  getCommand.add_flag("-y,--overwrite", get->overwrite, "replace OUT when it exists (never FILE or another sidecar)")
      ->disable_flag_override();
  AddPluginOption(getCommand, get->modules);
  actions.Set(getCommand, [get] { return RunSidecarGet(*get); });

  auto const verify = std::make_shared<std::vector<std::string>>();
  CLI::App& verifyCommand = *sidecar.add_subcommand("verify", "check that sidecar files decode");
  verifyCommand.add_option("FILE", *verify, "a sidecar file")->required();
  actions.Set(verifyCommand, [verify] { return RunSidecarVerify(*verify); });

  auto const clean = std::make_shared<SidecarCleanOptions>();
  CLI::App& cleanCommand = *sidecar.add_subcommand(
      "clean", "remove sidecar files: each one checked to be a sidecar (a regular file that decodes) first");
  cleanCommand
      .add_option("PATH", clean->paths, "a sidecar file, a media file (its sidecar), or a folder (the sidecars in it)")
      ->required();
  cleanCommand.add_flag("-r,--recursive", clean->recursive, "the sidecars in the folders' subfolders too")
      ->disable_flag_override();
  cleanCommand.add_flag("--dry-run", clean->dryRun, "list the sidecars that would be removed; remove nothing")
      ->disable_flag_override();
  actions.Set(cleanCommand, [clean] { return RunSidecarClean(*clean); });
}

}  // namespace Quillan::Cli
