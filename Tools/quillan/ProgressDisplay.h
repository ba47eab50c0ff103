#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace Quillan::Cli {

// What the display shows of one analysis job.
struct JobProgress {
  std::string label;  // the analyzer and the file
  double fraction = 0;
  // The analyzer has reported progress: it is computing, not waiting in a queue or loading a cached result.
  bool started = false;
  bool ended = false;
  // Once ended: "computed", "cached" or the failure.
  std::string outcome;
};

// Shows the progress of analysis jobs on stderr. On a terminal it draws one bar per running job, redrawn in place,
// and a line for each job that ends; elsewhere it writes one line when a job starts computing and one when it ends,
// which suits logs and lets other programs follow a run. Not thread-safe: one thread updates it.
class ProgressDisplay {
 public:
  enum class Mode {
    kQuiet,
    kLines,
    kBars,
  };

  // Bars when `fd` is a terminal, lines otherwise, nothing when `disabled`.
  static Mode ChooseMode(bool disabled, int fd);

  ProgressDisplay(Mode mode, std::FILE* stream);
  ProgressDisplay(ProgressDisplay const&) = delete;
  ProgressDisplay& operator=(ProgressDisplay const&) = delete;

  // Shows `jobs`, which keep their order and number from call to call. Call it every tenth of a second or so.
  void Update(std::vector<JobProgress> const& jobs);
  // A line of its own, above the bars.
  void Note(std::string const& text);
  // Removes the bars; later output starts on a clean line.
  void Finish();

 private:
  void EraseBars();
  void DrawBars(std::vector<JobProgress> const& jobs);

  Mode const mode_;
  std::FILE* const stream_;
  std::vector<bool> startReported_;
  std::vector<bool> endReported_;
  std::size_t barLines_ = 0;  // lines of bars now on the terminal
};

}  // namespace Quillan::Cli
