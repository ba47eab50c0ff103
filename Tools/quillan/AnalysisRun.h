#pragma once

#include <any>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BE/Clip.h"
#include "BE/Media.h"
#include "Host/AnalyzerHost.h"
#include "quillan/AnalyzerCatalog.h"
#include "quillan/InterruptWatch.h"
#include "quillan/JobRunner.h"
#include "quillan/ProgressDisplay.h"
#include "quillan/StoreWriteFailures.h"
#include "zelcore/Guid.h"
#include "zelcore/RecycledMemory.h"
#include "zelcore/ZelException.h"

namespace Quillan::Cli {

// Which job starts next when fewer may run than there are.
enum class JobOrder {
  kShortestFirst,  // the smallest file first, so that short files do not wait behind long ones
  kGiven,          // the files in the order given, each file's analyzers in the order given
};

// One analyzer of a run, with the parameter it is given.
struct RequestedAnalyzer {
  AnalyzerInfo info;
  std::any parameter = {};  // what the host hands the analyzer; empty when no parameter was given
  std::optional<std::string> parameterText = std::nullopt;  // the parameter as the user gave it
};

// How a job ended, in the words the tool reports it with.
enum class JobStatus {
  kComputed,
  kCached,
  kNotApplicable,  // the analyzer does not apply to the file (no audio, no pictures)
  kNotStored,      // nothing is stored, and only what is stored was asked for
  kNotMedia,       // the analyzer found the file not to be media
  kFailed,
};

// What one job gave.
struct JobOutcome {
  JobStatus status = JobStatus::kFailed;
  zelcore::Blob blob = nullptr;  // the result, when the job's value carries one
  bool hasBlob = false;
  zelcore::config::Result code = 0;
  std::string message = {};
  std::string notStored = {};  // why a computed result could not be saved; empty when it was

  bool Answered() const { return status == JobStatus::kComputed || status == JobStatus::kCached; }
};

// A file of a run. Admitted (its clip made) when its first job is due, so that a folder run starts at once.
struct MediaFile {
  std::string given;  // as on the command line, or found in a folder given there
  std::uintmax_t size = 0;
  zelcore::InterfaceRef<BE::IClip> clip;
  zelcore::InterfaceRef<BE::IMedia> media;
  // Why the file is not analysed; empty when it is.
  std::string readProblem;
  std::optional<double> seconds;  // its playing time, for the speed on the progress bars
  // Kept on the run's thread as its jobs end. A file that some analyzers found not to be media, and that no analyzer
  // had an answer for, is reported as one file rather than a job each; so is a media file that every analyzer failed
  // to read, for the same reason (a damaged file).
  std::size_t ended = 0;
  std::size_t notMediaJobs = 0;
  std::size_t unreadableJobs = 0;
  std::size_t failedJobs = 0;
  bool answered = false;
  bool notMedia = false;  // decided when its last job has ended
  std::string damage;     // likewise: what every analyzer said when none could read the file; empty otherwise

  // The content state that the file's results are filed under; empty when it cannot be worked out (the analyzers
  // then report what went wrong). Worked out once, by the first caller, while the file's jobs run; any thread.
  std::optional<zelcore::utility::Guid> const& ContentState();
  // Whether the file is reported as one row rather than a row per job: it cannot be read, or it is not media.
  bool IsOneRow() const { return notMedia || !readProblem.empty() || !damage.empty(); }

 private:
  std::once_flag stateOnce_;
  std::optional<zelcore::utility::Guid> contentState_;
};

// One run of analyzers over files through the default host, from the request of the first job to the end of the last:
// it admits the files as their jobs fall due, runs the jobs through a JobRunner with the progress bars on stderr,
// and tells its caller how each job and each file ended. While it lives, a SIGINT, SIGTERM or SIGHUP cancels the
// running jobs instead of ending the process, and the stores' write failures are collected, to be told once as the
// run ends. One at a time, on the main thread.
class AnalysisRun {
 public:
  struct Settings {
    std::size_t jobs = 0;  // jobs under way at once; 0: four per processor
    JobOrder order = JobOrder::kShortestFirst;
    bool storedOnly = false;  // the analyzers only look up stored results (`quillan show`)
    bool noProgress = false;  // no bars, even on a terminal
  };

