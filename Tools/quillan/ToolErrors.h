#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace Quillan::Cli {

// What the tool returns to its caller.
inline constexpr int kExitOk = 0;
// An analysis failed, a file could not be read or was malformed, or a request was refused.
inline constexpr int kExitFailed = 1;
// The command line itself was wrong (a usage line went to stderr), or an analyzer module could not be loaded.
inline constexpr int kExitUsage = 2;
// The user interrupted the run (SIGINT; SIGTERM and SIGHUP give 143 and 129); running jobs were cancelled and pending
// writes finished.
inline constexpr int kExitInterrupted = 130;

// A command line the tool cannot act on. `command` names the subcommand whose usage line goes with the message
// ("sidecar get"; empty: the tool's own).
class UsageError : public std::runtime_error {
 public:
  UsageError(std::string const& message, std::string command = {})
      : std::runtime_error(message), command_(std::move(command)) {}
  std::string const& Command() const { return command_; }

 private:
  std::string command_;
};

// A failure that ends a subcommand with kExitFailed after its message (not a usage error).
class CommandFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace Quillan::Cli
