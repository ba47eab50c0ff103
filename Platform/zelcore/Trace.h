#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zelcore/Export.h"
#include "zelcore/ImmutableString.h"

// Trace lines: diagnostics that are off unless someone asks for them.
//
// Each line has a category (UTF-8, such as "Quillan") and a level (0 is the most important). A line is
// enabled when its level is at most the level configured for its category; a category without a level of
// its own takes the level of "*"; a category with neither is off. Levels come from the environment variable
// QUILLAN_TRACE ("Quillan=7,Other=3", "*=5", "Noisy=off"), read once at first use of any function here, and
// from the program (SetTraceLevel, ConfigureTrace), which applies on top of it.
//
// Asking is cheap but not free: a call site may cache TraceEnabled and ask again only when TraceChangeCount
// has moved (TraceSwitch does exactly that). All functions may be called from any thread.
namespace zelcore::debug {

using TraceLevel = int;
// A configured level that turns a category off, even when "*" is set.
inline constexpr TraceLevel kTraceOff = -1;
// The highest level accepted from configuration text.
inline constexpr TraceLevel kMaxTraceLevel = 1000;

inline constexpr char kTraceEnvironmentVariable[] = "QUILLAN_TRACE";
inline constexpr char kTraceWildcardCategory[] = "*";

// The `flag` of TraceEnabled: a bit set.
using TraceFlags = std::uint32_t;
inline constexpr TraceFlags kTraceDefault = 0;
// Enabled only through a level configured for the category by its own name, never through "*": for very
// chatty categories that should stay quiet when someone turns everything on.
inline constexpr TraceFlags kTraceNamedCategoryOnly = 1;

// Whether a line of `category` at `level` is enabled (see above).
ZELCORE_EXPORT bool TraceEnabled(std::string_view category, TraceLevel level, TraceFlags flag = kTraceDefault);
// Writes one line to the sink when it is enabled (with kTraceDefault); a disabled line costs one lookup.
ZELCORE_EXPORT void Trace(TraceLevel level, std::string_view category, std::string_view message);
// Moves on every change of the configuration. Never 0, so a cache may start at 0 to mean "not asked yet".
ZELCORE_EXPORT std::uint64_t TraceChangeCount();

// Sets the level of one category ("*" for every category without its own); kTraceOff turns it off.
ZELCORE_EXPORT void SetTraceLevel(std::string_view category, TraceLevel level);
// Applies configuration text in the QUILLAN_TRACE form: comma-separated `category=level` items, where level
// is 0..kMaxTraceLevel or "off", with blanks around names and numbers ignored. Valid items are applied, the
// others skipped; returns one readable error per skipped item.
ZELCORE_EXPORT std::vector<std::string> ConfigureTrace(std::string_view settings);
// Forgets every configured level, the environment's included.
ZELCORE_EXPORT void ClearTraceLevels();
// Forgets every configured level and reads QUILLAN_TRACE again, as at first use.
ZELCORE_EXPORT void ResetTraceForTesting();

// Receives every enabled line. The default sink writes one line to stderr: "[category:level] message".
using TraceSink = std::function<void(std::string_view category, TraceLevel level, std::string_view message)>;
// Replaces the sink; an empty sink restores the default. Returns the previous one (empty for the default).
// The sink is called outside any lock, possibly from several threads at once.
ZELCORE_EXPORT TraceSink SetTraceSink(TraceSink sink);

inline bool TraceEnabled(utility::ImmutableString category, TraceLevel level, TraceFlags flag = kTraceDefault) {
  return TraceEnabled(category.view(), level, flag);
}
inline void Trace(TraceLevel level, utility::ImmutableString category, std::string_view message) {
  Trace(level, category.view(), message);
}

// TraceEnabled for one call site, asked again only when the configuration changes. Thread-safe.
class TraceSwitch {
 public:
  TraceSwitch(std::string category, TraceLevel level, TraceFlags flag = kTraceDefault)
      : category_(std::move(category)), level_(level), flag_(flag) {}

  bool Enabled() const {
    std::uint64_t const count = TraceChangeCount();
    std::uint64_t const cached = cache_.load(std::memory_order_relaxed);
    if (cached >> 1 == count) return (cached & 1) != 0;
    // The count is read first: a change racing with this lookup moves it again, and the next call asks anew.
    bool const enabled = TraceEnabled(category_, level_, flag_);
    cache_.store(count << 1 | (enabled ? 1 : 0), std::memory_order_relaxed);
    return enabled;
  }

  void Trace(std::string_view message) const {
    if (Enabled()) debug::Trace(level_, category_, message);
  }

 private:
  std::string category_;
  TraceLevel level_;
  TraceFlags flag_;
  mutable std::atomic<std::uint64_t> cache_{0};  // change count << 1 | enabled
};

}  // namespace zelcore::debug
