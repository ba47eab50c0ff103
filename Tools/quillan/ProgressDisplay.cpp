#include "quillan/ProgressDisplay.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "quillan/TerminalColumns.h"

namespace Quillan::Cli {
namespace {

constexpr std::size_t kBarWidth = 24;
constexpr std::size_t kMinBarWidth = 6;
constexpr std::size_t kMinLabelWidth = 12;
constexpr char kEllipsis[] = "...";

// `text` in at most `width` columns: its start and its end (the file's name) around an ellipsis.
std::string Shorten(std::string const& text, std::size_t width) {
  if (Columns(text) <= width) return text;
  std::size_t const ellipsis = std::string_view(kEllipsis).size();
  if (width <= ellipsis) return std::string(HeadColumns(text, width));
  std::size_t const kept = width - ellipsis;
  std::size_t const head = kept / 3;
  return std::string(HeadColumns(text, head)) + kEllipsis + std::string(TailColumns(text, kept - head));
}

std::string ClockText(double seconds) {
  auto const total = static_cast<long long>(std::lround(seconds));
  char buffer[32];
  if (total >= 3600) {
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld", total / 60, total % 60);
  }
  return buffer;
}

}  // namespace

bool ProgressDisplay::ShouldDraw(bool disabled, int fd) {
  if (disabled || !isatty(fd)) return false;
  char const* const term = std::getenv("TERM");
  return term != nullptr && *term != '\0' && std::string_view(term) != "dumb";
}

std::size_t ProgressDisplay::TerminalWidth(int fd) {
  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  if (char const* columns = std::getenv("COLUMNS")) {
    long const value = std::strtol(columns, nullptr, 10);
    if (value > 0 && value < 10000) return static_cast<std::size_t>(value);
  }
  return 80;
}

std::string ProgressDisplay::BarLine(JobProgress const& job, std::size_t width,
                                     std::chrono::steady_clock::time_point now) {
  double const fraction = std::clamp(job.fraction, 0.0, 1.0);
  std::string const percent = std::to_string(static_cast<int>(fraction * 100)) + "%";
  double const elapsed = std::chrono::duration<double>(now - job.startedAt).count();
  std::string speed, eta;
  if (elapsed > 0.5 && fraction > 0.005) {
    if (job.mediaSeconds && *job.mediaSeconds > 0) {
      char buffer[32];
      std::snprintf(buffer, sizeof buffer, "%.1fx", *job.mediaSeconds * fraction / elapsed);
      speed = buffer;
    }
    if (fraction < 1) eta = "ETA " + ClockText(elapsed * (1 - fraction) / fraction);
  }
  // One column stays free: a line that reaches the last column wraps on some terminals.
  std::size_t const usable = width > 1 ? width - 1 : 1;
  // Given up in this order while the label would get too little room: the ETA, the speed, then the bar's length.
  bool withEta = !eta.empty(), withSpeed = !speed.empty();
  std::size_t bar = kBarWidth;
  auto const tailWidth = [&] {
    return (bar > 0 ? bar + 3 : 0) + 1 + percent.size() + (withSpeed ? speed.size() + 1 : 0) +
           (withEta ? eta.size() + 1 : 0);
  };
  if (tailWidth() + kMinLabelWidth > usable) withEta = false;
  if (tailWidth() + kMinLabelWidth > usable) withSpeed = false;
  if (tailWidth() + kMinLabelWidth > usable) {
    std::size_t const room =
        usable > kMinLabelWidth + percent.size() + 4 ? usable - kMinLabelWidth - percent.size() - 4 : 0;
    bar = room >= kMinBarWidth ? room : 0;
  }
  if (tailWidth() >= usable) return std::string(TailColumns(percent, usable));  // room for the percentage alone
  std::string line = Shorten(job.label, usable - tailWidth());
  if (bar > 0) {
    auto const filled = static_cast<std::size_t>(std::lround(fraction * static_cast<double>(bar)));
    line += " [" + std::string(filled, '#') + std::string(bar - filled, '.') + "]";
  }
  line += " " + percent;
  if (withSpeed) line += " " + speed;
  if (withEta) line += " " + eta;
  return line;
}

ProgressDisplay::ProgressDisplay(bool draw, std::FILE* stream) : draw_(draw), stream_(stream) {}

void ProgressDisplay::Update(std::vector<JobProgress> const& running, std::size_t done, std::size_t total) {
  if (!draw_) return;
  EraseBars();
  std::size_t const width = TerminalWidth(fileno(stream_));
  auto const now = std::chrono::steady_clock::now();
  for (JobProgress const& job : running) {
    std::fprintf(stream_, "%s\n", BarLine(job, width, now).c_str());
    ++barLines_;
  }
  std::size_t const waiting = total - std::min(total, done + running.size());
  std::string summary = std::to_string(done) + " of " + std::to_string(total) + " done";
  if (waiting > 0) summary += ", " + std::to_string(waiting) + " waiting";
  std::fprintf(stream_, "%s\n", std::string(HeadColumns(summary, width > 1 ? width - 1 : 1)).c_str());
  ++barLines_;
  std::fflush(stream_);
}

void ProgressDisplay::Note(std::string const& text) {
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

}  // namespace Quillan::Cli
