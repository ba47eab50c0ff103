#include "quillan/CommandLine.h"

#include <array>
#include <utility>

namespace Quillan::Cli {
namespace {

struct CommandUsage {
  std::string_view command;
  std::string_view usage;
  std::string_view summary;
};

constexpr std::array<CommandUsage, 9> kCommands{{
    {"analyze",
     "quillan analyze [--analyzer NAME]... [--param NAME=VALUE]... [--cache-location sidecar|managed|read-only|N] "
     "[--json] [--no-progress] [--plugin FILE.so]... FILE...",
     "analyse media files (default: every type-0 analyzer)"},
    {"analyzers", "quillan analyzers [--json] [--plugin FILE.so]...", "list the registered analyzers"},
    {"sidecar", "quillan sidecar dump|get|verify ...", "inspect sidecar files"},
    {"sidecar dump", "quillan sidecar dump FILE [--json]", "show the items and values of a sidecar file"},
    {"sidecar get", "quillan sidecar get FILE --analyzer GUID --data-source TEXT --key TEXT [-o OUT]",
     "write the raw bytes of one value (to stdout without -o)"},
    {"sidecar verify", "quillan sidecar verify FILE...", "check that sidecar files decode"},
    {"cache", "quillan cache path|stats|clear [--json]",
     "show the managed cache folder, its item count and bytes, or clear it"},
    {"config", "quillan config get cache-location | quillan config set cache-location VALUE",
     "read or write the persisted cache-location setting"},
    {"", "quillan [--cache-dir DIR] [--config-dir DIR] [--debug KEY=VALUE]... [--help] [--version] COMMAND [ARG]...",
     ""},
}};

constexpr std::string_view kGlobalOptions =
    "Global options (before COMMAND):\n"
    "  --cache-dir DIR      the folder for caches (the managed analyzer cache is DIR/AnalyzerCache)\n"
    "  --config-dir DIR     the folder for settings (DIR/properties)\n"
    "  --debug KEY=VALUE    set a debug database entry, e.g. ZELSE.IgnoreAnalyzerCache=true\n"
    "  --help               this text; 'quillan COMMAND --help' shows one command\n"
    "  --version            the tool's version\n";

constexpr std::string_view kExitCodes =
    "Exit codes: 0 all fine, 1 an analysis failed or a file was bad, 2 bad arguments, 130 interrupted.\n";

bool IsOption(std::string const& argument) { return argument.size() > 1 && argument[0] == '-'; }

}  // namespace

ArgumentCursor::ArgumentCursor(std::vector<std::string> arguments, std::string command)
    : arguments_(std::move(arguments)), command_(std::move(command)) {}

bool ArgumentCursor::OptionsEnded() {
  if (!optionsEnded_ && !AtEnd() && arguments_[next_] == "--") {
    optionsEnded_ = true;
    ++next_;
  }
  return optionsEnded_;
}

bool ArgumentCursor::TakeFlag(std::string_view name) {
  if (OptionsEnded() || AtEnd()) return false;
  std::string const& argument = arguments_[next_];
  if (argument == name) {
    ++next_;
    return true;
  }
  if (argument.starts_with(name) && argument.size() > name.size() && argument[name.size()] == '=') {
    throw UsageError("option " + std::string(name) + " takes no value", command_);
  }
  return false;
}

bool ArgumentCursor::TakeOption(std::string_view name, std::string& value) {
  if (OptionsEnded() || AtEnd()) return false;
  std::string const& argument = arguments_[next_];
  if (argument == name) {
    if (next_ + 1 == arguments_.size()) throw UsageError("option " + std::string(name) + " needs a value", command_);
    value = arguments_[next_ + 1];
    next_ += 2;
    return true;
  }
  if (argument.starts_with(name) && argument.size() > name.size() && argument[name.size()] == '=') {
    value = argument.substr(name.size() + 1);
    ++next_;
    return true;
  }
  return false;
}

std::string ArgumentCursor::TakePositional(std::string_view what) {
  bool const ended = OptionsEnded();
  if (AtEnd()) throw UsageError("missing " + std::string(what), command_);
  std::string const& argument = arguments_[next_];
  if (!ended && IsOption(argument)) throw UsageError("unknown option " + argument, command_);
  ++next_;
  return argument;
}

void ArgumentCursor::ExpectEnd() const {
  if (!AtEnd()) RejectNext();
}

void ArgumentCursor::RejectNext() const {
  if (AtEnd()) throw UsageError("missing argument", command_);
  std::string const& argument = arguments_[next_];
  if (!optionsEnded_ && IsOption(argument)) throw UsageError("unknown option " + argument, command_);
  throw UsageError("unexpected argument " + argument, command_);
}

std::pair<std::string, std::string> SplitAssignment(std::string const& text, std::string_view option,
                                                    std::string const& command) {
  auto const equals = text.find('=');
  if (equals == std::string::npos || equals == 0) {
    throw UsageError(std::string(option) + " expects NAME=VALUE, not \"" + text + "\"", command);
  }
  return {text.substr(0, equals), text.substr(equals + 1)};
}

std::string UsageOf(std::string_view command) {
  for (CommandUsage const& entry : kCommands) {
    if (entry.command == command) return "usage: " + std::string(entry.usage);
  }
  return "usage: " + std::string(kCommands.back().usage);
}

std::string HelpText() {
  std::string text = UsageOf("") + "\n\nAnalyse media files with analyzers and look after their caches.\n\nCommands:\n";
  for (CommandUsage const& entry : kCommands) {
    if (entry.command.empty() || entry.command == "sidecar") continue;
    text += "  " + std::string(entry.usage) + "\n      " + std::string(entry.summary) + "\n";
  }
  text += "\n";
  text += kGlobalOptions;
  text += "\n";
  text += kExitCodes;
  return text;
}

}  // namespace Quillan::Cli
