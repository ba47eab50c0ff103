#include "quillan/CommandLineApp.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "BE/Backend.h"
#include "BE/Properties.h"
#include "DataStoreAdaptors/DataStoreAdaptorUtils.h"
#include "Export/ExportFormat.h"
#include "quillan/AnalyzerCatalog.h"
#include "quillan/CacheCommands.h"
#include "quillan/ConfigCommands.h"
#include "quillan/DidYouMean.h"
#include "quillan/ManualWriter.h"
#include "zelcore/DebugDatabase.h"

namespace Quillan::Cli {
namespace {

// The debug database entries that something in the tool reads.
std::vector<std::string> KnownDebugEntries() { return {kIgnoreAnalyzerCacheEntry}; }

constexpr char kExitCodes[] =
    "Exit codes: 0 all fine; 1 an analysis failed, a file or the settings file was bad or a request was refused; 2 "
    "bad arguments or an analyzer module that cannot be loaded; 130, 143, 129 interrupted by SIGINT, SIGTERM, SIGHUP.";

std::string Join(std::vector<std::string> const& words) {
  std::string text;
  for (std::string const& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

std::string ExportFormats() {
  std::string words;
  for (std::string_view const name : Export::ExportFormatNames())
    words += (words.empty() ? "" : " ") + std::string(name);
  return words;
}

std::string PathOf(CLI::App const& command) {
  std::string path;
  for (CLI::App const* at = &command; at != nullptr && at->get_parent() != nullptr; at = at->get_parent()) {
    path = at->get_name() + (path.empty() ? "" : " " + path);
  }
  return path;
}

// The deepest command that the parse entered.
CLI::App* Deepest(CLI::App* app) {
  while (!app->get_subcommands().empty()) app = app->get_subcommands().front();
  return app;
}

std::vector<std::string> VisibleCommandNames(CLI::App const& app) {
  std::vector<std::string> names;
  for (CLI::App const* sub : app.get_subcommands({})) {
    if (sub->get_group().empty()) continue;
    names.push_back(sub->get_name());
    for (std::string const& alias : sub->get_aliases()) names.push_back(alias);
  }
  return names;
}

std::vector<std::string> OptionNames(CLI::App const& app) {
  std::vector<std::string> names;
  for (CLI::App const* at = &app; at != nullptr; at = at->get_parent()) {
    for (CLI::Option const* option : at->get_options()) {
      for (std::string const& name : option->get_lnames()) names.push_back("--" + name);
      for (std::string const& name : option->get_snames()) names.push_back("-" + name);
    }
  }
  return names;
}

// --format and its shorthand --json on `command`, into `format`.
void AddFormat(CLI::App* command, OutputFormat& format, std::string const& ndjsonNote) {
  std::vector<std::string> names;
  for (auto const& [name, value] : OutputFormatNames()) names.push_back(name);
  command
      ->add_option_function<std::string>(
          "--format", [&format](std::string const& name) { format = OutputFormatNames().at(name); },
          "how results are printed: table (aligned columns, the default), json (one document), ndjson (one JSON "
          "object per line" +
              ndjsonNote + ") or csv (a header line, then one row per line)")
      ->check(CLI::IsMember(names))
      ->type_name("FORMAT");
  command
      ->add_flag_callback(
          "--json", [&format] { format = OutputFormat::kJson; }, "the same as --format json")
      ->disable_flag_override();
}

void AddPlugins(CLI::App* command, std::vector<std::string>& modules) {
  command
      ->add_option("--plugin", modules,
                   "load an analyzer module (a shared library) first; its analyzers can then be named like the "
                   "built-in ones. May be repeated.")
      ->type_name("FILE.so")
      ->allow_extra_args(false);
}

// What analyze and show share: which analyzers, with which parameters, on which files of the folders given.
void AddSelection(CLI::App* command, AnalyzeOptions& options) {
  command
      ->add_option("--analyzer,-a", options.analyzers,
                   "run this analyzer: a name from 'quillan analyzers' or a GUID. May be repeated.")
      ->type_name("NAME")
      ->allow_extra_args(false);
  command
      ->add_option("--param,-p", options.parameters,
                   "give analyzer NAME (a name or GUID of this run's analyzers) the parameter text VALUE, "
                   "comma-separated SETTING=VALUE items ('quillan analyzers' lists each analyzer's settings and their "
                   "defaults); a later --param for the same analyzer replaces an earlier one")
      ->type_name("NAME=VALUE")
      ->allow_extra_args(false);
  command
      ->add_flag("-r,--recursive", options.recursive,
                 "analyse the files in the folders among FILE and in all their subfolders (without it, a folder's "
                 "own files only)")
      ->disable_flag_override();
  command
      ->add_option("--include", options.include,
                   "take only the files of folders that GLOB matches (a name, or with a '/' a path below the "
                   "folder: '*.wav', 'day1/*.mov'). May be repeated.")
      ->type_name("GLOB")
      ->allow_extra_args(false);
  command
      ->add_option("--exclude", options.exclude,
                   "leave out the files and subfolders of folders that GLOB matches; wins over --include. May be "
                   "repeated.")
      ->type_name("GLOB")
      ->allow_extra_args(false);
}

std::string Source(std::string const& option, std::string const& optionName, char const* variable) {
  if (!option.empty()) return optionName;
  if (std::getenv(variable) != nullptr) return variable;
  return "default";
}

}  // namespace

CommandLineApp::CommandLineApp() : app_(std::make_unique<CLI::App>()) { Build(); }

CommandLineApp::~CommandLineApp() = default;

void CommandLineApp::Build() {
  CLI::App& app = *app_;
  app.name("quillan");
  app.description("Analyse media files with analyzers, and look after the caches of their results.");
  app.set_help_flag("-h,--help", "show this help and exit; 'quillan help COMMAND' shows one command's");
  app.footer(std::string("Run 'quillan help COMMAND' or 'quillan COMMAND --help' for the options of one command.\n") +
             kExitCodes);
  app.get_formatter()->column_width(34);
  app.allow_extras();
  app.add_option("--cache-dir", globals_.cacheDirectory,
                 "the folder for caches: the managed analyzer cache is DIR/AnalyzerCache (default: "
                 "$QUILLAN_CACHE_DIR, else $XDG_CACHE_HOME/quillan, else ~/.cache/quillan)")
      ->type_name("DIR");
  app.add_option("--config-dir", globals_.configDirectory,
                 "the folder for settings: the settings file is DIR/properties (default: $QUILLAN_CONFIG_DIR, "
                 "else $XDG_CONFIG_HOME/quillan, else ~/.config/quillan)")
      ->type_name("DIR");
  app.add_option("--debug", globals_.debugEntries,
                 "set a debug database entry, e.g. " + std::string(kIgnoreAnalyzerCacheEntry) +
                     "=true (every cache load misses); unknown keys are set with a warning. May be repeated.")
      ->type_name("KEY=VALUE")
      ->allow_extra_args(false);
  app.add_flag("--version", globals_.version, "print the tool's version and exit")->disable_flag_override();

  CLI::App* analyze = app.add_subcommand(
      "analyze",
      "analyse media files (with every analyzer that runs on media files, unless --analyzer names some) and print the "
      "results");
  analyze->alias("analyse");
  AddSelection(analyze, analyze_);
  analyze
      ->add_option("--cache-location", analyze_.cacheLocation,
                   "where results are looked up and saved, for this run only: sidecar (a .qvmi file beside the "
                   "media), managed (the managed cache), read-only (read the sidecar, write nowhere) or a number")
      ->type_name("WHERE");
  AddFormat(analyze, analyze_.format, ", each printed as soon as its job ends");
  analyze->add_option("-j,--jobs", analyze_.jobs, "run up to N analyses at once (default: one per processor)")
      ->type_name("N")
      ->check(CLI::Range(1, 1024).description(""));
  analyze
      ->add_option_function<std::string>(
          "--order",
          [this](std::string const& order) {
            analyze_.order = order == "given" ? JobOrder::kGiven : JobOrder::kShortestFirst;
          },
          "which analyses start first: shortest (the smallest file first, the default) or given (the order of the "
          "command line); tables and JSON list results in the given order either way")
      ->check(CLI::IsMember({"shortest", "given"}))
      ->type_name("ORDER");
  analyze
      ->add_flag("--force", analyze_.force,
                 "compute every result afresh, whatever is stored, and store it over what was there")
      ->disable_flag_override();
  analyze
      ->add_flag("--no-progress", analyze_.noProgress,
                 "draw no progress bars (they are drawn only when stderr is a terminal and TERM is not dumb)")
      ->disable_flag_override();
  AddPlugins(analyze, analyze_.modules);
  analyze
      ->add_option("FILE", analyze_.files,
                   "a media file, or a folder of media files; files with the sidecar extension .qvmi are skipped, and "
                   "so are files in folders that are not media (pictures, scripts, documents)")
      ->required();

  CLI::App* show =
      app.add_subcommand("show", "print the results stored for media files, as analyze would, computing nothing");
  show_.storedOnly = true;
  show_.noProgress = true;
  AddSelection(show, show_);
  AddFormat(show, show_.format, "");
  show->add_option("FILE", show_.files, "a media file, or a folder of media files")->required();

  CLI::App* analyzers = app.add_subcommand(
      "analyzers", "list the registered analyzers, what each does and the settings of its parameter (--param)");
  AddFormat(analyzers, listFormat_, "");
  AddPlugins(analyzers, modules_);

  CLI::App* sidecar = app.add_subcommand("sidecar", "look into sidecar files (.qvmi)");
  CLI::App* dump = sidecar->add_subcommand("dump", "show the items of a sidecar file and describe each value");
  dump->add_option("FILE", sidecarFile_, "the sidecar file")->required();
  AddFormat(dump, listFormat_, ", one per value");
  AddPlugins(dump, modules_);
  CLI::App* get = sidecar->add_subcommand("get", "write the raw bytes of one value (to stdout without -o)");
  get->add_option("FILE", sidecarGet_.file, "the sidecar file")->required();
  get->add_option("--analyzer,-a", sidecarGet_.analyzer, "the analyzer whose value to get: a name or a GUID")
      ->type_name("NAME")
      ->required();
  get->add_option("--data-source", sidecarGet_.dataSource,
                  "the item's data source (the media's content state); needed when the file holds several items "
                  "of the analyzer")
      ->type_name("TEXT");
  get->add_option("--key", sidecarGet_.key, "the value's key; needed when the item holds several values")
      ->type_name("TEXT");
  get->add_option("-o,--output", sidecarGet_.output, "write the bytes to this file instead of stdout")
      ->type_name("OUT");
  get->add_flag("-y,--overwrite", sidecarGet_.overwrite, "replace OUT when it exists (never FILE or another sidecar)")
      ->disable_flag_override();
  AddPlugins(get, sidecarGet_.modules);
  CLI::App* verify = sidecar->add_subcommand("verify", "check that sidecar files decode");
  verify->add_option("FILE", sidecarFiles_, "a sidecar file")->required();
  CLI::App* clean = sidecar->add_subcommand(
      "clean", "remove sidecar files: each one checked to be a sidecar (a regular file that decodes) first");
  clean
      ->add_option("PATH", sidecarClean_.paths,
                   "a sidecar file, a media file (its sidecar), or a folder (the sidecars in it)")
      ->required();
  clean->add_flag("-r,--recursive", sidecarClean_.recursive, "the sidecars in the folders' subfolders too")
      ->disable_flag_override();
  clean->add_flag("--dry-run", sidecarClean_.dryRun, "list the sidecars that would be removed; remove nothing")
      ->disable_flag_override();

  CLI::App* cache = app.add_subcommand("cache", "the managed analyzer cache");
  cache->add_subcommand("path", "print the managed cache folder");
  cache->add_subcommand("stats",
                        "show the cache's items, the bytes they hold, the bytes its files take on disk, its bound (the "
                        "cache-size setting) and the space it leaves free on its volume");
  cache->add_subcommand("clear", "remove every item from the managed cache and give its space back to the volume");
  CLI::App* prune = cache->add_subcommand("prune", "remove the least recently used items");
  prune->add_option("--older-than", prune_.olderThan, "remove items unused for longer than AGE (s, m, h, d, w: 30d)")
      ->type_name("AGE");
  prune
      ->add_option("--to-size", prune_.toSize,
                   "then remove the least recently used items until the rest hold at most SIZE (K, M, G, T or KiB.."
                   "TiB count in 1024s, KB..TB in 1000s: 1G)")
      ->type_name("SIZE");
  for (CLI::App* action : cache->get_subcommands({})) AddFormat(action, listFormat_, "");

  CLI::App* config = app.add_subcommand("config", "read or write the persisted settings");
  CLI::App* configGet = config->add_subcommand("get", "print a setting's value");
  configGet->add_option("NAME", settingName_, "the setting: cache-location or cache-size")->required();
  CLI::App* configSet = config->add_subcommand("set", "change a setting in the settings file");
  configSet->add_option("NAME", settingName_, "the setting: cache-location or cache-size")->required();
  configSet
      ->add_option("VALUE", settingValue_,
                   "its new value; cache-location: sidecar, managed or read-only; cache-size: the managed "
                   "cache's bound, at least 1M (2G, 500M, 1.5GiB)")
      ->required();
  CLI::App* configList = config->add_subcommand("list", "show every setting, its value and where the value comes from");
  AddFormat(configList, listFormat_, "");

  // Pictures of the peaks and scenes analyzers' results.
  pictures_.AddTo(app);
  // Events as chapters, timelines and tables.
  export_.AddTo(app);

  CLI::App* help = app.add_subcommand("help", "show the help of the tool or of one command");
  help->add_option("COMMAND", helpTopic_, "the command, e.g. 'analyze' or 'sidecar get'");

  // The man page and the bash completion are made at build time from this same description.
  CLI::App* generate = app.add_subcommand("generate-manual", "write the man page or the bash completion");
  generate->group("");
  generate->add_option("WHAT", generateWhat_)->check(CLI::IsMember({"man", "bash-completion"}))->required();
  generate->add_option("OUTPUT", generateOutput_)->required();

  // One command per run: a word after it that names another (a file called "config") is an argument. Arguments that
  // nothing takes are kept for RejectLeftovers, which names the closest option or command.
  app.require_subcommand(0, 1);
  app.get_formatter()->label("SUBCOMMAND", "COMMAND");
  for (CLI::App* command : app.get_subcommands({})) {
    command->allow_extras();
    command->require_subcommand(0, 1);
    if (!command->get_group().empty()) command->group("Commands");
    for (CLI::App* sub : command->get_subcommands({})) {
      sub->allow_extras();
      sub->group("Commands");
    }
  }
}

CLI::App* CommandLineApp::Find(std::string const& command) const {
  CLI::App* at = app_.get();
  std::istringstream words(command);
  for (std::string word; words >> word;) {
    CLI::App* next = nullptr;
    for (CLI::App* sub : at->get_subcommands({})) {
      if (sub->check_name(word)) next = sub;
    }
    if (next == nullptr) return nullptr;
    at = next;
  }
  return at;
}

std::string CommandLineApp::UsageOf(std::string const& command) const {
  CLI::App const* app = Find(command);
  if (app == nullptr) app = app_.get();
  std::string const path = PathOf(*app);
  auto const formatter = std::dynamic_pointer_cast<CLI::Formatter>(app->get_formatter());
  std::string usage = formatter->make_usage(app, "quillan" + (path.empty() ? "" : " " + path));
  usage = "usage:" + usage.substr(usage.find(':') + 1);
  if (!usage.empty() && usage.back() == '\n') usage.pop_back();
  return usage;
}

std::string CommandLineApp::HelpOf(CLI::App const& command) const {
  std::string const path = PathOf(command);
  return command.get_formatter()->make_help(&command, "quillan" + (path.empty() ? "" : " " + path),
                                            CLI::AppFormatMode::Normal);
}

std::map<std::string, std::string> CommandLineApp::ValueWords() const {
  return {{"--analyzer", "@analyzers"},
          {"-a", "@analyzers"},
          {"--format", "table json ndjson csv"},
          {"--cache-location", "sidecar managed read-only"},
          {"--include", ""},
          {"--exclude", ""},
          {"--order", "shortest given"},
          {"--cache-dir", "@directories"},
          {"--config-dir", "@directories"},
          {"--plugin", "@files"},
          {"-o", "@files"},
          {"--output", "@files"},
          {"--debug", std::string(kIgnoreAnalyzerCacheEntry) + "=true"},
          {"-j", ""},
          {"--jobs", ""},
          {"--param", "@parameters"},
          {"-p", "@parameters"},
          {"help COMMAND", "@commands"},
          {"config get NAME", Join(SettingNames())},
          {"config set NAME", Join(SettingNames())},
          {"--data-source", ""},
          {"--key", ""},
          {"--channels", "split mix"},
          {"--scale", "linear dbfs"},
          {"--from", ""},
          {"--to", ""},
          {"--width", ""},
          {"--height", ""},
          {"--bits", "8 16"},
          {"--threshold", ""},
          {"--thumbnail-height", ""},
          {"--max-width", ""},
          {"--max-scenes", ""},
          {"export --to", ExportFormats()}};
}

void CommandLineApp::RejectLeftovers(CLI::App const& command) const {
  std::string const path = PathOf(command);
  std::vector<std::string> const left = command.remaining(true);
  // Options the command did not take may have been parked with its parents.
  std::vector<std::string> leftovers = left;
  for (CLI::App const* at = command.get_parent(); at != nullptr; at = at->get_parent()) {
    for (std::string const& argument : at->remaining(false)) leftovers.push_back(argument);
  }
  if (leftovers.empty()) return;
  std::string const& first = leftovers.front();
  if (first.size() > 1 && first[0] == '-') {
    std::string const name = first.substr(0, first.find('='));
    throw UsageError("unknown option " + name + DidYouMean(name, OptionNames(command)), path);
  }
  std::vector<std::string> const commands = VisibleCommandNames(command);
  if (!commands.empty()) {
    throw UsageError(
        "unknown command \"" + (path.empty() ? "" : path + " ") + first + "\"" + DidYouMean(first, commands), path);
  }
  throw UsageError("unexpected argument " + first, path);
}

void CommandLineApp::ApplyGlobals() const {
  for (std::string const& entry : globals_.debugEntries) {
    auto const equals = entry.find('=');
    if (equals == std::string::npos || equals == 0) {
      throw UsageError("--debug expects KEY=VALUE, not \"" + entry + "\"");
    }
    std::string const key = entry.substr(0, equals);
    std::vector<std::string> const known = KnownDebugEntries();
    if (std::find(known.begin(), known.end(), key) == known.end()) {
      std::string list;
      for (std::string const& name : known) list += (list.empty() ? "" : ", ") + name;
      std::cerr << "quillan: warning: unknown debug entry \"" << key << "\"" << DidYouMean(key, known)
                << " (known: " << list << "); set all the same\n";
    }
    zelcore::debug::DebugDatabase::Instance().SetEntry(key, entry.substr(equals + 1));
  }
  // Absolute, so that a later change of the working folder cannot move them. The project model reads these
  // variables when it first makes its settings and picks its cache folder, which has not happened yet.
  if (!globals_.cacheDirectory.empty()) {
    setenv("QUILLAN_CACHE_DIR", std::filesystem::absolute(globals_.cacheDirectory).c_str(), 1);
  }
  if (!globals_.configDirectory.empty()) {
    setenv("QUILLAN_CONFIG_DIR", std::filesystem::absolute(globals_.configDirectory).c_str(), 1);
  }
  auto const properties = zelcore::InterfaceRef<BE::IProperties>::Query(BE::GetBackend());
  // Only if something made the backend before main (a module's static initialiser, say).
  if (properties && properties->GetFilePath() != BE::GetDefaultPropertiesFilePath()) {
    properties->SetFilePath(BE::GetDefaultPropertiesFilePath());
  }
}

int CommandLineApp::Run(int argc, char const* const* argv) {
  try {
    app_->parse(argc, argv);
  } catch (CLI::CallForHelp const&) {
    std::cout << HelpOf(*Deepest(app_.get()));
    return kExitOk;
  } catch (CLI::ParseError const& error) {
    throw UsageError(error.what(), PathOf(*Deepest(app_.get())));
  }
  CLI::App* const command = Deepest(app_.get());
  RejectLeftovers(*command);
  if (globals_.version) {
    std::cout << "quillan " << QUILLAN_VERSION_STRING << " (" << QUILLAN_BUILD_TYPE << ")\n";
    return kExitOk;
  }
  if (command == app_.get()) throw UsageError("missing COMMAND");
  if (command->get_name() == "help") {
    std::string topic;
    for (std::string const& word : helpTopic_) topic += (topic.empty() ? "" : " ") + word;
    CLI::App const* found = Find(topic);
    if (found == nullptr || found->get_group().empty()) {
      CLI::App const* parent = app_.get();
      std::string known;
      for (std::string const& word : helpTopic_) {
        CLI::App const* next = Find(known + (known.empty() ? "" : " ") + word);
        if (next == nullptr) {
          throw UsageError("no help for \"" + topic + "\": unknown command \"" + word + "\"" +
                               DidYouMean(word, VisibleCommandNames(*parent)),
                           "help");
        }
        known += (known.empty() ? "" : " ") + word;
        parent = next;
      }
      throw UsageError("no help for \"" + topic + "\"", "help");
    }
    std::cout << HelpOf(*found);
    return kExitOk;
  }
  if (command->get_name() == "generate-manual") {
    WriteManual(*app_, generateWhat_ == "man" ? ManualKind::kManPage : ManualKind::kBashCompletion, ValueWords(),
                ListAnalyzers(), generateOutput_, QUILLAN_VERSION);
    return kExitOk;
  }
  if (!command->get_subcommands({}).empty()) {
    std::string names;
    for (std::string const& name : VisibleCommandNames(*command)) names += (names.empty() ? "" : ", ") + name;
    throw UsageError("missing command after \"" + PathOf(*command) + "\" (" + names + ")", PathOf(*command));
  }
  FolderSources const sources{Source(globals_.configDirectory, "--config-dir", "QUILLAN_CONFIG_DIR"),
                              Source(globals_.cacheDirectory, "--cache-dir", "QUILLAN_CACHE_DIR")};
  ApplyGlobals();
  std::string const path = PathOf(*command);
  if (path == "analyze") return RunAnalyzeCommand(analyze_);
  if (path == "show") return RunAnalyzeCommand(show_);
  if (std::optional<int> const exitCode = pictures_.Run(path)) return *exitCode;
  if (std::optional<int> const exitCode = export_.Run(path)) return *exitCode;
  if (path == "analyzers") return RunAnalyzersCommand(listFormat_, modules_);
  if (path == "sidecar dump") return RunSidecarDump(sidecarFile_, listFormat_, modules_);
  if (path == "sidecar get") return RunSidecarGet(sidecarGet_);
  if (path == "sidecar verify") return RunSidecarVerify(sidecarFiles_);
  if (path == "sidecar clean") return RunSidecarClean(sidecarClean_);
  if (path.starts_with("cache ")) return RunCacheCommand(command->get_name(), listFormat_, prune_);
  if (path == "config get") return RunConfigGet(settingName_);
  if (path == "config set") return RunConfigSet(settingName_, settingValue_);
  if (path == "config list") return RunConfigList(listFormat_, sources);
  throw UsageError("unknown command \"" + path + "\"");
}

}  // namespace Quillan::Cli
