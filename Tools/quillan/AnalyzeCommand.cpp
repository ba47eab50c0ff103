#include "quillan/AnalyzeCommand.h"

#include <fnmatch.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <any>
#include <cstddef>
#include <filesystem>
#include <iostream>
#include <memory>
#include <utility>

#include "Analyzers/ExampleAnalyzers.h"
#include "DataStoreAdaptors/DataStoreAdaptorUtils.h"
#include "DataStoreAdaptors/SidecarDataStoreAdaptor.h"
#include "quillan/AnalysisReport.h"
#include "quillan/AnalysisRun.h"
#include "quillan/AnalyzerCatalog.h"
#include "quillan/ConfigCommands.h"
#include "quillan/DidYouMean.h"
#include "quillan/FolderWalk.h"
#include "quillan/InterruptWatch.h"
#include "quillan/OutputFormat.h"
#include "quillan/ResultFormatting.h"
#include "quillan/SharedOptions.h"
#include "quillan/TextTable.h"
#include "zelcore/DebugDatabase.h"

namespace Quillan::Cli {
namespace {

using zelcore::utility::Guid;

// The arguments of `quillan analyze` and `quillan show`.
struct AnalyzeOptions {
  // Names or GUIDs; empty: every analyzer that runs by default (type 0 in 'quillan analyzers').
  std::vector<std::string> analyzers;
  std::vector<std::string> parameters;       // NAME=VALUE: analyzer name or GUID, parameter text
  std::optional<std::string> cacheLocation;  // for this run only
  OutputFormat format = OutputFormat::kTable;
  bool noProgress = false;
  bool recursive = false;  // folders are walked to any depth; else a folder's own files only
  // Globs that pick (include) or leave out (exclude) what a folder yields; matched against the names along its path
  // below the folder, or against that whole path when they hold a '/'. A file given by name is always taken.
  std::vector<std::string> include;
  std::vector<std::string> exclude;
  bool force = false;       // compute afresh and replace what is stored
  bool storedOnly = false;  // print what is stored, computing nothing (`quillan show`)
  std::size_t jobs = 0;     // jobs under way at once; 0: four per processor
  JobOrder order = JobOrder::kShortestFirst;
  std::vector<std::string> modules;
  std::vector<std::string> files;  // files and folders
};

// What analyze and show share: which analyzers, with which parameters, on which files of the folders given.
void AddSelection(CLI::App& command, AnalyzeOptions& options) {
  command
      .add_option("--analyzer,-a", options.analyzers,
                  "run this analyzer: a name from 'quillan analyzers' or a GUID. May be repeated.")
      ->type_name("NAME")
      ->allow_extra_args(false);
  command
      .add_option("--param,-p", options.parameters,
                  "give analyzer NAME (a name or GUID of this run's analyzers) the parameter text VALUE, "
                  "comma-separated SETTING=VALUE items ('quillan analyzers' lists each analyzer's settings and their "
                  "defaults); a later --param for the same analyzer replaces an earlier one")
      ->type_name("NAME=VALUE")
      ->allow_extra_args(false);
  command
      .add_flag("-r,--recursive", options.recursive,
                "analyse the files in the folders among FILE and in all their subfolders (without it, a folder's "
                "own files only)")
      ->disable_flag_override();
  command
      .add_option("--include", options.include,
                  "take only the files of folders that GLOB matches (a name, or with a '/' a path below the "
                  "folder: '*.wav', 'day1/*.mov'). May be repeated.")
      ->type_name("GLOB")
      ->allow_extra_args(false);
  command
      .add_option("--exclude", options.exclude,
                  "leave out the files and subfolders of folders that GLOB matches; wins over --include. May be "
                  "repeated.")
      ->type_name("GLOB")
      ->allow_extra_args(false);
}

// "NAME=VALUE" split at its first '='; throws UsageError when there is no '=' or NAME is empty.
std::pair<std::string, std::string> SplitParameter(std::string const& text) {
  auto const equals = text.find('=');
  if (equals == std::string::npos || equals == 0) {
    throw UsageError("--param expects NAME=VALUE, not \"" + text + "\"", "analyze");
  }
  return {text.substr(0, equals), text.substr(equals + 1)};
}

std::vector<RequestedAnalyzer> ResolveRequested(AnalyzeOptions const& options,
                                                std::vector<AnalyzerInfo> const& catalog) {
  std::vector<RequestedAnalyzer> requested;
  if (options.analyzers.empty()) {
    for (AnalyzerInfo const& info : TypeZeroAnalyzers(catalog)) requested.push_back({info, {}, std::nullopt});
    if (requested.empty()) throw CommandFailure("no analyzers are registered");
  }
  for (std::string const& text : options.analyzers) {
    AnalyzerInfo info = ResolveAnalyzer(catalog, text, "analyze");
    bool const known = std::any_of(requested.begin(), requested.end(),
                                   [&](RequestedAnalyzer const& other) { return other.info.id == info.id; });
    if (!known) requested.push_back({std::move(info), {}, std::nullopt});
  }
  for (std::string const& assignment : options.parameters) {
    auto const parameter = SplitParameter(assignment);
    // Plain references rather than a structured binding: clang 14 cannot capture those in a lambda.
    std::string const& name = parameter.first;
    std::string const& value = parameter.second;
    std::optional<Guid> const id = Guid::FromString(name);
    auto const target = std::find_if(requested.begin(), requested.end(), [&](RequestedAnalyzer const& analyzer) {
      return analyzer.info.name == name || (id && analyzer.info.id == *id);
    });
    if (target == requested.end()) {
      std::vector<std::string> names;
      for (RequestedAnalyzer const& analyzer : requested) names.push_back(analyzer.info.name);
      throw UsageError(
          "--param names \"" + name + "\", which is not one of the analyzers of this run" + DidYouMean(name, names),
          "analyze");
    }
    // A later --param for the same analyzer replaces an earlier one.
    target->parameter = std::any(value);
    target->parameterText = value;
  }
  return requested;
}

// Whether `glob` picks `relative` (a path below the folder given): a glob with a '/' is matched against the whole
// relative path, one without against each name along it, as .gitignore does.
bool GlobMatches(std::string const& glob, std::filesystem::path const& relative) {
  if (glob.find('/') != std::string::npos) return ::fnmatch(glob.c_str(), relative.c_str(), FNM_PATHNAME) == 0;
  for (std::filesystem::path const& part : relative) {
    if (::fnmatch(glob.c_str(), part.c_str(), 0) == 0) return true;
  }
  return false;
}

// The media files that `given` names: a file as it is, a folder's regular files (and with `recursive` those of all
// its subfolders) in name order, as far as `--include` and `--exclude` let them through. Sidecar files are left out:
// each would be its own sidecar (a glob such as media/* after a first run names them too).
void AddInputs(std::string const& given, AnalyzeOptions const& options, std::vector<std::string>& files) {
  auto const isSidecar = [](std::filesystem::path const& path) {
    return path.extension() == SidecarDataStoreAdaptor::kDefaultSidecarExtension;
  };
  std::error_code error;
  if (!std::filesystem::is_directory(given, error)) {
    if (isSidecar(given)) {
      std::cerr << "quillan: " << Printable(given) << " is a sidecar file; skipped\n";
    } else {
      files.push_back(given);
    }
    return;
  }
  auto const wanted = [&](std::filesystem::path const& path) {
    std::filesystem::path const relative = path.lexically_relative(given);
    auto const matches = [&](std::string const& glob) { return GlobMatches(glob, relative); };
    if (std::any_of(options.exclude.begin(), options.exclude.end(), matches)) return false;
    std::filesystem::path const name = relative.filename();
    return options.include.empty() ||
           std::any_of(options.include.begin(), options.include.end(),
                       [&](std::string const& glob) { return GlobMatches(glob, name) || GlobMatches(glob, relative); });
  };
  std::vector<std::string> found;
  WalkFolder(given, options.recursive, [&](std::filesystem::directory_entry const& entry) {
    std::error_code typeError;
    if (entry.is_directory(typeError)) {
      // An excluded folder is not walked at all.
      std::filesystem::path const relative = entry.path().lexically_relative(given);
      return std::none_of(options.exclude.begin(), options.exclude.end(),
                          [&](std::string const& glob) { return GlobMatches(glob, relative); });
    }
    if (entry.is_regular_file(typeError) && !isSidecar(entry.path()) && wanted(entry.path())) {
      found.push_back(entry.path().string());
    }
    return true;
  });
  std::sort(found.begin(), found.end());
  files.insert(files.end(), found.begin(), found.end());
}

// Settings of the run that the analyzers see.
void PrepareRun(AnalyzeOptions const& options) {
  std::optional<AnalyzerCacheLocation> const cacheLocation =
      options.cacheLocation ? std::optional(ParseCacheLocation(*options.cacheLocation, "analyze")) : std::nullopt;
  if (cacheLocation) OverrideCacheLocationForThisRun(*cacheLocation);
  // Every load misses, so every result is computed and saved over what was stored.
  if (options.force) zelcore::debug::DebugDatabase::Instance().SetEntry(kIgnoreAnalyzerCacheEntry, "true");
}

// The exit status of a run that was interrupted: 128 + the signal, as a shell reports a process that the signal
// ended (130, 143 or 129).
int InterruptedExit() { return InterruptWatch::Signal() != 0 ? 128 + InterruptWatch::Signal() : kExitInterrupted; }

// `quillan analyze ...`: admits each file as a clip over a media of that file, runs the analyzers through the
// default host, shows their progress, and prints each result or failure. Returns kExitOk when every job gave a
// result, kExitFailed when any failed or a file could not be read, and 128 + the signal after a SIGINT (130), SIGTERM
// (143) or SIGHUP (129), which cancels the running jobs through their progress items and waits for them to end.
// Sidecar files it could not write are reported once, on stderr.
int RunAnalyzeCommand(AnalyzeOptions const& options) {
  LoadAnalyzerModules(options.modules);
  std::vector<RequestedAnalyzer> analyzers = ResolveRequested(options, ListAnalyzers());
  PrepareRun(options);
  if (options.storedOnly) {
    for (RequestedAnalyzer& analyzer : analyzers) {
      if (Examples::FindExampleAnalyzer(analyzer.info.name) != analyzer.info.id) {
        throw UsageError("the " + analyzer.info.name + " analyzer cannot be asked for its stored result alone", "show");
      }
      analyzer.parameter = std::any(Examples::StoredOnly{analyzer.parameter});
    }
  }
  AnalysisRun run(std::move(analyzers), {.jobs = options.jobs,
                                         .order = options.order,
                                         .storedOnly = options.storedOnly,
                                         .noProgress = options.noProgress});
  std::vector<std::string> given;
  for (std::string const& input : options.files) AddInputs(input, options, given);
  for (std::string const& file : given) run.AddFile(file);
  AnalysisReport report(run, options.format);
  bool const interrupted = run.Run(report.Handlers());
  report.Print(interrupted);
  if (interrupted) return InterruptedExit();
  return run.AnyFailed() ? kExitFailed : kExitOk;
}

}  // namespace

void AddAnalyzeCommands(CLI::App& app, CommandActions& actions) {
  auto const analyze = std::make_shared<AnalyzeOptions>();
  CLI::App& analyzeCommand = *app.add_subcommand(
      "analyze",
      "analyse media files with every analyzer that runs by default (type 0 in 'quillan analyzers') or those "
      "--analyzer names, and print the results");
  analyzeCommand.alias("analyse");
  AddSelection(analyzeCommand, *analyze);
  analyzeCommand
      .add_option("--cache-location", analyze->cacheLocation,
                  "where results are looked up and saved, for this run only: sidecar (a .qvmi file beside the "
                  "media), managed (the managed cache), read-only (read the sidecar, write nowhere) or a number")
      ->type_name("WHERE");
  AddFormatOptions(analyzeCommand, analyze->format, ", each printed as soon as its job ends");
  analyzeCommand
      .add_option("-j,--jobs", analyze->jobs,
                  "keep up to N analyses under way at once (default: four per processor; at most one per processor "
                  "computes, the others wait in line or for their results to be saved)")
      ->type_name("N")
      ->check(CLI::Range(1, 1024).description(""));
  analyzeCommand
      .add_option_function<std::string>(
          "--order",
          [&order = analyze->order](std::string const& text) {
            order = text == "given" ? JobOrder::kGiven : JobOrder::kShortestFirst;
          },
          "which analyses start first: shortest (the smallest file first, the default) or given (the order of the "
          "command line); tables and JSON list results in the given order either way")
      ->check(CLI::IsMember({"shortest", "given"}))
      ->type_name("ORDER");
  analyzeCommand
      .add_flag("--force", analyze->force,
                "compute every result afresh, whatever is stored, and store it over what was there")
      ->disable_flag_override();
  analyzeCommand
      .add_flag("--no-progress", analyze->noProgress,
                "draw no progress bars (they are drawn only when stderr is a terminal and TERM is not dumb)")
      ->disable_flag_override();
  AddPluginOption(analyzeCommand, analyze->modules);
  analyzeCommand
      .add_option("FILE", analyze->files,
                  "a media file, or a folder of media files; files with the sidecar extension .qvmi are skipped, and "
                  "so are files in folders that are not media (pictures, scripts, documents)")
      ->required();
  actions.Set(analyzeCommand, [analyze] { return RunAnalyzeCommand(*analyze); });

  auto const show = std::make_shared<AnalyzeOptions>();
  show->storedOnly = true;
  show->noProgress = true;
  CLI::App& showCommand =
      *app.add_subcommand("show", "print the results stored for media files, as analyze would, computing nothing");
  AddSelection(showCommand, *show);
  AddFormatOptions(showCommand, show->format);
  showCommand.add_option("FILE", show->files, "a media file, or a folder of media files")->required();
  actions.Set(showCommand, [show] { return RunAnalyzeCommand(*show); });
}

SingleAnalysis AnalyzeOneFile(std::string const& file, std::string const& analyzer,
                              std::optional<std::string> const& parameter, std::vector<std::string> const& modules,
                              std::string const& command, bool fresh, bool notApplicableIsResult) {
  LoadAnalyzerModules(modules);
  RequestedAnalyzer requested{.info = ResolveAnalyzer(ListAnalyzers(), analyzer, command), .parameterText = parameter};
  if (parameter) requested.parameter = std::any(*parameter);
  if (fresh && Examples::FindExampleAnalyzer(requested.info.name) == requested.info.id) {
    requested.parameter = std::any(Examples::FreshResult{requested.parameter});
  }
  std::string const name = requested.info.name;
  AnalysisRun run({std::move(requested)}, {.jobs = 1});
  run.AddFile(file);
  JobOutcome outcome;
  bool const interrupted =
      run.Run({.ended = [&outcome](std::size_t, std::size_t, JobOutcome const& ended) { outcome = ended; }});
  if (interrupted) return SingleAnalysis{.interruptedExit = InterruptedExit()};
  if (std::string const& problem = run.File(0).readProblem; !problem.empty()) {
    throw CommandFailure("cannot read " + Printable(file) + ": " + problem);
  }
  if (notApplicableIsResult && outcome.status == JobStatus::kNotApplicable) {
    return SingleAnalysis{.notApplicable = true};
  }
  if (!outcome.Answered()) throw CommandFailure(DescribeFailure(outcome.code, outcome.message));
  if (!outcome.hasBlob) throw CommandFailure("the " + name + " analyzer gave no result");
  if (!outcome.notStored.empty()) {
    std::cerr << "quillan: warning: the result could not be stored (" << outcome.notStored << ")\n";
  }
  return SingleAnalysis{.blob = outcome.blob, .fromCache = outcome.status == JobStatus::kCached};
}

}  // namespace Quillan::Cli
