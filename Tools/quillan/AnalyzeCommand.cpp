#include "quillan/AnalyzeCommand.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <any>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
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
#include "quillan/InterruptWatch.h"
#include "quillan/MediaDuration.h"
#include "quillan/ProgressDisplay.h"
#include "quillan/ResultFormatting.h"
#include "quillan/TextTable.h"
#include "zelappsupport/ProgressItem.h"
#include "zelcore/Executor.h"
#include "zelcore/TextConversions.h"
#include "zelcore/ZelException.h"

namespace Quillan::Cli {
namespace {

using zelcore::InterfaceRef;
using zelcore::async::Future;
using zelcore::config::Result;
using zelcore::utility::Guid;

constexpr auto kPollInterval = std::chrono::milliseconds(100);
// The host answers a request from its serial executor within microseconds; this only guards against a hang.
constexpr auto kRequestDeadline = std::chrono::seconds(60);

// One analyzer of this run, with the parameter it is given.
struct RequestedAnalyzer {
  AnalyzerInfo info;
  std::any parameter;  // a std::string, or empty when none was given
  std::optional<std::string> parameterText;
};

struct MediaFile {
  std::string given;  // as on the command line, or found in a folder given there
  InterfaceRef<BE::IClip> clip;
  std::optional<Guid> contentState;
  // Why the file is not analysed; empty when it is.
  std::string readProblem;
  std::uintmax_t size = 0;
  std::optional<double> seconds;  // its playing time, for the speed on the progress bars
};

struct Job {
  MediaFile const* file;
  RequestedAnalyzer const* analyzer;
  Future<std::any> future;
  std::shared_ptr<zelappsupport::utility::ProgressItem> item;
  // Set when there is no job: the file could not be read, the host refused the request, or the run was interrupted
  // before the job started.
  std::exception_ptr failure;
  bool requested = false;
  bool reported = false;  // counted as ended (and streamed, for NDJSON)
  std::optional<std::chrono::steady_clock::time_point> startedAt;