  // What the run tells its caller. File and analyzer numbers count in the order of AddFile and of the analyzers given.
  struct Handlers {
    // Called with each job's outcome on the thread of a worker, in parallel with others: for the work of describing
    // its result, which should not queue behind the run's thread. Jobs that never started because the run was
    // interrupted end here too, as cancelled, on the run's thread. May be empty.
    std::function<void(std::size_t file, std::size_t analyzer, JobOutcome const& outcome)> ended = {};
    // Called on the run's thread once a job's outcome stands, in the order jobs end, after `ended`. An outcome of "not
    // media" waits for the file's other jobs: when none of them has an answer, the file is one row and the job is
    // never settled. May be empty.
    std::function<void(std::size_t file, std::size_t analyzer)> settled = {};
    // Called on the run's thread once nothing more of a file is to come: it could not be read, or its last job has
    // ended and its settled jobs are told. May be empty.
    std::function<void(std::size_t file)> fileDone = {};
    // Called on the run's thread once the ends that came in together are told: for output held back meanwhile. May
    // be empty.
    std::function<void()> caughtUp = {};
  };

  // Takes the default host (throws CommandFailure when there is none) and warns on stderr of a managed cache that
  // the run cannot store results in.
  AnalysisRun(std::vector<RequestedAnalyzer> analyzers, Settings const& settings);
  AnalysisRun(AnalysisRun const&) = delete;
  AnalysisRun& operator=(AnalysisRun const&) = delete;

  // Adds a file to analyse with every analyzer of the run. Call before Run.
  void AddFile(std::string const& given);
  // Runs every job once; returns whether the user interrupted the run. Sidecar files that could not be written and
  // results the managed cache refused are reported on stderr as it ends.
  bool Run(Handlers const& handlers);

  std::size_t FileCount() const { return files_.size(); }
  MediaFile& File(std::size_t file) { return files_[file]; }
  MediaFile const& File(std::size_t file) const { return files_[file]; }
  std::size_t AnalyzerCount() const { return analyzers_.size(); }
  RequestedAnalyzer const& Analyzer(std::size_t analyzer) const { return analyzers_[analyzer]; }
  // Whether computed results go to the managed cache, so that each says whether it was stored.
  bool ManagedWrites() const { return managedWrites_; }
  // Whether any job failed, a file could not be read, or a computed result could not be stored in the managed cache.
  bool AnyFailed() const { return anyFailed_; }

 private:
  // What the run keeps of a job.
  struct Job {
    JobStatus status = JobStatus::kFailed;  // written on a worker as the job ends
    bool notStored = false;                 // a computed result that the store refused; written with `status`
    std::string readFailure;                // why the media could not be read, when that failed it; likewise
    bool ended = false;                     // on the run's thread
  };

  std::optional<JobRequest> Next();
  void Prepare(std::size_t id, EndedJob const& job);
  void Ended(std::size_t id);
  void EndFile(std::size_t file);

  Handlers const* handlers_ = nullptr;  // while Run runs
  std::vector<RequestedAnalyzer> const analyzers_;
  Settings const settings_;
  zelcore::InterfaceRef<AnalyzerHost> const host_;
  bool const managedWrites_;
  InterruptWatch const interrupt_;
  StoreWriteFailures const writeFailures_;
  bool const draw_;
  ProgressDisplay display_;
  std::deque<MediaFile> files_;     // a deque: a file never moves, its once_flag with it
  std::vector<std::size_t> order_;  // the files in the order their jobs start
  std::vector<Job> jobs_;           // by file, then analyzer
  std::size_t nextFile_ = 0;        // in order_
  std::size_t nextAnalyzer_ = 0;
  bool anyFailed_ = false;
};

}  // namespace Quillan::Cli
