#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "BE/SerializeableValue.h"
#include "Foundation/Export.h"
#include "zelcore/ImmutableString.h"

namespace Quillan {

// The key, in the backend's properties, of the managed analyzer cache's bound in bytes (a 64-bit int).
QUILLAN_EXPORT extern zelcore::utility::ImmutableString const kPrefsAnalyzerCacheMaxBytes;

// The smallest bound that can be stored: smaller ones would keep hardly any result.
inline constexpr std::uint64_t kMinAnalyzerCacheMaxBytes = std::uint64_t{1} << 20;

// The stored bound of the managed analyzer cache: what its folder may hold before the least recently used results
// are evicted. ManagedDataStoreAdaptor::kMaxUsedBytes (5 GiB) when it was never stored, or when the stored text is
// not a valid bound (a file edited by hand, say). Re-reads the settings file first when another process changed it.
// Throws the null-pointer exception naming BE::IProperties when the backend has no properties, and
// BE::exSettingsFile, naming the file and the key, when the key holds a value of another type. May be called from any
// thread.
QUILLAN_EXPORT std::uint64_t GetAnalyzerCacheMaxBytes();

// Stores `bytes` as the bound, in the settings file at once; managed stores of this process apply it at their next
// save, those of other processes within a second of their next save. Throws zel_exception
// zelcore::config::kResultInvalidArgument, storing nothing, for a bound below kMinAnalyzerCacheMaxBytes or above
// 2^63 - 1. Returns false, storing nothing, when the setting is read-only. Throws what the properties throw when
// the file cannot be written. May be called from any thread.
QUILLAN_EXPORT bool SetAnalyzerCacheMaxBytes(std::uint64_t bytes);

}  // namespace Quillan

namespace BE {

// A 64-bit int as the project model stores it (type tag kSerializeableTypeInt64): decimal text with an optional
// sign. Not thread-safe, as every value object.
template <>
class QUILLAN_EXPORT SerializeableValue<std::int64_t> final : public SerializeableValueBase {
 public:
  explicit SerializeableValue(std::int64_t value = 0);
  SerializeableValue(SerializeableValue const& other);
  SerializeableValue& operator=(SerializeableValue const& other);
  ~SerializeableValue() override;

  // SerializeableValueBase:
  bool SetFromText(char const* text) override;
  void Assign(SerializeableValueBase const& other) override;
  std::string ToText() const override;
  std::unique_ptr<SerializeableValueBase> Clone() const override;

  std::int64_t GetValue() const { return value_; }
  void SetValue(std::int64_t value) { value_ = value; }

 private:
  std::int64_t value_;
};

}  // namespace BE
