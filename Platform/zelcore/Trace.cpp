#include "zelcore/Trace.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>

#include "zelcore/TextConversions.h"

namespace zelcore::debug {
namespace {

struct TraceState {
  std::shared_mutex mutex;
  std::map<std::string, TraceLevel, std::less<>> levels;  // guarded by mutex
  std::atomic<bool> environmentRead{false};               // set under mutex
  std::atomic<std::uint64_t> changeCount{1};

  std::mutex sinkMutex;
  std::shared_ptr<TraceSink const> sink;  // guarded by sinkMutex; null means the default sink
};

// Never destroyed: pool threads may still trace while statics are torn down at exit.
TraceState& State() {
  static TraceState* state = new TraceState;
  return *state;
}

std::string_view Trim(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  auto const first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// A short, printable, valid UTF-8 excerpt of untrusted text for an error message.
std::string Excerpt(std::string_view text) {
  constexpr std::size_t kMaxBytes = 60;
  bool const cut = text.size() > kMaxBytes;
  std::string shown = text::Std8ToUTF8String(text.substr(0, kMaxBytes));
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return "\"" + shown + (cut ? "...\"" : "\"");
}

bool IsValidCategory(std::string_view category) {
  if (category.empty() || !text::IsValidUTF8(category)) return false;
  for (char const c : category) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  }
  return true;
}

// A level from 0 to kMaxTraceLevel, or "off"; nullopt for anything else.
std::optional<TraceLevel> ParseLevel(std::string_view text) {
  if (text == "off") return kTraceOff;
  TraceLevel level = 0;
  auto const [end, ec] = std::from_chars(text.data(), text.data() + text.size(), level);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || level < 0 || level > kMaxTraceLevel)
    return std::nullopt;
  return level;
}

struct Item {
  std::string category;
  TraceLevel level;
};

// Splits configuration text into valid items and errors for the others. Empty items (",,") are ignored.
std::vector<std::string> Parse(std::string_view settings, std::vector<Item>& items) {
  std::vector<std::string> errors;
  while (true) {
    auto const comma = settings.find(',');
    std::string_view const item = Trim(settings.substr(0, comma));
    if (!item.empty()) {
      auto const equals = item.find('=');
      std::string_view const category = Trim(item.substr(0, equals));
      std::string_view const levelText = equals == std::string_view::npos ? "" : Trim(item.substr(equals + 1));
      std::optional<TraceLevel> const level = ParseLevel(levelText);
      if (equals == std::string_view::npos) {
        errors.push_back("trace setting " + Excerpt(item) + " is not of the form category=level");
      } else if (!IsValidCategory(category)) {
        errors.push_back("trace setting " + Excerpt(item) + " has an empty or invalid category");
      } else if (!level) {
        errors.push_back("trace setting " + Excerpt(item) + " needs a level from 0 to " +
                         std::to_string(kMaxTraceLevel) + " or \"off\"");
      } else {
        items.push_back({std::string(category), *level});
      }
    }
    if (comma == std::string_view::npos) break;
    settings.remove_prefix(comma + 1);
  }
  return errors;
}

// Requires the unique lock.
void ReadEnvironmentLocked(TraceState& state) {
  if (char const* value = std::getenv(kTraceEnvironmentVariable)) {
    std::vector<Item> items;
    for (std::string const& error : Parse(value, items)) {
      std::fprintf(stderr, "[zelcore] %s: %s\n", kTraceEnvironmentVariable, error.c_str());
    }
    for (Item& item : items) state.levels[std::move(item.category)] = item.level;
  }
  state.environmentRead.store(true, std::memory_order_release);
  state.changeCount.fetch_add(1, std::memory_order_acq_rel);
}

TraceState& ReadyState() {
  TraceState& state = State();
  if (!state.environmentRead.load(std::memory_order_acquire)) {
    std::unique_lock lock(state.mutex);
    if (!state.environmentRead.load(std::memory_order_relaxed)) ReadEnvironmentLocked(state);
  }
  return state;
}

void WriteToStderr(std::string_view category, TraceLevel level, std::string_view message) {
  std::string line = "[";
  line += category;
  line += ':';
  line += std::to_string(level);
  line += "] ";
  line += message;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';  // one line per trace
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace

bool TraceEnabled(std::string_view category, TraceLevel level, TraceFlags flag) {
  TraceState& state = ReadyState();
  std::shared_lock lock(state.mutex);
  if (state.levels.empty()) return false;
  auto found = state.levels.find(category);
  if (found == state.levels.end()) {
    if (flag & kTraceNamedCategoryOnly) return false;
    found = state.levels.find(std::string_view(kTraceWildcardCategory));
    if (found == state.levels.end()) return false;
  }
  return found->second != kTraceOff && level <= found->second;
}

void Trace(TraceLevel level, std::string_view category, std::string_view message) {
  if (!TraceEnabled(category, level)) return;
  TraceState& state = State();
  std::shared_ptr<TraceSink const> sink;
  {
    std::lock_guard lock(state.sinkMutex);
    sink = state.sink;
  }
  if (sink) {
    try {
      (*sink)(category, level, message);
      return;
    } catch (...) {
      // Tracing never throws into its caller; the line still goes out.
    }
  }
  WriteToStderr(category, level, message);
}

std::uint64_t TraceChangeCount() { return ReadyState().changeCount.load(std::memory_order_acquire); }

void SetTraceLevel(std::string_view category, TraceLevel level) {
  TraceState& state = ReadyState();
  std::unique_lock lock(state.mutex);
  state.levels.insert_or_assign(std::string(category), level < 0 ? kTraceOff : level);
  state.changeCount.fetch_add(1, std::memory_order_acq_rel);
}

std::vector<std::string> ConfigureTrace(std::string_view settings) {
  std::vector<Item> items;
  std::vector<std::string> errors = Parse(settings, items);
  if (!items.empty()) {
    TraceState& state = ReadyState();
    std::unique_lock lock(state.mutex);
    for (Item& item : items) state.levels[std::move(item.category)] = item.level;
    state.changeCount.fetch_add(1, std::memory_order_acq_rel);
  }
  return errors;
}

void ClearTraceLevels() {
  TraceState& state = ReadyState();
  std::unique_lock lock(state.mutex);
  state.levels.clear();
  state.changeCount.fetch_add(1, std::memory_order_acq_rel);
}

void ResetTraceForTesting() {
  TraceState& state = State();
  std::unique_lock lock(state.mutex);
  state.levels.clear();
  ReadEnvironmentLocked(state);
}

TraceSink SetTraceSink(TraceSink sink) {
  auto replacement = sink ? std::make_shared<TraceSink const>(std::move(sink)) : nullptr;
  TraceState& state = State();
  std::shared_ptr<TraceSink const> previous;
  {
    std::lock_guard lock(state.sinkMutex);
    previous = std::exchange(state.sink, std::move(replacement));
  }
  return previous ? *previous : TraceSink();
}

}  // namespace zelcore::debug
