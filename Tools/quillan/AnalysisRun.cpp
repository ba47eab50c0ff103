#include "quillan/AnalysisRun.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <numeric>
#include <utility>

#include "Analyzers/ExampleAnalyzers.h"
#include "BE/ProjectFactory.h"
#include "DataStoreAdaptors/DataStoreAdaptorUtils.h"
#include "DataStoreAdaptors/ManagedDataStoreAdaptor.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "Host/AnalyzerCacheLocation.h"
#include "quillan/ResultFormatting.h"
#include "quillan/TextTable.h"
#include "zelcore/Executor.h"
#include "zelcore/TextConversions.h"

namespace Quillan::Cli {
namespace {

using zelcore::InterfaceRef;

// What a failed job says; whatever was thrown (an analyzer's factory may throw an int) names itself. Some failures
// are answers rather than faults: the file is not media, the analyzer does not apply to it, nothing is stored.
JobOutcome Failed(std::exception_ptr const& failure, bool storedOnly) {
  zelcore::config::Result const code = zelcore::config::ExtractResultFromException(failure);
  JobStatus status = JobStatus::kFailed;
  if (code == kResultNotApplicable) status = JobStatus::kNotApplicable;
  if (code == kResultNotMediaFile) status = JobStatus::kNotMedia;
  if (storedOnly && code == kResultNotCached) status = JobStatus::kNotStored;
  return JobOutcome{.status = status, .code = code, .message = ExceptionText(failure)};
}

JobOutcome Cancelled() {
  return Failed(std::make_exception_ptr(zelcore::config::zel_exception("", kResultJobCancelled)), false);
}

// What an ended job gave. The example analyzers end with an ExampleResult, which tells a cached result from a
// computed one; any other value counts as computed.
JobOutcome OutcomeOf(EndedJob const& job, bool storedOnly) {
  if (job.failure) return Failed(job.failure, storedOnly);
  if (!job.future || job.future.IsCancelled()) return Cancelled();
  if (!job.future.HasValue()) return Failed(job.future.GetException(), storedOnly);
  std::any const& value = job.future.Get();
  if (auto const* result = std::any_cast<Examples::ExampleResult>(&value)) {
    JobOutcome outcome{
        .status = result->fromCache ? JobStatus::kCached : JobStatus::kComputed, .blob = result->blob, .hasBlob = true};
    if (result->saveFailure) {
      outcome.notStored = DescribeFailure(zelcore::config::ExtractResultFromException(result->saveFailure),
                                          zelcore::config::ExtractMessageFromException(result->saveFailure));
    }
    return outcome;
  }
  if (auto const* blob = std::any_cast<zelcore::Blob>(&value)) {
    return JobOutcome{.status = JobStatus::kComputed, .blob = *blob, .hasBlob = true};
  }
  return JobOutcome{.status = JobStatus::kComputed};
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

// `path` made absolute, without its "." parts ("./a.wav" of a folder run): the same file, named as people write it in
// the analyzers' messages. ".." stays: through a link it leads elsewhere than the lexical parent.
std::filesystem::path AbsoluteWithoutDots(std::filesystem::path const& path) {
  std::filesystem::path named;
  for (auto const& part : std::filesystem::absolute(path)) {
    if (part != ".") named /= part;
  }
  return named;
}

// Makes the clip that `file`'s jobs analyse, or says why there is none.
void AdmitFile(MediaFile& file, bool wantSeconds) {
  file.readProblem = ReadProblem(file.given);
  if (!file.readProblem.empty()) return;
  try {
    // The name's bytes, valid UTF-8 or not, travel through the media's UTF-16 path unchanged, in any locale.
    file.media =
        BE::ProjectFactory::CreateMedia(zelcore::text::PathBytesToUTF16(AbsoluteWithoutDots(file.given).native()));
    file.clip = BE::ProjectFactory::CreateClip(file.media, BE::kMediaType_Audio);
  } catch (std::exception const& error) {
    file.readProblem = error.what();  // this file's row fails; the others go on
    return;
  }
  if (wantSeconds) file.seconds = Examples::MediaDurationSeconds(file.given);
}

InterfaceRef<AnalyzerHost> DefaultHost() {
  InterfaceRef<AnalyzerHost> host = AnalyzerHost::GetDefaultInstance();
  if (!host) throw CommandFailure("the analyzer host is not available");
  return host;
}

// Whether results go to the managed cache. Then a managed cache that cannot store anything, or that keeps another
// bound than the settings file asks for because the setting cannot be read, is told once, before the jobs start.
bool UsesManagedCache(AnalyzerHost& host) {
  if (GetDefaultCacheLocation() != AnalyzerCacheLocation::kManagedCache) return false;
  auto const managed = InterfaceRef<ManagedDataStoreAdaptor>::Query(host.GetManagedDataStore());
  if (!managed) return true;
  if (std::string const reason = managed->GetUnavailableReason(); !reason.empty()) {
    std::cerr << "quillan: warning: the managed cache cannot be used (" << Printable(reason)
              << "); results are computed but not stored\n";
  } else if (std::string const problem = managed->GetBoundSettingProblem(); !problem.empty()) {
    std::cerr << "quillan: warning: " << Printable(problem) << "\n";
  }
  return true;
}

}  // namespace

std::optional<zelcore::utility::Guid> const& MediaFile::ContentState() {
  std::call_once(stateOnce_, [this] {
    try {
      contentState_ = GetContentStateGuid(Target(std::in_place_index<1>, media));
    } catch (std::exception const&) {
    }
  });
  return contentState_;
}

AnalysisRun::AnalysisRun(std::vector<RequestedAnalyzer> analyzers, Settings const& settings)
    : analyzers_(std::move(analyzers)),
      settings_(settings),
      host_(DefaultHost()),
      managedWrites_(UsesManagedCache(*host_) && !settings.storedOnly),
      writeFailures_(*host_),
      draw_(ProgressDisplay::ShouldDraw(settings.noProgress, STDERR_FILENO)),
      display_(draw_, stderr) {}

void AnalysisRun::AddFile(std::string const& given) {
  MediaFile& file = files_.emplace_back();
  file.given = given;
  std::error_code error;
  file.size = std::filesystem::file_size(given, error);
}

bool AnalysisRun::Run(Handlers const& handlers) {
  handlers_ = &handlers;
  jobs_.assign(files_.size() * analyzers_.size(), Job{});
  order_.resize(files_.size());
  std::iota(order_.begin(), order_.end(), 0);
  if (settings_.order == JobOrder::kShortestFirst) {
    std::stable_sort(order_.begin(), order_.end(),
                     [this](std::size_t a, std::size_t b) { return files_[a].size < files_[b].size; });
  }
  // A job holds its place until its result is saved, and a save waits on the disk while the processor is free for
  // the next analysis: by default four jobs per processor are under way, of which the default pool's threads (one per
  // processor) analyse; the others wait in line or for their saves.
  std::size_t const limit =
      settings_.jobs > 0 ? settings_.jobs : 4 * std::max<std::size_t>(1, zelcore::async::CPUCount());
  JobRunner runner(*host_, limit, jobs_.size(), display_);
  bool const cancelled = runner.Run(JobRunner::Handlers{
      .next = [this] { return Next(); },
      .prepare = [this](std::size_t id, EndedJob const& job) { Prepare(id, job); },
      .ended = [this](std::size_t id, EndedJob) { Ended(id); },
      .answeredWithoutAnalysis =
          [this](std::size_t id) {
            // A missing kind of stream or a file that is not media shows in the first look at it, like a stored
            // answer.
            JobStatus const status = jobs_[id].status;
            return status == JobStatus::kCached || status == JobStatus::kNotApplicable ||
                   status == JobStatus::kNotMedia;
          },
      .caughtUp = handlers.caughtUp,
  });
  // What never started because the run was interrupted ends as cancelled.
  for (std::size_t f = 0; f < files_.size(); ++f) {
    if (!files_[f].readProblem.empty() || files_[f].ended == analyzers_.size()) continue;
    for (std::size_t a = 0; a < analyzers_.size(); ++a) {
      if (jobs_[f * analyzers_.size() + a].ended) continue;
      if (handlers.ended) handlers.ended(f, a, Cancelled());
      if (handlers.settled) handlers.settled(f, a);
    }
    anyFailed_ = true;
  }
  display_.Finish();
  writeFailures_.Report();
  handlers_ = nullptr;
  return cancelled || InterruptWatch::Requested();
}

std::optional<JobRequest> AnalysisRun::Next() {
  while (nextFile_ < order_.size()) {
    std::size_t const f = order_[nextFile_];
    MediaFile& file = files_[f];
    if (nextAnalyzer_ == 0) {
      AdmitFile(file, draw_);
      if (!file.readProblem.empty()) {
        anyFailed_ = true;
        if (handlers_->fileDone) handlers_->fileDone(f);
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
    return JobRequest{.id = f * analyzers_.size() + a,
                      .clip = file.clip,
                      .analyzer = analyzer.info.id,
                      .parameter = analyzer.parameter,
                      .label = analyzer.info.name + " " + Printable(file.given),
                      .mediaSeconds = file.seconds};
  }
  return std::nullopt;
}

// On a worker: the outcome of an ended job, so that the run's thread only counts and tells.
void AnalysisRun::Prepare(std::size_t id, EndedJob const& job) {
  JobOutcome const outcome = OutcomeOf(job, settings_.storedOnly);
  jobs_[id].status = outcome.status;
  jobs_[id].notStored = outcome.status == JobStatus::kComputed && !outcome.notStored.empty();
  if (outcome.status == JobStatus::kFailed && outcome.code == zelcore::config::kResultFileRead) {
    jobs_[id].readFailure = outcome.message;
  }
  if (handlers_->ended) handlers_->ended(id / analyzers_.size(), id % analyzers_.size(), outcome);
}

// On the run's thread, in the order jobs end. A "not media" outcome waits for the file's other jobs: with no answer
// among them the file is one "skipped" row, else the outcome stands as "not applicable". A failure to read the media
// waits too: when every job failed so, for the same reason, the file is one "failed" row.
void AnalysisRun::Ended(std::size_t id) {
  std::size_t const f = id / analyzers_.size();
  MediaFile& file = files_[f];
  Job& job = jobs_[id];
  job.ended = true;
  ++file.ended;
  if (job.status == JobStatus::kNotMedia) {
    ++file.notMediaJobs;
  } else if (!job.readFailure.empty()) {
    ++file.unreadableJobs;
  } else {
    if (job.status == JobStatus::kComputed || job.status == JobStatus::kCached) file.answered = true;
    if (job.status == JobStatus::kFailed || (managedWrites_ && job.notStored)) ++file.failedJobs;
    if (handlers_->settled) handlers_->settled(f, id % analyzers_.size());
  }
  if (file.ended == analyzers_.size()) EndFile(f);
}

void AnalysisRun::EndFile(std::size_t f) {
  MediaFile& file = files_[f];
  Job const* const first = &jobs_[f * analyzers_.size()];
  file.notMedia = file.notMediaJobs > 0 && !file.answered;
  if (file.unreadableJobs == analyzers_.size() && std::all_of(first, first + analyzers_.size(), [&](Job const& job) {
        return job.readFailure == first->readFailure;
      })) {
    file.damage = first->readFailure;
    anyFailed_ = true;
  } else if (!file.notMedia) {
    file.failedJobs += file.unreadableJobs;
    if (file.failedJobs > 0) anyFailed_ = true;
    for (std::size_t a = 0; a < analyzers_.size(); ++a) {
      Job const& job = first[a];
      if ((job.status == JobStatus::kNotMedia || !job.readFailure.empty()) && handlers_->settled) {
        handlers_->settled(f, a);
      }
    }
  }
  // Nothing asks for the file again: its clip goes, so that a run of many files holds only what its output needs.
  file.clip = nullptr;
  file.media = nullptr;
  if (handlers_->fileDone) handlers_->fileDone(f);
}

}  // namespace Quillan::Cli
