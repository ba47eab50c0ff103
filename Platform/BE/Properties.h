#pragma once

#include <filesystem>

#include "BE/Export.h"
#include "BE/SerializeableValue.h"
#include "BE/SettingsFileException.h"
#include "zelcore/ClassRef.h"
#include "zelcore/ImmutableString.h"
#include "zelcore/Messaging.h"

namespace BE {

using zelcore::InterfaceRef;
using zelcore::utility::ImmutableString;

// The application's settings, keyed by name and persisted in a TOML settings file:
//   read-only = ["Key"]                      keys that may not be written (an administrator's lock)
//   [values]
//   Key = 1                                  an int value (type tag kSerializeableTypeInt)
//   Other = { type = 9, text = "..." }       a value of any other type, as its type tag and text form
// Keys and tables it does not know are kept as they are when the file is rewritten. Writes replace the file
// atomically (temporary file, fsync, then rename; a symbolic link is followed and stays) after merging in what other
// processes wrote meanwhile; a file that exists but cannot be read or parsed is never overwritten, and reads report
// it (exSettingsFile) instead of answering as if it were empty. A tab-separated file that earlier versions
// wrote is converted on first reading; a copy of it stays beside it ("<file>.tab-separated").
//
// Thread-safe.
struct BE_EXPORT IProperties : zelcore::classref::Unknown {
  ZEL_INTERFACE_NAME("BE::IProperties")

  // Reads `key` into `value`. Returns false, leaving `value` unchanged, when the key has no value. Throws
  // exSettingsFile, naming the file and the key, when the stored value has another type or its text is not a valid
  // value of `value`'s type, and naming the file when it could not be read or parsed.
  virtual bool ReadValue(ImmutableString const& key, SerializeableValueBase& value) const = 0;
  // Whether `key` is marked read-only in the file as it is now (re-read first when another process may have changed
  // it). Throws exSettingsFile when the file could not be read or parsed.
  virtual bool IsReadOnly(ImmutableString const& key) const = 0;
  // Whether `key` has a stored value of any type: one read from the settings file, or one written through this
  // store (a non-final value counts before it is flushed). False for a key that is only marked read-only. Throws
  // exSettingsFile when the file could not be read or parsed.
  virtual bool HasValue(ImmutableString const& key) const = 0;
  // Stores `value` under `key` (replacing an entry that was not a valid value). A `final` value is written to the
  // settings file at once, together with earlier non-final ones; a non-final value (one step of an edit still going on)
  // is kept in memory until then or until Flush. Returns false, changing nothing, when the key is read-only. Throws
  // kResultInvalidArgument for an empty key or for a key or text that is not UTF-8 without NUL characters, and
  // exSettingsFile, changing nothing, when the file cannot be read or written.
  virtual bool WriteValue(ImmutableString const& key, SerializeableValueBase const& value, bool final) = 0;
  // Marks `key` read-only or writable, in the file at once. Throws as WriteValue.
  virtual void SetReadOnly(ImmutableString const& key, bool readOnly) = 0;
  // Writes the non-final values. Throws kResultSettingsFile when the file cannot be written.
  virtual void Flush() = 0;
  // Re-reads the settings file when it changed on disk (another process wrote it); values not yet flushed are
  // kept. Returns whether any value or read-only mark changed.
  virtual bool Refresh() = 0;
  // Refresh for readers on hot paths, which every analysis job passes: skipped when this store looked at the file
  // less than a second ago and no store of this process has written a settings file since. Another process's change
  // shows within a second; this process's own changes show at once.
  virtual bool RefreshIfStale() = 0;
  // Where warnings about these properties are broadcast (for instance
  // MessageNameForOverrideReadOnlyPropertyWarningMessage); the same for every store of one file.
  virtual zelcore::messaging::TargetID GetWarningTarget() const = 0;
  virtual std::filesystem::path GetFilePath() const = 0;
  // Switches to the settings file at `file` and loads it; values not yet flushed are dropped.
  virtual void SetFilePath(std::filesystem::path const& file) = 0;
};

// The key of the setting that says where analysis results of imported media are cached.
BE_EXPORT extern ImmutableString const kPrefsAnalyzeImportedMediaCacheLocation;

// Type name of the message broadcast to IProperties::GetWarningTarget when a read-only setting was not written.
inline constexpr char MessageNameForOverrideReadOnlyPropertyWarningMessage[] =
    "BE::MessageNameForOverrideReadOnlyPropertyWarningMessage";

// A properties store over the settings file `file`, loaded now (a missing file is an empty store).
BE_EXPORT InterfaceRef<IProperties> CreateProperties(std::filesystem::path const& file);

// The user's settings file: "properties" in $QUILLAN_CONFIG_DIR when set, else in "quillan" under the user's
// configuration folder ($XDG_CONFIG_HOME, or ~/.config).
BE_EXPORT std::filesystem::path GetDefaultPropertiesFilePath();

}  // namespace BE
