#pragma once

#include <toml++/toml.h>

#include <filesystem>
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

// The file's content; an empty content when the file does not exist. A tab-separated file is converted: replaced
// by its TOML form, with a copy of it kept beside it (kLegacyBackupSuffix). Throws exSettingsFile when the file
// exists but cannot be read, is malformed, or is implausibly large.
SettingsFileContent ReadSettingsFile(std::filesystem::path const& file);
// Writes FormatSettings(content) with WriteFileAtomically, once it has checked that the text parses back.
void WriteSettingsFile(std::filesystem::path const& file, SettingsFileContent const& content);
// Replaces the file by `text` atomically (a temporary file beside it, synced, then renamed), creating its folder.
// A symbolic link is followed, so the file it points to is replaced and the link stays. Throws exSettingsFile,
// leaving the old file in place, when that fails.
void WriteFileAtomically(std::filesystem::path const& file, std::string const& text);

}  // namespace BE::detail
