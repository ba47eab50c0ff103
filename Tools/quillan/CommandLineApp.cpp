#include "quillan/CommandLineApp.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "BE/Backend.h"
#include "BE/Properties.h"
#include "DataStoreAdaptors/DataStoreAdaptorUtils.h"
#include "Export/ExportFormat.h"
#include "quillan/AnalyzeCommand.h"
#include "quillan/AnalyzerCatalog.h"
#include "quillan/CacheCommands.h"
#include "quillan/ConfigCommands.h"
#include "quillan/DidYouMean.h"
#include "quillan/ExportCommand.h"
#include "quillan/ManualWriter.h"
#include "quillan/PictureCommands.h"
#include "quillan/SidecarCommands.h"
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
                     "=true: every cache load then reports a miss, so every result is computed again (and stored "
                     "over the old one), as 'analyze --force' does; unknown keys are set with a warning. May be "
                     "repeated.")
      ->type_name("KEY=VALUE")
      ->allow_extra_args(false);
  app.add_flag("--version", globals_.version, "print the tool's version and exit")->disable_flag_override();

  AddAnalyzeCommands(app, actions_);
  AddAnalyzersCommand(app, actions_);
  AddSidecarCommands(app, actions_);
  AddCacheCommands(app, actions_);
  // Asked once the global options are applied: they set the variables only where the options were given, and then
  // the options are named all the same.
  AddConfigCommands(app, actions_, [this] {
    return FolderSources{.configDirectory = Source(globals_.configDirectory, "--config-dir", "QUILLAN_CONFIG_DIR"),
                         .cacheDirectory = Source(globals_.cacheDirectory, "--cache-dir", "QUILLAN_CACHE_DIR")};
  });
  AddPictureCommands(app, actions_);
  AddExportCommand(app, actions_);

  CLI::App* help = app.add_subcommand("help", "show the help of the tool or of one command");
  help->add_option("COMMAND", helpTopic_, "the command, e.g. 'analyze' or 'sidecar get'");
  actions_.Set(
      *help, [this] { return RunHelp(); }, CommandActions::Globals::kNotNeeded);

  // The man page and the bash completion are made at build time from this same description.
  CLI::App* generate = app.add_subcommand("generate-manual", "write the man page or the bash completion");
  generate->group("");
  generate->add_option("WHAT", generateWhat_)->check(CLI::IsMember({"man", "bash-completion"}))->required();
  generate->add_option("OUTPUT", generateOutput_)->required();
  actions_.Set(
      *generate,
      [this] {
        WriteManual(*app_, generateWhat_ == "man" ? ManualKind::kManPage : ManualKind::kBashCompletion, ValueWords(),
                    ListAnalyzers(), generateOutput_, QUILLAN_VERSION);
        return kExitOk;
      },
      CommandActions::Globals::kNotNeeded);

  // One command per run: a word after it that names another (a file called "config") is an argument. Arguments that
  // nothing takes end the parse with CLI11's ExtrasError, which Run turns into a message naming the closest option or
  // command.
  app.require_subcommand(0, 1);
  app.get_formatter()->label("SUBCOMMAND", "COMMAND");
  for (CLI::App* command : app.get_subcommands({})) {
    command->require_subcommand(0, 1);
    if (!command->get_group().empty()) command->group("Commands");
    for (CLI::App* sub : command->get_subcommands({})) sub->group("Commands");
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

UsageError CommandLineApp::LeftoverError(CLI::App const& command, CLI::ExtrasError const& error) const {
  std::string const path = PathOf(command);
  std::vector<std::string> leftovers = command.remaining(true);
  // Options the command did not take may have been parked with its parents.
  for (CLI::App const* at = command.get_parent(); at != nullptr; at = at->get_parent()) {
    for (std::string const& argument : at->remaining(false)) leftovers.push_back(argument);
  }
  // CLI11 parks them only along the commands the parse entered; should it not, its own words say what is left.
  if (leftovers.empty()) return UsageError(error.what(), path);
  std::string const& first = leftovers.front();
  if (first.size() > 1 && first[0] == '-') {
    std::string const name = first.substr(0, first.find('='));
    return UsageError("unknown option " + name + DidYouMean(name, OptionNames(command)), path);
  }
  std::vector<std::string> const commands = VisibleCommandNames(command);
  if (!commands.empty()) {
    return UsageError(
        "unknown command \"" + (path.empty() ? "" : path + " ") + first + "\"" + DidYouMean(first, commands), path);
  }
  return UsageError("unexpected argument " + first, path);
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

int CommandLineApp::RunHelp() const {
  std::string const topic = Join(helpTopic_);
  CLI::App const* found = Find(topic);
  if (found != nullptr && !found->get_group().empty()) {
    std::cout << HelpOf(*found);
    return kExitOk;
  }
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

int CommandLineApp::Run(int argc, char const* const* argv) {
  try {
    app_->parse(argc, argv);
  } catch (CLI::CallForHelp const&) {
    std::cout << HelpOf(*Deepest(app_.get()));
    return kExitOk;
  } catch (CLI::ExtrasError const& error) {
    throw LeftoverError(*Deepest(app_.get()), error);
  } catch (CLI::ParseError const& error) {
    throw UsageError(error.what(), PathOf(*Deepest(app_.get())));
  }
  if (globals_.version) {
    std::cout << "quillan " << QUILLAN_VERSION_STRING << " (" << QUILLAN_BUILD_TYPE << ")\n";
    return kExitOk;
  }
  CLI::App const& command = *Deepest(app_.get());
  CommandActions::Entry const* const entry = actions_.Find(command);
  if (entry == nullptr) {
    if (&command == app_.get()) throw UsageError("missing COMMAND");
    std::string names;
    for (std::string const& name : VisibleCommandNames(command)) names += (names.empty() ? "" : ", ") + name;
    throw UsageError("missing command after \"" + PathOf(command) + "\" (" + names + ")", PathOf(command));
  }
  if (entry->globals == CommandActions::Globals::kApplied) ApplyGlobals();
  return entry->action();
}

}  // namespace Quillan::Cli
