#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "zelcore/Export.h"

namespace zelcore::debug {

// The command-line option that sets one entry: "--debug-entry key=value" or "--debug-entry=key=value".
inline constexpr char kDebugEntryOption[] = "--debug-entry";

// What LoadFromCommandLine leaves for the tool.
struct DebugCommandLine {
  // argv without the debug-entry options, argv[0] first; everything after "--" is kept as it is.
  std::vector<std::string> arguments;
  // One readable message per malformed debug-entry option; the option was skipped.
  std::vector<std::string> errors;
};

// Named configuration strings for diagnostics and switches, such as "ZELSE.IgnoreAnalyzerCache". Entries
// come from the program, from settings files and from the command line; a later setting of a key replaces
// an earlier one, whatever its source. A boolean entry is on exactly when its value is "true".
//
// Thread-safe: every method may be called from any thread.
class ZELCORE_EXPORT DebugDatabase {
 public:
  // The process's database.
  static DebugDatabase& Instance();

  // An empty database; programs use Instance(), tests may make their own.
  DebugDatabase();
  DebugDatabase(DebugDatabase const&) = delete;
  DebugDatabase& operator=(DebugDatabase const&) = delete;

  // The value of `key`, or `defaultValue` when it has none.
  std::string GetEntry(std::string_view key, std::string_view defaultValue) const;
  // Whether GetEntry(key, defaultValue ? "true" : "false") is "true".
  bool GetBooleanEntry(std::string_view key, bool defaultValue) const;
  std::optional<std::string> FindEntry(std::string_view key) const;
  // A copy of every entry.
  std::map<std::string, std::string> GetAllEntries() const;

  void SetEntry(std::string_view key, std::string_view value);
  // Returns whether there was an entry.
  bool RemoveEntry(std::string_view key);
  void Clear();

  // Applies settings text: one `key=value` per line, blanks around key and value ignored, blank lines and
  // lines starting with '#' skipped, CRLF line ends and a leading byte order mark accepted. A malformed line
  // (no '=', an empty key, invalid UTF-8, control characters) is skipped; the others are applied. Returns one
  // error per skipped line, "<sourceName>:<line>: <reason>".
  std::vector<std::string> LoadFromText(std::string_view text, std::string_view sourceName);
  // LoadFromText of the file's contents. Throws config::zel_exception kResultFileRead, naming the path, when
  // the file cannot be read; nothing is applied then.
  std::vector<std::string> LoadFromFile(std::filesystem::path const& path);
  // Applies the debug-entry options of a command line and returns the rest of it.
  DebugCommandLine LoadFromCommandLine(int argc, char const* const* argv);

 private:
  mutable std::shared_mutex mutex_;
  std::map<std::string, std::string, std::less<>> entries_;  // guarded by mutex_
};

}  // namespace zelcore::debug
