#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BE/SerializeableValue.h"

// The text form of the properties' settings file, and its reading and writing.
namespace BE::detail {

struct StoredValue {
  SerializeableValueBase::TypeTag typeTag = 0;
  std::string text;

  friend bool operator==(StoredValue const&, StoredValue const&) = default;
};

struct SettingsEntry {
  std::optional<StoredValue> value;
  bool readOnly = false;

  friend bool operator==(SettingsEntry const&, SettingsEntry const&) = default;
};

using SettingsEntries = std::map<std::string, SettingsEntry, std::less<>>;

struct SettingsFileContent {
  SettingsEntries entries;
  // Lines that are not entries (damaged, or written by a newer version), kept to be written back unchanged.
  std::vector<std::string> otherLines;
};

// Parses any bytes: lines that are not well-formed entries go to otherLines. The last entry of a key wins.
SettingsFileContent ParseSettings(std::string_view text);
std::string FormatSettings(SettingsFileContent const& content);

// The file's content; an empty content when the file does not exist. Throws zel_exception kResultSettingsFile when
// it exists but cannot be read (or is implausibly large for a settings file).
SettingsFileContent ReadSettingsFile(std::filesystem::path const& file);
// Replaces the file by `text` atomically (a temporary file beside it, then rename), creating its folder. Throws
// zel_exception kResultSettingsFile, leaving the old file in place, when that fails.
void WriteFileAtomically(std::filesystem::path const& file, std::string const& text);

}  // namespace BE::detail