  bool Ended() const { return failure || (requested && (!future || future.IsReady())); }
  bool Running() const { return requested && !Ended(); }
};

enum class Status {
  kComputed,
  kCached,
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
    case Status::kFailed:
      return "failed";
  }
  return "failed";
}

// What a failed job says; whatever was thrown (an analyzer's factory may throw an int) names itself.
Outcome Failed(std::exception_ptr const& failure) {
  return Outcome{Status::kFailed,        nullptr, false, zelcore::config::ExtractResultFromException(failure),
                 ExceptionText(failure), {}};
}

// What an ended job gave. The example analyzers end with an ExampleResult, which tells a cached result from a
// computed one; any other value counts as computed.
Outcome OutcomeOf(Job const& job) {
  if (job.failure) return Failed(job.failure);
  if (!job.future || job.future.IsCancelled()) {
    return Failed(std::make_exception_ptr(zelcore::config::zel_exception("", kResultJobCancelled)));
  }
  if (!job.future.HasValue()) return Failed(job.future.GetException());
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

MediaFile AdmitFile(std::string const& given) {
  MediaFile file{given, {}, std::nullopt, ReadProblem(given), 0, std::nullopt};
  if (!file.readProblem.empty()) return file;
  std::error_code error;
  file.size = std::filesystem::file_size(given, error);
  InterfaceRef<BE::IMedia> media;
  try {
    // The name's bytes, valid UTF-8 or not, travel through the media's UTF-16 path unchanged, in any locale.
    media = BE::ProjectFactory::CreateMedia(zelcore::text::PathBytesToUTF16(std::filesystem::absolute(given).native()));
    file.clip = BE::ProjectFactory::CreateClip(media, BE::kMediaType_Audio);
  } catch (std::exception const& error) {
    file.readProblem = error.what();  // this file's row fails; the others go on
    return file;
  }
  try {
    file.contentState = GetContentStateGuid(Target(std::in_place_index<1>, media));
  } catch (std::exception const&) {
    // Reported as null; the analyzers report what went wrong.
  }
  return file;
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

// Asks the host for one job. The job executor is paused meanwhile, so the job cannot end (and the host drop its only
// reference to it) before the tool holds its future.
void Request(IAnalyzerHost& host, Job& job, std::shared_ptr<zelcore::async::AsyncExecutor> const& executor) {
  try {
    auto const started = host.AnalyzeClipWithAnalyzer(job.file->clip, job.analyzer->info.id, job.analyzer->parameter,
                                                      AnalysisOptions{0, 0}, executor);
    if (!zelcore::async::WaitForUntypedUntil(started, std::chrono::steady_clock::now() + kRequestDeadline, true)) {
      throw zelcore::config::zel_exception("The analyzer host did not answer", kResultUnavailable);
    }
    if (!started.HasValue()) {
      job.failure = started.GetException();
      if (!job.failure) job.failure = std::make_exception_ptr(zelcore::async::BrokenPromiseException());
      return;
    }
    auto const& [weakJob, item] = started.Get();
    job.future = weakJob.Lock();
    job.item = item;
    if (!job.future) job.failure = std::make_exception_ptr(zelcore::async::BrokenPromiseException());
  } catch (...) {
    job.failure = std::current_exception();
  }
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

std::string Label(Job const& job) { return job.analyzer->info.name + " " + job.file->given; }

std::vector<JobProgress> Snapshot(std::vector<Job> const& jobs) {
  std::vector<JobProgress> progress;
  progress.reserve(jobs.size());
  for (Job const& job : jobs) {
    JobProgress entry;
    entry.label = Printable(Label(job));
    entry.fraction = job.item ? job.item->GetProgress() : 0.0;
    entry.ended = job.Ended();
    entry.started = job.startedAt.has_value();
    if (job.startedAt) entry.startedAt = *job.startedAt;
    entry.mediaSeconds = job.file->seconds;
    progress.push_back(std::move(entry));
  }
  return progress;
}

// Cancels every job that is running: through its progress item, which fails the job and has the host terminate it,
// and the analyzer stops at its next progress update; a job without an item is cancelled and terminated directly.
// Jobs not yet requested end as cancelled without starting.
void CancelAll(IAnalyzerHost& host, std::vector<Job>& jobs) {
  for (Job& job : jobs) {
    if (job.Ended()) continue;
    if (!job.requested) {
      job.failure = std::make_exception_ptr(zelcore::config::zel_exception("", kResultJobCancelled));
    } else if (job.item && job.item->IsCancelable()) {
      job.item->RequestCancel();
    } else {
      job.future.Cancel();
      host.TerminateAnalysisJobForClipWithAnalyzer(job.file->clip, job.analyzer->info.id, job.analyzer->parameter);
    }
  }
}

// What every format says of one ended job.
nlohmann::ordered_json ResultJson(Job const& job, bool managedWrites, ResultDescriber& describer) {
  Outcome const outcome = OutcomeOf(job);
  nlohmann::ordered_json result = {
      {"file", job.file->given},
      {"contentState", job.file->contentState ? nlohmann::ordered_json(job.file->contentState->AsUTF8String())
                                              : nlohmann::ordered_json()},
      {"analyzer", job.analyzer->info.name},
      {"analyzerId", job.analyzer->info.id.AsUTF8String()},
      {"parameter",
       job.analyzer->parameterText ? nlohmann::ordered_json(*job.analyzer->parameterText) : nlohmann::ordered_json()},
      {"status", StatusText(outcome.status)},
  };
  if (outcome.status == Status::kFailed) {
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
        DescriptionJson(describer.Describe(job.analyzer->info.id, job.analyzer->info.name, std::nullopt, outcome.blob));
  }
  return result;
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
    if (result.contains("resultCode")) {
      text = result["resultCode"].get<std::string>() + " " + result["message"].get<std::string>();
    } else if (result["result"].is_object()) {
      text = result["result"]["summary"].get<std::string>();
    }
    if (result.contains("notStored")) text += " (not stored: " + result["notStored"].get<std::string>() + ")";
    table.AddRow({Printable(result["file"].get<std::string>()), Printable(result["analyzer"].get<std::string>()),
                  result["status"].get<std::string>(), Printable(text)});
  }
  std::cout << table.Format();
}

// The media files that `given` names: a file as it is, a folder's regular files (and with `recursive` those of all
// its subfolders) in name order. Sidecar files are left out: each would be its own sidecar (a glob such as media/*
// after a first run names them too).
void AddInputs(std::string const& given, bool recursive, std::vector<std::string>& files) {
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
  std::vector<std::string> found;
  auto const take = [&](std::filesystem::directory_entry const& entry) {
    std::error_code statError;
    if (entry.is_regular_file(statError) && !isSidecar(entry.path())) found.push_back(entry.path().string());
  };
  auto const options = std::filesystem::directory_options::skip_permission_denied;
  if (recursive) {
    for (auto it = std::filesystem::recursive_directory_iterator(given, options, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
      take(*it);
    }
  } else {
    for (auto it = std::filesystem::directory_iterator(given, options, error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
      take(*it);
    }
  }
  if (error) throw CommandFailure("cannot read the folder " + Printable(given) + ": " + error.message());
  std::sort(found.begin(), found.end());
  files.insert(files.end(), found.begin(), found.end());
}

}  // namespace

int RunAnalyzeCommand(AnalyzeOptions const& options) {
  std::optional<AnalyzerCacheLocation> const cacheLocation =
      options.cacheLocation ? std::optional(ParseCacheLocation(*options.cacheLocation, "analyze")) : std::nullopt;
  LoadAnalyzerModules(options.modules);
  std::vector<RequestedAnalyzer> const analyzers = ResolveRequested(options, ListAnalyzers());
  if (cacheLocation) OverrideCacheLocationForThisRun(*cacheLocation);

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
  for (std::string const& input : options.files) AddInputs(input, options.recursive, given);
  std::vector<MediaFile> files;
  files.reserve(given.size());
  for (std::string const& name : given) {
    files.push_back(AdmitFile(name));
    if (draw && files.back().readProblem.empty()) files.back().seconds = MediaDuration(name);
  }

  // In the user's order, for the table and the JSON; started in `schedule` order.
  std::vector<Job> jobs;
  jobs.reserve(files.size() * analyzers.size());
  for (MediaFile const& file : files) {
    for (RequestedAnalyzer const& analyzer : analyzers) {
      Job& job = jobs.emplace_back(Job{&file, &analyzer, {}, nullptr, nullptr, false, false, std::nullopt});
      if (!file.readProblem.empty()) {
        job.failure = std::make_exception_ptr(zelcore::config::zel_exception(
            "Cannot read " + file.given + ": " + file.readProblem, zelcore::config::kResultFileRead));
      }
    }
  }
  std::vector<std::size_t> schedule(jobs.size());
  std::iota(schedule.begin(), schedule.end(), 0);
  if (options.order == JobOrder::kShortestFirst) {
    std::stable_sort(schedule.begin(), schedule.end(),
                     [&](std::size_t a, std::size_t b) { return jobs[a].file->size < jobs[b].file->size; });
  }
  std::size_t const limit = options.jobs > 0 ? options.jobs : std::max<std::size_t>(1, zelcore::async::CPUCount());

  // Jobs run on an executor of the tool's own, as wide as the machine; `limit` caps how many the tool asks for.
  auto const executor =
      zelcore::async::CreateSubExecutor(zelcore::async::GetDefaultExecutor(), zelcore::async::CPUCount());
  ResultDescriber describer;
  std::vector<nlohmann::ordered_json> results(jobs.size());
  // Marks the jobs that ended since the last call, and streams them as NDJSON.
  auto const reportEnded = [&] {
    auto const now = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < jobs.size(); ++i) {
      Job& job = jobs[i];
      if (!job.startedAt && job.item && job.item->GetProgress() > 0) job.startedAt = now;
      if (job.reported || !job.Ended()) continue;
      job.reported = true;
      results[i] = ResultJson(job, managedWrites, describer);
      if (options.format == OutputFormat::kNdjson) {
        nlohmann::ordered_json line = {{"schema", kSchemaVersion}};
        line.update(results[i]);
        display.Finish();
        std::cout << JsonText(line) << std::endl;
      }
    }
  };
  std::size_t next = 0;
  bool cancelled = false;
  for (;;) {
    if (!cancelled && InterruptWatch::Requested()) {
      cancelled = true;
      display.Note("interrupted; cancelling the running jobs");
      CancelAll(*host, jobs);
    }
    // Jobs that ended are reported before others start, so that NDJSON keeps the order they ended in.
    reportEnded();
    std::size_t running =
        static_cast<std::size_t>(std::count_if(jobs.begin(), jobs.end(), [](Job const& job) { return job.Running(); }));
    while (!cancelled && running < limit && next < schedule.size()) {
      Job& job = jobs[schedule[next++]];
      if (job.Ended()) continue;
      // Paused meanwhile, so that the job cannot end (and the host drop its only reference to it) before the tool
      // holds its future.
      executor->Pause();
      Request(*host, job, executor);
      executor->Resume();
      job.requested = true;
      ++running;
    }
    display.Update(Snapshot(jobs));
    auto const pending = std::find_if(jobs.begin(), jobs.end(), [](Job const& job) { return job.Running(); });
    if (pending == jobs.end()) {
      if (next >= schedule.size() || cancelled) break;
      continue;
    }
    zelcore::async::WaitForUntypedUntil(pending->future, std::chrono::steady_clock::now() + kPollInterval, true);
  }
  // A cancelled job ends before its analyzer has noticed; wait for the analyzers to stop, and refuse the start of any
  // job that the host would still take from its queue.
  executor->Drain();
  executor->Shutdown();
  executor->Drain();
  reportEnded();
  display.Finish();
  writeFailures.Report();

  bool const interrupted = cancelled || InterruptWatch::Requested();
  switch (options.format) {
    case OutputFormat::kJson: {
      nlohmann::ordered_json document = {
          {"schema", kSchemaVersion}, {"results", nlohmann::ordered_json::array()}, {"interrupted", interrupted}};
      for (nlohmann::ordered_json& result : results) document["results"].push_back(std::move(result));
      std::cout << JsonText(document) << "\n";
      break;
    }
    case OutputFormat::kCsv:
      std::cout << CsvLine(std::vector<std::string>(std::begin(kCsvColumns), std::end(kCsvColumns)));
      for (nlohmann::ordered_json const& result : results) std::cout << CsvRow(result);
      break;
    case OutputFormat::kTable:
      PrintTable(results);
      break;
    case OutputFormat::kNdjson:
      break;  // streamed
  }
  // 128 + the signal, as a shell reports a process that the signal ended: 130, 143 or 129.
  if (interrupted) return InterruptWatch::Signal() != 0 ? 128 + InterruptWatch::Signal() : kExitInterrupted;
  bool const anyFailed = std::any_of(jobs.begin(), jobs.end(), [managedWrites](Job const& job) {
    Outcome const outcome = OutcomeOf(job);
    return outcome.status == Status::kFailed || (managedWrites && !outcome.notStored.empty());
  });
  return anyFailed ? kExitFailed : kExitOk;
}

SingleAnalysis AnalyzeOneFile(std::string const& file, std::string const& analyzer,
                              std::optional<std::string> const& parameter, std::vector<std::string> const& modules,
                              std::string const& command, bool fresh) {
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

  MediaFile media = AdmitFile(file);
  if (!media.readProblem.empty()) throw CommandFailure("cannot read " + Printable(file) + ": " + media.readProblem);
  if (draw) media.seconds = MediaDuration(file);
  std::vector<Job> jobs{Job{&media, &requested, {}, nullptr, nullptr, false, false, std::nullopt}};
  Job& job = jobs.front();
  auto const executor = zelcore::async::CreateSubExecutor(zelcore::async::GetDefaultExecutor(), 1);
  executor->Pause();
  Request(*host, job, executor);
  executor->Resume();
  job.requested = true;
  bool cancelled = false;
  while (job.Running()) {
    if (!cancelled && InterruptWatch::Requested()) {
      cancelled = true;
      display.Note("interrupted; cancelling the analysis");
      CancelAll(*host, jobs);
    }
    if (!job.startedAt && job.item && job.item->GetProgress() > 0) job.startedAt = std::chrono::steady_clock::now();
    display.Update(Snapshot(jobs));
    zelcore::async::WaitForUntypedUntil(job.future, std::chrono::steady_clock::now() + kPollInterval, true);
  }
  executor->Drain();
  executor->Shutdown();
  executor->Drain();
  display.Finish();
  writeFailures.Report();
  if (cancelled || InterruptWatch::Requested()) {
    return {nullptr, false, InterruptWatch::Signal() != 0 ? 128 + InterruptWatch::Signal() : kExitInterrupted};
  }
  Outcome const outcome = OutcomeOf(job);
  if (outcome.status == Status::kFailed) throw CommandFailure(DescribeFailure(outcome.code, outcome.message));
  if (!outcome.hasBlob) throw CommandFailure("the " + requested.info.name + " analyzer gave no result");
  if (!outcome.notStored.empty()) {
    std::cerr << "quillan: warning: the result could not be stored (" << outcome.notStored << ")\n";
  }
  return {outcome.blob, outcome.status == Status::kCached, 0};
}

}  // namespace Quillan::Cli
