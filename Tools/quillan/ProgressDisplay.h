#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace Quillan::Cli {

// What the display shows of one analysis job.
struct JobProgress {
  std::string label;  // the analyzer and the file
  double fraction = 0;
  // When the analyzer first reported progress (it is computing, not waiting in a queue or loading a cached result),
  // for the ETA and the speed.
  std::chrono::steady_clock::time_point startedAt{};
  // The length of the media, for the speed; empty when unknown.
  std::optional<double> mediaSeconds;
};

// Shows the progress of analysis jobs on stderr as one bar per running job, redrawn in place, and a line counting the
// jobs that are done and waiting. Draws only on a terminal that can move its
// cursor, so that logs and pipes get the results alone. Not thread-safe: one thread updates it.
class ProgressDisplay {
 public:
  // Whether bars go to `fd`: not `disabled`, a terminal, and TERM is set and not "dumb".
  static bool ShouldDraw(bool disabled, int fd);
  // The width of the terminal at `fd`: its window size, else $COLUMNS, else 80.
  static std::size_t TerminalWidth(int fd);
  // The bar line of `job` in `width` columns at `now`: the label, shortened in its middle as far as needed, then the
  // bar, the percentage, the speed and the ETA; the percentage always fits, the rest as far as they do.
  static std::string BarLine(JobProgress const& job, std::size_t width, std::chrono::steady_clock::time_point now);

  ProgressDisplay(bool draw, std::FILE* stream);
  ProgressDisplay(ProgressDisplay const&) = delete;
  ProgressDisplay& operator=(ProgressDisplay const&) = delete;

  // Shows a bar for each of the `running` jobs (those that have started and not ended), and that `done` of `total`
  // jobs are done; the others wait. Call it every tenth of a second or so.
  void Update(std::vector<JobProgress> const& running, std::size_t done, std::size_t total);
  // A line of its own, above the bars; printed on any stderr, terminal or not.
  void Note(std::string const& text);
  // Removes the bars; later output starts on a clean line.
  void Finish();

 private:
  void EraseBars();

  bool const draw_;
  std::FILE* const stream_;
  std::size_t barLines_ = 0;  // lines of bars now on the terminal
};

}  // namespace Quillan::Cli
