#pragma once

#include <toml++/toml.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "BE/SerializeableValue.h"

// The properties' settings file (TOML), its reading, writing, and the one-time conversion of the tab-separated
// file that earlier versions wrote.
namespace BE::detail {

struct StoredValue {
  SerializeableValueBase::TypeTag typeTag = 0;
  std::string text;

  friend bool operator==(StoredValue const&, StoredValue const&) = default;
};

struct SettingsEntry {
  std::optional<StoredValue> value;
  // What the file holds under the key when that is no stored value ("a string", ...): reading the key is an error,
  // and the entry is written back unchanged until a value replaces it.
  std::optional<std::string> invalid;
  bool readOnly = false;

  friend bool operator==(SettingsEntry const&, SettingsEntry const&) = default;
};

using SettingsEntries = std::map<std::string, SettingsEntry, std::less<>>;

struct SettingsFileContent {
  SettingsEntries entries;
  // The file as parsed: keys this version does not know, and invalid entries, are written back from it.
  toml::table document;
};

// Beside a converted tab-separated file, its copy is named as the file with this suffix.
inline constexpr char kLegacyBackupSuffix[] = ".tab-separated";

// Parses TOML text; throws exSettingsFile naming `file` (and the key, for a top-level entry of the wrong kind) when
// it is malformed or goes beyond TomlLimits (named with its line), before the TOML library sees it.
SettingsFileContent ParseSettings(std::string_view text, std::filesystem::path const& file);
std::string FormatSettings(SettingsFileContent const& content);
// The tab-separated format: lines that are not well-formed entries are skipped. The last entry of a key wins.
SettingsEntries ParseLegacySettings(std::string_view text);
// Whether `text` is a file in the tab-separated format (it starts with that format's header line).
bool IsLegacySettings(std::string_view text);

// Beside the settings file (the file a symbolic link leads to), the file whose lock serializes changes to it.
inline constexpr char kLockSuffix[] = ".lock";
inline constexpr std::chrono::seconds kSettingsLockTimeout{10};

// The lock that processes hold while they read, change and replace one settings file, so that none of them
// replaces the file with a version that misses another's change. It is an flock on the file named as the settings
// file with kLockSuffix, created when missing and never removed (removing it would let two processes hold locks on
// different files). Waits at most `timeout`; throws exSettingsFile when the lock cannot be had. The lock belongs to
// this object's own open file: another SettingsFileLock of the same file waits for it, in any thread or process.
// May be taken and released on any thread.
class SettingsFileLock {
 public:
  explicit SettingsFileLock(std::filesystem::path const& file,
                            std::chrono::milliseconds timeout = kSettingsLockTimeout);
  ~SettingsFileLock();
  SettingsFileLock(SettingsFileLock const&) = delete;
  SettingsFileLock& operator=(SettingsFileLock const&) = delete;

 private:
  int fd_ = -1;
};

// The file's content; an empty content when the file does not exist. A tab-separated file is converted, under the
// file's SettingsFileLock: replaced by its TOML form, with a copy of it kept beside it (kLegacyBackupSuffix).
// Throws exSettingsFile when the file exists but cannot be read, is malformed, or is implausibly large.
SettingsFileContent ReadSettingsFile(std::filesystem::path const& file);
// Reads the file, lets `change` change its content, and replaces the file by FormatSettings of the result once it
// has checked that the text parses back, all under the file's SettingsFileLock. Returns the content written.
// Throws exSettingsFile, leaving the file as it was, when it cannot be read or written; what `change` throws passes
// through the same way. Takes the lock: the caller must not hold it.
SettingsFileContent UpdateSettingsFile(std::filesystem::path const& file,
                                       std::function<void(SettingsFileContent&)> const& change);

}  // namespace BE::detail
