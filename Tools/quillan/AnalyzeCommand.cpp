#include "quillan/AnalyzeCommand.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <any>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <numeric>

#include "Analyzers/ExampleAnalyzers.h"
#include "BE/Clip.h"
#include "BE/Media.h"
#include "BE/ProjectFactory.h"
#include "DataStoreAdaptors/DataStoreAdaptorUtils.h"
#include "DataStoreAdaptors/ManagedDataStoreAdaptor.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "DataStoreAdaptors/SidecarDataStoreAdaptor.h"
#include "Foundation/FutureExceptions.h"
#include "Host/AnalyzerHost.h"
#include "quillan/AnalyzerCatalog.h"
#include "quillan/ConfigCommands.h"
#include "quillan/DidYouMean.h"
#include "quillan/FolderWalk.h"
#include "quillan/InterruptWatch.h"
#include "quillan/JobRunner.h"
#include "quillan/MediaDuration.h"
#include "quillan/ProgressDisplay.h"
#include "quillan/ResultFormatting.h"
#include "quillan/TextTable.h"
#include "zelappsupport/ProgressItem.h"
#include "zelcore/DebugDatabase.h"
#include "zelcore/Executor.h"
#include "zelcore/TextConversions.h"
#include "zelcore/ZelException.h"

namespace Quillan::Cli {
namespace {

using zelcore::InterfaceRef;
using zelcore::async::Future;
using zelcore::config::Result;
using zelcore::utility::Guid;

// One analyzer of this run, with the parameter it is given.
struct RequestedAnalyzer {
  AnalyzerInfo info;
  std::any parameter;  // a std::string, or empty when none was given
  std::optional<std::string> parameterText;
};

// A file of this run. Admitted (its clip made) when its first job is due, so that a folder run starts at once.
struct MediaFile {
  std::string given;  // as on the command line, or found in a folder given there
  std::uintmax_t size = 0;
  InterfaceRef<BE::IClip> clip;
  InterfaceRef<BE::IMedia> media;
  // Why the file is not analysed; empty when it is.
  std::string readProblem;
  std::optional<double> seconds;  // its playing time, for the speed on the progress bars
  // Worked out by the first of its jobs to end, on that job's worker.
  std::once_flag stateOnce;
  std::optional<Guid> contentState;
  // Kept on the caller's thread as its jobs end. A file that some analyzers found not to be media, and that no
  // analyzer had an answer for, is one "skipped" row.
  std::size_t ended = 0;
  std::size_t notMediaJobs = 0;
  std::size_t failedJobs = 0;
  bool answered = false;
  bool notMedia = false;  // decided when its last job has ended
};

enum class Status {
  kComputed,
  kCached,
  kNotApplicable,
  kNotStored,
  kNotMedia,
  kFailed,
};

struct Outcome {
  Status status = Status::kFailed;
  zelcore::Blob blob;  // the result, when the job's value carries one
  bool hasBlob = false;
  Result code = 0;
  std::string message;
  // Why a computed result could not be saved; empty when it was.
  std::string notStored;
};

char const* StatusText(Status status) {
  switch (status) {
    case Status::kComputed:
      return "computed";
    case Status::kCached:
      return "cached";
    case Status::kNotApplicable:
      return "not applicable";
    case Status::kNotStored:
      return "not stored";
    case Status::kNotMedia:
      return "skipped";
    case Status::kFailed:
      return "failed";
  }
  return "failed";
}

// What a failed job says; whatever was thrown (an analyzer's factory may throw an int) names itself. Some failures
// are answers rather than faults: the file is not media, the analyzer does not apply to it, nothing is stored.
Outcome Failed(std::exception_ptr const& failure, bool storedOnly) {
  Result const code = zelcore::config::ExtractResultFromException(failure);
  Status status = Status::kFailed;
  if (code == kResultNotApplicable) status = Status::kNotApplicable;
  if (code == kResultNotMediaFile) status = Status::kNotMedia;
  if (storedOnly && code == kResultNotCached) status = Status::kNotStored;
  return Outcome{status, nullptr, false, code, ExceptionText(failure), {}};
}

// What an ended job gave. The example analyzers end with an ExampleResult, which tells a cached result from a
// computed one; any other value counts as computed.
Outcome OutcomeOf(EndedJob const& job, bool storedOnly) {
  if (job.failure) return Failed(job.failure, storedOnly);
  if (!job.future || job.future.IsCancelled()) {
    return Failed(std::make_exception_ptr(zelcore::config::zel_exception("", kResultJobCancelled)), storedOnly);
  }
  if (!job.future.HasValue()) return Failed(job.future.GetException(), storedOnly);
  std::any const& value = job.future.Get();
  if (auto const* result = std::any_cast<Examples::ExampleResult>(&value)) {
    Outcome outcome{result->fromCache ? Status::kCached : Status::kComputed, result->blob, true, 0, {}, {}};
    if (result->saveFailure) {
      outcome.notStored = DescribeFailure(zelcore::config::ExtractResultFromException(result->saveFailure),
                                          zelcore::config::ExtractMessageFromException(result->saveFailure));
    }
    return outcome;
  }
  if (auto const* blob = std::any_cast<zelcore::Blob>(&value)) {
    return Outcome{Status::kComputed, *blob, true, 0, {}, {}};
  }
  return Outcome{Status::kComputed, nullptr, false, 0, {}, {}};
}

// Why `path` cannot be analysed, or empty. Opened without blocking, so that a FIFO cannot hold the tool up.
std::string ReadProblem(std::filesystem::path const& path) {
  int const fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  struct stat status {};
  bool const regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  ::close(fd);
  return regular ? std::string() : std::string("not a regular file");
}

// Makes the clip that `file`'s jobs analyse, or says why there is none.
void AdmitFile(MediaFile& file, bool wantSeconds) {
  file.readProblem = ReadProblem(file.given);
  if (!file.readProblem.empty()) return;
  try {
    // The name's bytes, valid UTF-8 or not, travel through the media's UTF-16 path unchanged, in any locale.
    file.media = BE::ProjectFactory::CreateMedia(
        zelcore::text::PathBytesToUTF16(std::filesystem::absolute(file.given).native()));
    file.clip = BE::ProjectFactory::CreateClip(file.media, BE::kMediaType_Audio);
  } catch (std::exception const& error) {
    file.readProblem = error.what();  // this file's row fails; the others go on
    return;
  }
  if (wantSeconds) file.seconds = MediaDuration(file.given);
}

// The content state that the file's results are filed under; null when it cannot be worked out (the analyzers then
// report what went wrong).
nlohmann::ordered_json ContentStateJson(MediaFile& file) {
  std::call_once(file.stateOnce, [&file] {
    try {
      file.contentState = GetContentStateGuid(Target(std::in_place_index<1>, file.media));
    } catch (std::exception const&) {
    }
  });
  return file.contentState ? nlohmann::ordered_json(file.contentState->AsUTF8String()) : nlohmann::ordered_json();
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

// Told once, before the jobs start: a managed cache that cannot store anything, or one that keeps another bound than
// the settings file asks for because the setting cannot be read.
void WarnAboutManagedCache(AnalyzerHost& host) {
  auto const managed = InterfaceRef<ManagedDataStoreAdaptor>::Query(host.GetManagedDataStore());
  if (!managed) return;
  if (std::string const reason = managed->GetUnavailableReason(); !reason.empty()) {
    std::cerr << "quillan: warning: the managed cache cannot be used (" << Printable(reason)
              << "); results are computed but not stored\n";
    return;
  }
  if (std::string const problem = managed->GetBoundSettingProblem(); !problem.empty()) {
    std::cerr << "quillan: warning: " << Printable(problem) << "\n";
  }
}

// What every format says of one analyzer's outcome for one file.
nlohmann::ordered_json ResultJson(MediaFile& file, RequestedAnalyzer const& analyzer, Outcome const& outcome,
                                  bool managedWrites, ResultDescriber& describer) {
  bool const answered = outcome.status == Status::kComputed || outcome.status == Status::kCached;
  // Among answers of other analyzers, "not media" is this analyzer's view only: it does not apply.
  Status const status = outcome.status == Status::kNotMedia ? Status::kNotApplicable : outcome.status;
  nlohmann::ordered_json result = {
      {"file", file.given},
      {"contentState", answered ? ContentStateJson(file) : nlohmann::ordered_json()},
      {"analyzer", analyzer.info.name},
      {"analyzerId", analyzer.info.id.AsUTF8String()},
      {"parameter",
       analyzer.parameterText ? nlohmann::ordered_json(*analyzer.parameterText) : nlohmann::ordered_json()},
      {"status", StatusText(status)},
  };
  if (!answered) {
    result["message"] = DescribeFailure(outcome.code, outcome.message);
    result["resultCode"] = ResultCodeText(outcome.code);
    return result;
  }
  if (outcome.status == Status::kComputed && managedWrites) {
    result["stored"] = outcome.notStored.empty();
    if (!outcome.notStored.empty()) result["notStored"] = outcome.notStored;
  }
  result["result"] = nullptr;
  if (outcome.hasBlob) {
    result["result"] =
        DescriptionJson(describer.Describe(analyzer.info.id, analyzer.info.name, std::nullopt, outcome.blob));
  }
  return result;
}

// The one row of a file that is not analysed: it cannot be read, or it is not media.
nlohmann::ordered_json FileRowJson(MediaFile const& file) {
  bool const skipped = file.notMedia;
  return {
      {"file", file.given},
      {"contentState", nullptr},
      {"analyzer", nullptr},
      {"analyzerId", nullptr},
      {"parameter", nullptr},
      {"status", skipped ? "skipped" : "failed"},
      {"message", skipped ? std::string("not a media file") : "Cannot read " + file.given + ": " + file.readProblem},
      {"resultCode", ResultCodeText(skipped ? kResultNotMediaFile : zelcore::config::kResultFileRead)}};
}

// Results that no store kept this run, told to the user once at the end rather than once per save: sidecar files
// that could not be written, and results the managed cache refused (it says why; the compound store in front of it
// only says that no store took them).
class StoreWriteFailures {
 public:
  explicit StoreWriteFailures(AnalyzerHost& host)
      : managed_(InterfaceRef<ManagedDataStoreAdaptor>::Query(host.GetManagedDataStore())) {
    SidecarDataStoreAdaptor::SetWriteFailureObserver(
        [this](std::filesystem::path const& path, std::string const& message) {
          sidecar_.Add(Printable(zelcore::text::Std8ToUTF8String(path.native())) + ": " + message);
        });
    if (managed_)
      managed_->SetRefusalObserver([this](std::string const& reason) { managedRefusals_.Add(Printable(reason)); });
  }
  ~StoreWriteFailures() {
    SidecarDataStoreAdaptor::SetWriteFailureObserver(nullptr);
    if (managed_) managed_->SetRefusalObserver(nullptr);
  }
  StoreWriteFailures(StoreWriteFailures const&) = delete;
  StoreWriteFailures& operator=(StoreWriteFailures const&) = delete;

  void Report() const {
    sidecar_.Report("could not be saved to a sidecar file");
    managedRefusals_.Report("could not be stored in the managed cache");
  }

 private:
  class Tally {
   public:
    void Add(std::string text) {
      std::lock_guard lock(mutex_);
      if (count_++ == 0) first_ = std::move(text);
    }
    void Report(char const* what) const {
      std::lock_guard lock(mutex_);
      if (count_ == 0) return;
      std::cerr << "quillan: " << count_ << (count_ == 1 ? " result " : " results ") << what
                << " and will be computed again next time (first: " << first_ << ")\n";
    }

   private:
    mutable std::mutex mutex_;
    std::size_t count_ = 0;  // guarded by mutex_
    std::string first_;      // guarded by mutex_
  };

  InterfaceRef<ManagedDataStoreAdaptor> const managed_;
  Tally sidecar_;
  Tally managedRefusals_;
};

constexpr char const* kCsvColumns[] = {"schema",    "file",       "contentState", "analyzer", "analyzerId",
                                       "parameter", "status",     "summary",      "fields",   "units",
                                       "stored",    "resultCode", "message"};

std::string CsvText(nlohmann::ordered_json const& value) {
  if (value.is_null()) return {};
  return value.is_string() ? value.get<std::string>() : JsonText(value);
}

std::string CsvRow(nlohmann::ordered_json const& result) {
  auto const member = [&](char const* name) { return result.contains(name) ? CsvText(result[name]) : std::string(); };
  auto const described = [&](char const* name) {
    return result.contains("result") && result["result"].is_object() ? CsvText(result["result"][name]) : std::string();
  };
  return CsvLine({std::to_string(kSchemaVersion), member("file"), member("contentState"), member("analyzer"),
                  member("analyzerId"), member("parameter"), member("status"), described("summary"),
                  described("fields"), described("units"), member("stored"), member("resultCode"), member("message")});
}

void PrintTable(std::vector<nlohmann::ordered_json> const& results) {
  TextTable table({"FILE", "ANALYZER", "STATUS", "RESULT"});
  for (nlohmann::ordered_json const& result : results) {
    std::string text;
    if (result["status"] == "failed") {
      text = result["resultCode"].get<std::string>() + " " + result["message"].get<std::string>();
    } else if (result.contains("message")) {
      text = result["message"].get<std::string>();  // an answer, not a fault: the code says nothing more
    } else if (result["result"].is_object()) {
      text = result["result"]["summary"].get<std::string>();
    }
    if (result.contains("notStored")) text += " (not stored: " + result["notStored"].get<std::string>() + ")";
    std::string const analyzer =
        result["analyzer"].is_string() ? Printable(result["analyzer"].get<std::string>()) : "-";
    table.AddRow(
        {Printable(result["file"].get<std::string>()), analyzer, result["status"].get<std::string>(), Printable(text)});
  }
  std::cout << table.Format();
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

// One run of analyzers over files, from the request of the first job to the last row.
class AnalysisRun {
 public:
  AnalysisRun(AnalyzeOptions const& options, std::vector<RequestedAnalyzer> const& analyzers,
              std::vector<std::string> const& given, bool managedWrites, bool draw)
      : options_(options), analyzers_(analyzers), managedWrites_(managedWrites), draw_(draw), rows_(given.size()) {
    for (std::string const& name : given) {
      MediaFile& file = files_.emplace_back();
      file.given = name;
      std::error_code error;
      file.size = std::filesystem::file_size(name, error);
    }
    for (std::vector<nlohmann::ordered_json>& row : rows_) row.resize(analyzers_.size());
    notMediaJob_.resize(files_.size() * analyzers_.size(), 0);
    unanalysedJob_.resize(files_.size() * analyzers_.size(), 0);
    order_.resize(files_.size());
    std::iota(order_.begin(), order_.end(), 0);
    // The smallest files first, so that short files do not wait behind long ones.
    if (options.order == JobOrder::kShortestFirst) {
      std::stable_sort(order_.begin(), order_.end(),
                       [this](std::size_t a, std::size_t b) { return files_[a].size < files_[b].size; });
    }
  }

  // Runs every job; returns whether the user interrupted the run.
  bool Run(IAnalyzerHost& host, ProgressDisplay& display) {
    std::size_t const limit = options_.jobs > 0 ? options_.jobs : std::max<std::size_t>(1, zelcore::async::CPUCount());
    JobRunner runner(host, limit, files_.size() * analyzers_.size(), display);
    bool const cancelled = runner.Run(JobRunner::Handlers{
        .next = [this] { return Next(); },
        .prepare = [this](std::size_t id, EndedJob const& job) { Prepare(id, job); },
        .ended = [this](std::size_t id, EndedJob) { Ended(id); },
        .answeredWithoutAnalysis = [this](std::size_t id) { return unanalysedJob_[id] != 0; },
        .caughtUp = [] { std::cout.flush(); },
    });
    // What never started because the run was interrupted ends as cancelled.
    for (std::size_t f = 0; f < files_.size(); ++f) {
      if (!files_[f].readProblem.empty() || files_[f].ended == analyzers_.size()) continue;
      for (std::size_t a = 0; a < analyzers_.size(); ++a) {
        if (!rows_[f][a].is_null()) continue;
        Outcome const outcome =
            Failed(std::make_exception_ptr(zelcore::config::zel_exception("", kResultJobCancelled)), false);
        rows_[f][a] = ResultJson(files_[f], analyzers_[a], outcome, managedWrites_, describer_);
        Stream(rows_[f][a]);
      }
      anyFailed_ = true;
    }
    return cancelled;
  }

  // Every row in the user's order: a file's analyzers, or its one row.
  std::vector<nlohmann::ordered_json> Rows() {
    std::vector<nlohmann::ordered_json> rows;
    for (std::size_t f = 0; f < files_.size(); ++f) {
      if (OneRow(files_[f])) {
        rows.push_back(FileRowJson(files_[f]));
        continue;
      }
      for (nlohmann::ordered_json& row : rows_[f]) rows.push_back(std::move(row));
    }
    return rows;
  }

  bool AnyFailed() const { return anyFailed_; }

 private:
  static bool OneRow(MediaFile const& file) { return file.notMedia || !file.readProblem.empty(); }

  std::optional<JobRequest> Next() {
    while (nextFile_ < order_.size()) {
      std::size_t const f = order_[nextFile_];
      MediaFile& file = files_[f];
      if (nextAnalyzer_ == 0) {
        AdmitFile(file, draw_);
        if (!file.readProblem.empty()) {
          anyFailed_ = true;
          Stream(FileRowJson(file));
          ++nextFile_;
          continue;
        }
      }
      std::size_t const a = nextAnalyzer_;
      if (++nextAnalyzer_ == analyzers_.size()) {
        nextAnalyzer_ = 0;
        ++nextFile_;
      }
      RequestedAnalyzer const& analyzer = analyzers_[a];
      return JobRequest{f * analyzers_.size() + a,
                        file.clip,
                        analyzer.info.id,
                        analyzer.parameter,
                        analyzer.info.name + " " + Printable(file.given),
                        file.seconds};
    }
    return std::nullopt;
  }

  // On a worker: the row of an ended job, so that the caller's thread only counts and prints.
  void Prepare(std::size_t id, EndedJob const& job) {
    std::size_t const f = id / analyzers_.size();
    std::size_t const a = id % analyzers_.size();
    Outcome const outcome = OutcomeOf(job, options_.storedOnly);
    notMediaJob_[id] = outcome.status == Status::kNotMedia;
    // A missing kind of stream or a file that is not media shows in the first look at it, like a stored answer.
    unanalysedJob_[id] = outcome.status == Status::kCached || outcome.status == Status::kNotApplicable ||
                         outcome.status == Status::kNotMedia;
    rows_[f][a] = ResultJson(files_[f], analyzers_[a], outcome, managedWrites_, describer_);
  }

  // On the caller's thread, in the order jobs end. A "not media" row waits for the file's other jobs: with no answer
  // among them the file is one "skipped" row, else the row stands as "not applicable".
  void Ended(std::size_t id) {
    std::size_t const f = id / analyzers_.size();
    MediaFile& file = files_[f];
    nlohmann::ordered_json const& row = rows_[f][id % analyzers_.size()];
    ++file.ended;
    if (notMediaJob_[id]) {
      ++file.notMediaJobs;
    } else {
      std::string const& status = row["status"].get_ref<std::string const&>();
      if (status == "computed" || status == "cached") file.answered = true;
      if (status == "failed" || (managedWrites_ && row.contains("notStored"))) ++file.failedJobs;
      Stream(row);
    }
    if (file.ended == analyzers_.size()) EndFile(f);
  }

  void EndFile(std::size_t f) {
    MediaFile& file = files_[f];
    file.notMedia = file.notMediaJobs > 0 && !file.answered;
    if (file.notMedia) {
      Stream(FileRowJson(file));
    } else {
      if (file.failedJobs > 0) anyFailed_ = true;
      for (std::size_t a = 0; a < analyzers_.size(); ++a) {
        if (notMediaJob_[f * analyzers_.size() + a]) Stream(rows_[f][a]);
      }
    }
    // Nothing asks for the file again: its clip goes, and so do its rows once streamed, so that a run of many files
    // holds only what its output still needs.
    file.clip = nullptr;
    file.media = nullptr;
    if (options_.format == OutputFormat::kNdjson) rows_[f] = {};
  }

  void Stream(nlohmann::ordered_json const& row) {
    if (options_.format != OutputFormat::kNdjson) return;
    nlohmann::ordered_json line = {{"schema", kSchemaVersion}};
    line.update(row);
    // Flushed when the ends that came in together are written: a line per write costs a system call per job.
    std::cout << JsonText(line) << '\n';
  }

  AnalyzeOptions const& options_;
  std::vector<RequestedAnalyzer> const& analyzers_;
  bool const managedWrites_;
  bool const draw_;
  std::deque<MediaFile> files_;                            // a deque: a file never moves, its once_flag with it
  std::vector<std::size_t> order_;                         // the files in the order their jobs start
  std::vector<std::vector<nlohmann::ordered_json>> rows_;  // by file, then analyzer; each written by one job
  std::vector<char> notMediaJob_;                          // by job: its analyzer found the file not to be media
  std::vector<char> unanalysedJob_;                        // by job: answered without analysing the media
  ResultDescriber describer_;
  std::size_t nextFile_ = 0;  // in order_
  std::size_t nextAnalyzer_ = 0;
  bool anyFailed_ = false;
};

// The exit status of a run that was interrupted: 128 + the signal, as a shell reports a process that the signal
// ended (130, 143 or 129).
int InterruptedExit() { return InterruptWatch::Signal() != 0 ? 128 + InterruptWatch::Signal() : kExitInterrupted; }

// Settings of the run that the analyzers see.
void PrepareRun(AnalyzeOptions const& options) {
  std::optional<AnalyzerCacheLocation> const cacheLocation =
      options.cacheLocation ? std::optional(ParseCacheLocation(*options.cacheLocation, "analyze")) : std::nullopt;
  if (cacheLocation) OverrideCacheLocationForThisRun(*cacheLocation);
  // Every load misses, so every result is computed and saved over what was stored.
  if (options.force) zelcore::debug::DebugDatabase::Instance().SetEntry(kIgnoreAnalyzerCacheEntry, "true");
}

}  // namespace

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

  InterfaceRef<AnalyzerHost> const host = AnalyzerHost::GetDefaultInstance();
  if (!host) throw CommandFailure("the analyzer host is not available");
  // Results go to the managed cache only when the user asked for it; other runs do not miss it.
  bool const managedWrites = GetDefaultCacheLocation() == AnalyzerCacheLocation::kManagedCache;
  if (managedWrites) WarnAboutManagedCache(*host);
  InterruptWatch const interrupt;
  StoreWriteFailures const writeFailures(*host);
  bool const draw = ProgressDisplay::ShouldDraw(options.noProgress, STDERR_FILENO);
  ProgressDisplay display(draw, stderr);

  std::vector<std::string> given;
  for (std::string const& input : options.files) AddInputs(input, options, given);
  AnalysisRun run(options, analyzers, given, managedWrites && !options.storedOnly, draw);
  bool const interrupted = run.Run(*host, display) || InterruptWatch::Requested();
  display.Finish();
  writeFailures.Report();

  switch (options.format) {
    case OutputFormat::kJson: {
      nlohmann::ordered_json document = {
          {"schema", kSchemaVersion}, {"results", nlohmann::ordered_json::array()}, {"interrupted", interrupted}};
      for (nlohmann::ordered_json& result : run.Rows()) document["results"].push_back(std::move(result));
      std::cout << JsonText(document) << "\n";
      break;
    }
    case OutputFormat::kCsv:
      std::cout << CsvLine(std::vector<std::string>(std::begin(kCsvColumns), std::end(kCsvColumns)));
      for (nlohmann::ordered_json const& result : run.Rows()) std::cout << CsvRow(result);
      break;
    case OutputFormat::kTable:
      PrintTable(run.Rows());
      break;
    case OutputFormat::kNdjson:
      break;  // streamed
  }
  if (interrupted) return InterruptedExit();
  return run.AnyFailed() ? kExitFailed : kExitOk;
}

SingleAnalysis AnalyzeOneFile(std::string const& file, std::string const& analyzer,
                              std::optional<std::string> const& parameter, std::vector<std::string> const& modules,
                              std::string const& command, bool fresh, bool notApplicableIsResult) {
  LoadAnalyzerModules(modules);
  RequestedAnalyzer requested{ResolveAnalyzer(ListAnalyzers(), analyzer, command), {}, parameter};
  if (parameter) requested.parameter = std::any(*parameter);
  if (fresh && Examples::FindExampleAnalyzer(requested.info.name) == requested.info.id) {
    requested.parameter = std::any(Examples::FreshResult{requested.parameter});
  }
  InterfaceRef<AnalyzerHost> const host = AnalyzerHost::GetDefaultInstance();
  if (!host) throw CommandFailure("the analyzer host is not available");
  bool const managedWrites = GetDefaultCacheLocation() == AnalyzerCacheLocation::kManagedCache;
  if (managedWrites) WarnAboutManagedCache(*host);
  InterruptWatch const interrupt;
  StoreWriteFailures const writeFailures(*host);
  bool const draw = ProgressDisplay::ShouldDraw(false, STDERR_FILENO);
  ProgressDisplay display(draw, stderr);

  MediaFile media;
  media.given = file;
  AdmitFile(media, draw);
  if (!media.readProblem.empty()) throw CommandFailure("cannot read " + Printable(file) + ": " + media.readProblem);
  std::optional<EndedJob> ended;
  bool requested_ = false;
  JobRunner runner(*host, 1, 1, display);
  bool const cancelled = runner.Run(JobRunner::Handlers{
      .next = [&]() -> std::optional<JobRequest> {
        if (std::exchange(requested_, true)) return std::nullopt;
        return JobRequest{.id = 0,
                          .clip = media.clip,
                          .analyzer = requested.info.id,
                          .parameter = requested.parameter,
                          .label = requested.info.name + " " + Printable(file),
                          .mediaSeconds = media.seconds};
      },
      .ended = [&](std::size_t, EndedJob job) { ended = std::move(job); },
  });
  display.Finish();
  writeFailures.Report();
  if (cancelled || InterruptWatch::Requested()) return {nullptr, false, InterruptedExit()};
  Outcome const outcome = ended ? OutcomeOf(*ended, false) : Failed(nullptr, false);
  if (notApplicableIsResult && outcome.status == Status::kNotApplicable) return {nullptr, false, 0, true};
  if (outcome.status != Status::kComputed && outcome.status != Status::kCached) {
    throw CommandFailure(DescribeFailure(outcome.code, outcome.message));
  }
  if (!outcome.hasBlob) throw CommandFailure("the " + requested.info.name + " analyzer gave no result");
  if (!outcome.notStored.empty()) {
    std::cerr << "quillan: warning: the result could not be stored (" << outcome.notStored << ")\n";
  }
  return {outcome.blob, outcome.status == Status::kCached, 0};
}

}  // namespace Quillan::Cli
