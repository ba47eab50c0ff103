#include "quillan/ProgressDisplay.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace Quillan::Cli {
namespace {

constexpr std::size_t kMaxLabelWidth = 48;
constexpr std::size_t kBarWidth = 30;

std::size_t TerminalWidth(std::FILE* stream) {
  winsize size{};
  if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// `text` cut to `width` bytes; labels are mostly ASCII, and a cut in a character only shortens the bar line.
std::string Cut(std::string text, std::size_t width) {
  if (text.size() > width) text.resize(width);
  return text;
}

}  // namespace

ProgressDisplay::Mode ProgressDisplay::ChooseMode(bool disabled, int fd) {
  if (disabled) return Mode::kQuiet;
  return isatty(fd) ? Mode::kBars : Mode::kLines;
}

ProgressDisplay::ProgressDisplay(Mode mode, std::FILE* stream) : mode_(mode), stream_(stream) {}

void ProgressDisplay::Update(std::vector<JobProgress> const& jobs) {
  if (mode_ == Mode::kQuiet) return;
  startReported_.resize(jobs.size());
  endReported_.resize(jobs.size());
  bool const bars = mode_ == Mode::kBars;
  if (bars) EraseBars();
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    if (!bars && jobs[i].started && !startReported_[i]) {
      std::fprintf(stream_, "quillan: %s: started\n", jobs[i].label.c_str());
      startReported_[i] = true;
    }
    if (jobs[i].ended && !endReported_[i]) {
      std::fprintf(stream_, "quillan: %s: %s\n", jobs[i].label.c_str(), jobs[i].outcome.c_str());
      endReported_[i] = true;
    }
  }
  if (bars) DrawBars(jobs);
  std::fflush(stream_);
}

void ProgressDisplay::Note(std::string const& text) {
  if (mode_ == Mode::kQuiet) return;
  // The bars are drawn again by the next Update.
  EraseBars();
  std::fprintf(stream_, "quillan: %s\n", text.c_str());
  std::fflush(stream_);
}

void ProgressDisplay::Finish() {
  EraseBars();
  std::fflush(stream_);
}

void ProgressDisplay::EraseBars() {
  if (barLines_ == 0) return;
  // Up to the first bar line, then clear to the end of the screen.
  std::fprintf(stream_, "\x1b[%zuA\r\x1b[J", barLines_);
  barLines_ = 0;
}

void ProgressDisplay::DrawBars(std::vector<JobProgress> const& jobs) {
  std::size_t const width = TerminalWidth(stream_);
  std::size_t labelWidth = 0;
  std::size_t waiting = 0;
  for (JobProgress const& job : jobs) {
    if (job.ended) continue;
    if (job.started) {
      labelWidth = std::max(labelWidth, std::min(job.label.size(), kMaxLabelWidth));
    } else {
      ++waiting;
    }
  }
  for (JobProgress const& job : jobs) {
    if (job.ended || !job.started) continue;
    double const fraction = std::clamp(job.fraction, 0.0, 1.0);
    auto const filled = static_cast<std::size_t>(std::lround(fraction * kBarWidth));
    std::string line = Cut(job.label, labelWidth);
    line.append(labelWidth - line.size() + 2, ' ');
    line += "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "] ";
    line += std::to_string(static_cast<int>(fraction * 100)) + "%";
    // A wrapped line would throw off the count of lines to erase.
    std::fprintf(stream_, "%s\n", Cut(line, width - 1).c_str());
    ++barLines_;
  }
  if (waiting > 0) {
    std::fprintf(stream_, "%zu pending\n", waiting);
    ++barLines_;
  }
}

}  // namespace Quillan::Cli
