#pragma once

#include <functional>
#include <unordered_map>
#include <utility>

namespace CLI {
class App;
}

namespace Quillan::Cli {

// What the tool's commands do, each under the CLI11 command it was declared as. The parse finds the command the user
// typed, and the command finds its action: nothing compares names, so a command renamed or given an alias still runs
// what it declared. Not thread-safe; filled while the command line is built.
class CommandActions {
 public:
  // What a command does once its command line has been parsed and checked. Returns the exit code; throws UsageError
  // for arguments it cannot act on and CommandFailure when its work fails.
  using Action = std::function<int()>;

  // Whether the global options (the folders, the debug entries) take effect before an action runs. Every command
  // that reads settings, caches or media needs them; help and the manual describe the tool alone.
  enum class Globals { kApplied, kNotNeeded };

  struct Entry {
    Action action;
    Globals globals = Globals::kApplied;
  };

  // Makes `action` what `command` does.
  void Set(CLI::App const& command, Action action, Globals globals = Globals::kApplied) {
    entries_[&command] = Entry{.action = std::move(action), .globals = globals};
  }

  // The action of `command`; null when it has none (the tool itself, or a family such as `sidecar`).
  Entry const* Find(CLI::App const& command) const {
    auto const found = entries_.find(&command);
    return found == entries_.end() ? nullptr : &found->second;
  }

 private:
  std::unordered_map<CLI::App const*, Entry> entries_;
};

}  // namespace Quillan::Cli
