#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Quillan::Cli {

// What the tool returns to its caller.
inline constexpr int kExitOk = 0;
// An analysis failed, a file could not be read or was malformed, or a request was refused.
inline constexpr int kExitFailed = 1;
// The command line itself was wrong; a usage line went to stderr.
inline constexpr int kExitUsage = 2;
// The user interrupted the run (SIGINT; SIGTERM and SIGHUP give 143 and 129); running jobs were cancelled and pending
// writes finished.
inline constexpr int kExitInterrupted = 130;

// A command line the tool cannot act on. `command` names the subcommand whose usage line goes with the message
// (empty: the tool's own).
class UsageError : public std::runtime_error {
 public:
  UsageError(std::string const& message, std::string command = {})
      : std::runtime_error(message), command_(std::move(command)) {}
  std::string const& Command() const { return command_; }
  // Names a more specific subcommand ("sidecar dump") once it is known, for the usage line of later errors.
  void SetCommand(std::string command) { command_ = std::move(command); }

 private:
  std::string command_;
};

// A failure that ends a subcommand with kExitFailed after its message (not a usage error).
class CommandFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Walks the arguments of one subcommand. Options are "--name VALUE" or "--name=VALUE"; "--" ends the options, so
// that later arguments are taken as they are even when they start with '-'.
class ArgumentCursor {
 public:
  // `command` is the subcommand, for the usage line of errors.
  ArgumentCursor(std::vector<std::string> arguments, std::string command);

  bool AtEnd() const { return next_ == arguments_.size(); }
  std::string const& Command() const { return command_; }
  // Names a more specific subcommand ("sidecar dump") once it is known, for the usage line of later errors.
  void SetCommand(std::string command) { command_ = std::move(command); }

  // Takes a flag such as "--json"; false (and nothing taken) when the next argument is not it.
  bool TakeFlag(std::string_view name);
  // Takes an option with a value; false when the next argument is not the option. Throws UsageError when the value
  // is missing.
  bool TakeOption(std::string_view name, std::string& value);
  // Takes the next argument as a positional one. Throws UsageError for an option that no TakeFlag or TakeOption
  // accepted, and for `what` missing at the end.
  std::string TakePositional(std::string_view what);
  // Takes the next argument as it is, "--" and options included (the arguments of a subcommand).
  std::string TakeRaw() { return arguments_[next_++]; }
  // Throws UsageError unless every argument was taken.
  void ExpectEnd() const;
  // Throws UsageError for the next argument, which no TakeFlag, TakeOption or TakePositional accepted.
  [[noreturn]] void RejectNext() const;

 private:
  bool OptionsEnded();

  std::vector<std::string> arguments_;
  std::string command_;
  std::size_t next_ = 0;
  bool optionsEnded_ = false;
};

// Splits "NAME=VALUE" at its first '='; throws UsageError naming `option` when there is no '=' or NAME is empty.
std::pair<std::string, std::string> SplitAssignment(std::string const& text, std::string_view option,
                                                    std::string const& command);

// The usage line of a subcommand ("analyze", "sidecar dump", ...); the tool's summary for an empty or unknown one.
std::string UsageOf(std::string_view command);
// The whole help text: every subcommand and global option.
std::string HelpText();

}  // namespace Quillan::Cli
