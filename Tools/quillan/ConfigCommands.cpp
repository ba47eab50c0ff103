#include "quillan/ConfigCommands.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <iostream>
#include <memory>
#include <utility>

#include "BE/Backend.h"
#include "BE/Properties.h"
#include "DataStoreAdaptors/AnalyzerCacheSize.h"
#include "quillan/CacheCommands.h"
#include "quillan/DidYouMean.h"
#include "quillan/OutputFormat.h"
#include "quillan/SharedOptions.h"
#include "quillan/TextTable.h"
#include "zelcore/QuantityText.h"
#include "zelcore/ZelException.h"

namespace Quillan::Cli {
namespace {

constexpr char kCacheLocationSetting[] = "cache-location";
constexpr char kCacheSizeSetting[] = "cache-size";

zelcore::InterfaceRef<BE::IProperties> Properties() {
  auto properties = zelcore::InterfaceRef<BE::IProperties>::Query(BE::GetBackend());
  if (!properties) zelcore::config::DoThrowNullPtrException("BE::IProperties");
  return properties;
}

bool IsCacheLocationLocked() { return Properties()->IsReadOnly(BE::kPrefsAnalyzeImportedMediaCacheLocation); }
bool IsCacheSizeLocked() { return Properties()->IsReadOnly(kPrefsAnalyzerCacheMaxBytes); }

std::string CacheSizeText() { return zelcore::text::FormatByteSize(GetAnalyzerCacheMaxBytes()); }

// `config set cache-size VALUE`: a size the parser takes, within the bounds the store takes.
int SetCacheSize(std::string const& value) {
  bool stored = false;
  try {
    stored = SetAnalyzerCacheMaxBytes(zelcore::text::ParseByteSize(value));
  } catch (zelcore::config::zel_exception const& e) {
    if (e.GetResult() != zelcore::config::kResultInvalidArgument) throw;
    throw UsageError("cache-size cannot be \"" + value + "\": " + e.what(), "config set");
  }
  if (!stored) throw CommandFailure("the cache-size setting is read-only; it stays " + CacheSizeText());
  return kExitOk;
}

// The values that `config set cache-location` takes.
constexpr std::pair<char const*, AnalyzerCacheLocation> kCacheLocationNames[] = {
    {"sidecar", AnalyzerCacheLocation::kSidecarFile},
    {"managed", AnalyzerCacheLocation::kManagedCache},
    {"read-only", AnalyzerCacheLocation::kReadOnly},
};

void CheckSettingName(std::string const& name, std::string const& command) {
  std::vector<std::string> const known = SettingNames();
  if (std::find(known.begin(), known.end(), name) == known.end()) {
    throw UsageError(
        "unknown setting \"" + name + "\"" + DidYouMean(name, known) + " (known: cache-location, cache-size)", command);
  }
}

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

std::string SettingsProblemText(BE::exSettingsFile const& problem) {
  std::string text = problem.what();
  if (problem.GetKey() == BE::kPrefsAnalyzeImportedMediaCacheLocation.ToUTF8String()) {
    text += " ('quillan config set cache-location sidecar|managed|read-only' replaces it)";
  } else if (problem.GetKey() == kPrefsAnalyzerCacheMaxBytes.ToUTF8String()) {
    text += " ('quillan config set cache-size SIZE' replaces it)";
  }
  return text;
}

std::vector<std::string> SettingNames() { return {kCacheLocationSetting, kCacheSizeSetting}; }

namespace {

// `quillan config get NAME`.
int RunConfigGet(std::string const& name) {
  CheckSettingName(name, "config get");
  if (name == kCacheSizeSetting) {
    std::cout << CacheSizeText() << "\n";
    if (IsCacheSizeLocked()) std::cerr << "quillan: the cache-size setting is read-only\n";
    return kExitOk;
  }
  std::cout << CacheLocationText(GetDefaultCacheLocation()) << "\n";
  if (IsCacheLocationLocked()) std::cerr << "quillan: the cache-location setting is read-only\n";
  return kExitOk;
}

// `quillan config set NAME VALUE`: refuses a value that the setting does not know, listing those it does.
int RunConfigSet(std::string const& name, std::string const& value) {
  CheckSettingName(name, "config set");
  if (name == kCacheSizeSetting) return SetCacheSize(value);
  auto const known = std::find_if(std::begin(kCacheLocationNames), std::end(kCacheLocationNames),
                                  [&](auto const& entry) { return entry.first == value; });
  if (known == std::end(kCacheLocationNames)) {
    std::vector<std::string> names;
    for (auto const& entry : kCacheLocationNames) names.emplace_back(entry.first);
    throw UsageError("cache-location cannot be \"" + value + "\"" + DidYouMean(value, names) +
                         "; allowed values: sidecar, managed, read-only",
                     "config set");
  }
  if (!SetDefaultCacheLocation(known->second)) {
    throw CommandFailure("the cache-location setting is read-only; it stays " +
                         CacheLocationText(GetDefaultCacheLocation()));
  }
  return kExitOk;
}

// `quillan config list`: every setting with its value and where the value comes from.
int RunConfigList(OutputFormat format, FolderSources const& sources) {
  struct Row {
    std::string name;
    std::string value;
    std::string source;
    bool readOnly = false;
  };
  bool const set = Properties()->HasValue(BE::kPrefsAnalyzeImportedMediaCacheLocation);
  std::filesystem::path const settingsFile = BE::GetDefaultPropertiesFilePath();
  std::vector<Row> const rows = {
      {.name = kCacheLocationSetting,
       .value = CacheLocationText(GetDefaultCacheLocation()),
       .source = set ? "settings file" : "default",
       .readOnly = IsCacheLocationLocked()},
      {.name = kCacheSizeSetting,
       .value = CacheSizeText(),
       .source = Properties()->HasValue(kPrefsAnalyzerCacheMaxBytes) ? "settings file" : "default",
       .readOnly = IsCacheSizeLocked()},
      {.name = "settings-file", .value = settingsFile.string(), .source = sources.configDirectory},
      {.name = "cache-folder", .value = ManagedCacheFolder().string(), .source = sources.cacheDirectory},
  };
  switch (format) {
    case OutputFormat::kJson:
    case OutputFormat::kNdjson: {
      nlohmann::ordered_json settings = nlohmann::ordered_json::array();
      for (Row const& row : rows) {
        nlohmann::ordered_json entry = {
            {"name", row.name}, {"value", row.value}, {"source", row.source}, {"readOnly", row.readOnly}};
        if (format == OutputFormat::kNdjson) {
          nlohmann::ordered_json line = {{"schema", kSchemaVersion}};
          line.update(entry);
          std::cout << JsonText(line) << "\n";
        }
        settings.push_back(std::move(entry));
      }
      if (format == OutputFormat::kJson) {
        std::cout << JsonText({{"schema", kSchemaVersion}, {"settings", settings}}) << "\n";
      }
      break;
    }
    case OutputFormat::kCsv:
      std::cout << CsvLine({"schema", "name", "value", "source", "readOnly"});
      for (Row const& row : rows) {
        std::cout << CsvLine(
            {std::to_string(kSchemaVersion), row.name, row.value, row.source, row.readOnly ? "true" : "false"});
      }
      break;
    case OutputFormat::kTable: {
      TextTable table({"SETTING", "VALUE", "SOURCE"});
      for (Row const& row : rows) {
        table.AddRow({row.name, Printable(row.value), row.source + (row.readOnly ? ", read-only" : "")});
      }
      std::cout << table.Format();
      break;
    }
  }
  return kExitOk;
}

}  // namespace

void AddConfigCommands(CLI::App& app, CommandActions& actions, std::function<FolderSources()> sources) {
  CLI::App& config = *app.add_subcommand("config", "read or write the persisted settings");

  auto const getName = std::make_shared<std::string>();
  CLI::App& get = *config.add_subcommand("get", "print a setting's value");
  get.add_option("NAME", *getName, "the setting: cache-location or cache-size")->required();
  actions.Set(get, [getName] { return RunConfigGet(*getName); });

  auto const setName = std::make_shared<std::string>();
  auto const setValue = std::make_shared<std::string>();
  CLI::App& set = *config.add_subcommand("set", "change a setting in the settings file");
  set.add_option("NAME", *setName, "the setting: cache-location or cache-size")->required();
  set.add_option("VALUE", *setValue,
                 "its new value; cache-location: sidecar, managed or read-only; cache-size: the managed "
                 "cache's bound, at least 1M (2G, 500M, 1.5GiB)")
      ->required();
  actions.Set(set, [setName, setValue] { return RunConfigSet(*setName, *setValue); });

  auto const listFormat = std::make_shared<OutputFormat>(OutputFormat::kTable);
  CLI::App& list = *config.add_subcommand("list", "show every setting, its value and where the value comes from");
  AddFormatOptions(list, *listFormat);
  actions.Set(list, [listFormat, sources = std::move(sources)] { return RunConfigList(*listFormat, sources()); });
}

}  // namespace Quillan::Cli
