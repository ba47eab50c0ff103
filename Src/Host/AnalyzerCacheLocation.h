#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "BE/SerializeableValue.h"
#include "Foundation/Export.h"

namespace Quillan {

// Where analysis results of imported media are cached: the user's setting, which CreateDefaultAnalyzerDatastore
// turns into the read and write order of an analyzer's store. Values outside the named ones are kept as they are
// and read the sidecar file only, writing nowhere.
enum class AnalyzerCacheLocation : std::int32_t {
  // Read the sidecar file, then the managed cache; write the sidecar file. Also the value of a setting never stored.
  kSidecarFile = 0,
  // Read the managed cache, then the sidecar file; write the managed cache.
  kManagedCache = 1,
  // Read the sidecar file, then the managed cache; write nowhere.
  kReadOnly = 2,
};

// The stored setting (BE::kPrefsAnalyzeImportedMediaCacheLocation of the backend's properties); kSidecarFile when it
// was never stored. Re-reads the settings file first when another process changed it. Throws the null-pointer
// exception naming BE::IProperties when the backend has no properties, and BE::exSerializeableTypeMismatch when
// the stored value is not an int. May be called from any thread.
QUILLAN_EXPORT AnalyzerCacheLocation GetDefaultCacheLocation();

// Stores `location` as is (no range check) in the settings file. When the setting is read-only, stores nothing,
// broadcasts one BE::MessageNameForOverrideReadOnlyPropertyWarningMessage to the properties' warning target and
// returns false. A write that the properties refuse all the same (the setting became read-only meanwhile) also
// returns false, without a warning. Throws the null-pointer exception naming BE::IProperties when the backend has no
// properties, and what the properties throw when the file cannot be written. May be called from any thread.
QUILLAN_EXPORT bool SetDefaultCacheLocation(AnalyzerCacheLocation const& location);

}  // namespace Quillan

namespace BE {

// An int as the project model stores it (type tag kSerializeableTypeInt); defined here, by the code that stores
// the cache location. Not thread-safe, as every value object.
template <>
class QUILLAN_EXPORT SerializeableValue<int> final : public SerializeableValueBase {
 public:
  explicit SerializeableValue(int value = 0);
  SerializeableValue(SerializeableValue const& other);
  SerializeableValue& operator=(SerializeableValue const& other);
  ~SerializeableValue() override;

  // SerializeableValueBase:
  // Decimal text with an optional sign (Conversion::Result).
  bool SetFromText(char const* text) override;
  void Assign(SerializeableValueBase const& other) override;
  std::string ToText() const override;
  std::unique_ptr<SerializeableValueBase> Clone() const override;

  int GetValue() const { return value_; }
  void SetValue(int value) { value_ = value; }

 private:
  int value_;
};

}  // namespace BE
