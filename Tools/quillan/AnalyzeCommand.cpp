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
#include "quillan/InterruptWatch.h"
#include "quillan/JsonWriter.h"
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
  std::string given;  // as on the command line
  InterfaceRef<BE::IClip> clip;
  std::optional<Guid> contentState;
  // Why the file is not analysed; empty when it is.
  std::string readProblem;
};

struct Job {
  MediaFile const* file;
  RequestedAnalyzer const* analyzer;
  Future<std::any> future;
  std::shared_ptr<zelappsupport::utility::ProgressItem> item;
  // Set when there is no job: the file could not be read or the host refused the request.
  std::exception_ptr failure;

  bool Ended() const { return failure || !future || future.IsReady(); }
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

Outcome Failed(std::exception_ptr const& failure) {
  return Outcome{Status::kFailed,
                 nullptr,
                 false,
                 zelcore::config::ExtractResultFromException(failure),
                 zelcore::config::ExtractMessageFromException(failure),
                 {}};
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
  MediaFile file{given, {}, std::nullopt, ReadProblem(given)};
  if (!file.readProblem.empty()) return file;
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
  for (auto const& parameter : options.parameters) {
    // Plain references rather than a structured binding: clang 14 cannot capture those in a lambda.
    std::string const& name = parameter.first;
    std::string const& value = parameter.second;
    std::optional<Guid> const id = Guid::FromString(name);
    auto const target = std::find_if(requested.begin(), requested.end(), [&](RequestedAnalyzer const& analyzer) {
      return analyzer.info.name == name || (id && analyzer.info.id == *id);
    });
    if (target == requested.end()) {
      throw UsageError("--param names \"" + name + "\", which is not one of the analyzers of this run", "analyze");
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

void WarnWhenManagedCacheUnusable(AnalyzerHost& host) {
  auto const managed = InterfaceRef<ManagedDataStoreAdaptor>::Query(host.GetManagedDataStore());
  std::string const reason = managed ? managed->GetUnavailableReason() : std::string();
  if (reason.empty()) return;
  std::cerr << "quillan: warning: the managed cache cannot be used (" << Printable(reason)
            << "); results are computed but not stored\n";
}

std::string Label(Job const& job) { return job.analyzer->info.name + " " + job.file->given; }

std::vector<JobProgress> Snapshot(std::vector<Job> const& jobs) {
  std::vector<JobProgress> progress;
  progress.reserve(jobs.size());
  for (Job const& job : jobs) {
    JobProgress entry;
    entry.label = Label(job);
    entry.fraction = job.item ? job.item->GetProgress() : 0.0;
    entry.started = entry.fraction > 0;
    entry.ended = job.Ended();
    if (entry.ended) {
      Outcome const outcome = OutcomeOf(job);
      entry.outcome = StatusText(outcome.status);
      if (outcome.status == Status::kFailed) entry.outcome += ": " + DescribeFailure(outcome.code, outcome.message);
    }
    progress.push_back(std::move(entry));
  }
  return progress;
}

// Cancels every job that has not ended: through its progress item, which fails the job and has the host terminate
// it, and the analyzer stops at its next progress update; a job without an item is cancelled and terminated
// directly.
void CancelAll(IAnalyzerHost& host, std::vector<Job> const& jobs) {
  for (Job const& job : jobs) {
    if (job.Ended()) continue;
    if (job.item && job.item->IsCancelable()) {
      job.item->RequestCancel();
    } else {
      job.future.Cancel();
      host.TerminateAnalysisJobForClipWithAnalyzer(job.file->clip, job.analyzer->info.id, job.analyzer->parameter);
    }
  }
}

void PrintJson(std::vector<Job> const& jobs, bool interrupted, bool managedWrites) {
  JsonWriter out;
  out.BeginObject().Key("results").BeginArray();
  for (Job const& job : jobs) {
    Outcome const outcome = OutcomeOf(job);
    out.BeginObject().Key("file").String(job.file->given).Key("contentState");
    if (job.file->contentState) {
      out.String(job.file->contentState->AsUTF8String());
    } else {
      out.Null();
    }
    out.Key("analyzer").String(job.analyzer->info.name).Key("analyzerId").String(job.analyzer->info.id.AsUTF8String());
    out.Key("parameter");
    if (job.analyzer->parameterText) {
      out.String(*job.analyzer->parameterText);
    } else {
      out.Null();
    }
    out.Key("status").String(StatusText(outcome.status));
    if (outcome.status == Status::kFailed) {
      out.Key("message").String(outcome.message).Key("resultCode").String(ResultCodeText(outcome.code));
    } else {
      if (outcome.status == Status::kComputed && managedWrites) {
        out.Key("stored").Bool(outcome.notStored.empty());
        if (!outcome.notStored.empty()) out.Key("notStored").String(outcome.notStored);
      }
      out.Key("result");
      if (outcome.hasBlob) {
        WriteResultJson(out, job.analyzer->info.id, outcome.blob);
      } else {
        out.Null();
      }
    }
    out.EndObject();
  }
  out.EndArray().Key("interrupted").Bool(interrupted).EndObject();
  std::cout << out.Text() << "\n";
}

// Sidecar files that could not be written this run, told to the user once at the end rather than once per save.
class SidecarWriteFailures {
 public:
  SidecarWriteFailures() {
    SidecarDataStoreAdaptor::SetWriteFailureObserver(
        [this](std::filesystem::path const& path, std::string const& message) {
          std::lock_guard lock(mutex_);
          if (count_++ == 0) first_ = Printable(zelcore::text::Std8ToUTF8String(path.native())) + ": " + message;
        });
  }
  ~SidecarWriteFailures() { SidecarDataStoreAdaptor::SetWriteFailureObserver(nullptr); }
  SidecarWriteFailures(SidecarWriteFailures const&) = delete;
  SidecarWriteFailures& operator=(SidecarWriteFailures const&) = delete;

  void Report() const {
    std::lock_guard lock(mutex_);
    if (count_ == 0) return;
    std::cerr << "quillan: " << count_ << (count_ == 1 ? " result" : " results")
              << " could not be saved to a sidecar file and will be computed again next time (first: " << first_
              << ")\n";
  }

 private:
  mutable std::mutex mutex_;
  std::size_t count_ = 0;  // guarded by mutex_
  std::string first_;      // guarded by mutex_
};

void PrintTable(std::vector<Job> const& jobs, bool managedWrites) {
  TextTable table({"FILE", "ANALYZER", "STATUS", "RESULT"});
  for (Job const& job : jobs) {
    Outcome const outcome = OutcomeOf(job);
    std::string result;
    if (outcome.status == Status::kFailed) {
      result = ResultCodeText(outcome.code) + " " + DescribeFailure(outcome.code, outcome.message);
    } else if (outcome.hasBlob) {
      result = ResultSummary(job.analyzer->info.id, outcome.blob);
    }
    if (managedWrites && !outcome.notStored.empty()) result += " (not stored: " + outcome.notStored + ")";
    table.AddRow({Printable(job.file->given), Printable(job.analyzer->info.name), StatusText(outcome.status),
                  Printable(result)});
  }
  std::cout << table.Format();
}

}  // namespace

AnalyzeOptions ParseAnalyzeArguments(ArgumentCursor& arguments) {
  AnalyzeOptions options;
  while (!arguments.AtEnd()) {
    std::string value;
    if (arguments.TakeOption("--analyzer", value)) {
      options.analyzers.push_back(value);
    } else if (arguments.TakeOption("--param", value)) {
      options.parameters.push_back(SplitAssignment(value, "--param", arguments.Command()));
    } else if (arguments.TakeOption("--cache-location", value)) {
      options.cacheLocation = ParseCacheLocation(value, arguments.Command());
    } else if (arguments.TakeFlag("--json")) {
      options.json = true;
    } else if (arguments.TakeFlag("--no-progress")) {
      options.noProgress = true;
    } else if (arguments.TakeOption("--plugin", value)) {
      options.modules.push_back(value);
    } else {
      options.files.push_back(arguments.TakePositional("FILE"));
    }
  }
  if (options.files.empty()) throw UsageError("no FILE to analyse", arguments.Command());
  return options;
}

int RunAnalyzeCommand(ArgumentCursor& arguments) {
  AnalyzeOptions const options = ParseAnalyzeArguments(arguments);
  LoadAnalyzerModules(options.modules, arguments.Command());
  std::vector<RequestedAnalyzer> const analyzers = ResolveRequested(options, ListAnalyzers());
  if (options.cacheLocation) OverrideCacheLocationForThisRun(*options.cacheLocation);

  InterfaceRef<AnalyzerHost> const host = AnalyzerHost::GetDefaultInstance();
  if (!host) throw CommandFailure("the analyzer host is not available");
  // Results go to the managed cache only when the user asked for it; other runs do not miss it.
  bool const managedWrites = GetDefaultCacheLocation() == AnalyzerCacheLocation::kManagedCache;
  if (managedWrites) WarnWhenManagedCacheUnusable(*host);
  InterruptWatch const interrupt;
  SidecarWriteFailures const writeFailures;
  ProgressDisplay display(ProgressDisplay::ChooseMode(options.noProgress, STDERR_FILENO), stderr);

  std::vector<MediaFile> files;
  files.reserve(options.files.size());
  for (std::string const& given : options.files) {
    // A sidecar file would be its own sidecar: analysing it would write into the file being read. A glob such as
    // media/* after a first run names them too.
    if (std::filesystem::path(given).extension() == SidecarDataStoreAdaptor::kDefaultSidecarExtension) {
      std::cerr << "quillan: " << Printable(given) << " is a sidecar file; skipped\n";
      continue;
    }
    files.push_back(AdmitFile(given));
  }

  // Jobs run on an executor of the tool's own, as wide as the machine.
  auto const executor =
      zelcore::async::CreateSubExecutor(zelcore::async::GetDefaultExecutor(), zelcore::async::CPUCount());
  executor->Pause();
  std::vector<Job> jobs;
  jobs.reserve(files.size() * analyzers.size());
  for (MediaFile const& file : files) {
    for (RequestedAnalyzer const& analyzer : analyzers) {
      if (InterruptWatch::Requested()) break;
      Job& job = jobs.emplace_back(Job{&file, &analyzer, {}, nullptr, nullptr});
      if (!file.readProblem.empty()) {
        job.failure = std::make_exception_ptr(zelcore::config::zel_exception(
            "Cannot read " + file.given + ": " + file.readProblem, zelcore::config::kResultFileRead));
      } else {
        Request(*host, job, executor);
      }
    }
  }
  executor->Resume();

  bool cancelled = false;
  for (;;) {
    if (!cancelled && InterruptWatch::Requested()) {
      cancelled = true;
      display.Note("interrupted; cancelling the running jobs");
      CancelAll(*host, jobs);
    }
    display.Update(Snapshot(jobs));
    auto const pending = std::find_if(jobs.begin(), jobs.end(), [](Job const& job) { return !job.Ended(); });
    if (pending == jobs.end()) break;
    zelcore::async::WaitForUntypedUntil(pending->future, std::chrono::steady_clock::now() + kPollInterval, true);
  }
  // A cancelled job ends before its analyzer has noticed; wait for the analyzers to stop, and refuse the start of any
  // job that the host would still take from its queue.
  executor->Drain();
  executor->Shutdown();
  executor->Drain();
  display.Finish();
  writeFailures.Report();

  bool const interrupted = cancelled || InterruptWatch::Requested();
  if (options.json) {
    PrintJson(jobs, interrupted, managedWrites);
  } else {
    PrintTable(jobs, managedWrites);
  }
  // 128 + the signal, as a shell reports a process that the signal ended: 130, 143 or 129.
  if (interrupted) return InterruptWatch::Signal() != 0 ? 128 + InterruptWatch::Signal() : kExitInterrupted;
  bool const anyFailed = std::any_of(jobs.begin(), jobs.end(), [managedWrites](Job const& job) {
    Outcome const outcome = OutcomeOf(job);
    return outcome.status == Status::kFailed || (managedWrites && !outcome.notStored.empty());
  });
  return anyFailed ? kExitFailed : kExitOk;
}

}  // namespace Quillan::Cli
