#include "DataStoreAdaptors/AnalyzerCacheSize.h"

#include <atomic>
#include <charconv>
#include <cstring>
#include <limits>

#include "BE/Backend.h"
#include "BE/Properties.h"
#include "DataStoreAdaptors/ManagedDataStoreAdaptor.h"
#include "zelcore/QuantityText.h"
#include "zelcore/ZelException.h"

namespace Quillan {
namespace {

using zelcore::InterfaceRef;

std::atomic<std::uint64_t> bytesGeneration{0};

InterfaceRef<BE::IProperties> GetBackendProperties() {
  auto properties = InterfaceRef<BE::IProperties>::Query(BE::GetBackend());
  if (!properties) zelcore::config::DoThrowNullPtrException("BE::IProperties");
  return properties;
}

}  // namespace

zelcore::utility::ImmutableString const kPrefsAnalyzerCacheMaxBytes =
    zelcore::utility::ImmutableString::_PrivateCreateStatic("AnalyzerCacheMaxBytes");

// GetAnalyzerCacheMaxBytes, which also says in `problem` (when given) why a stored bound was not taken. Internal to
// the library: declared where the managed store uses it.
std::uint64_t ReadAnalyzerCacheMaxBytes(std::string* problem) {
  auto const properties = GetBackendProperties();
  // Another program may have changed the setting since it was read; every job asks, so a look at the file stands
  // for a second.
  properties->RefreshIfStale();
  BE::SerializeableValue<std::int64_t> value(0);
  if (!properties->ReadValue(kPrefsAnalyzerCacheMaxBytes, value)) return ManagedDataStoreAdaptor::kMaxUsedBytes;
  if (value.GetValue() < static_cast<std::int64_t>(kMinAnalyzerCacheMaxBytes)) {
    if (problem != nullptr) {
      *problem = "settings file " + properties->GetFilePath().string() + ", key \"" +
                 kPrefsAnalyzerCacheMaxBytes.ToUTF8String() + "\": " + std::to_string(value.GetValue()) +
                 " is below the smallest bound, " + zelcore::text::FormatByteSize(kMinAnalyzerCacheMaxBytes);
    }
    return ManagedDataStoreAdaptor::kMaxUsedBytes;
  }
  return static_cast<std::uint64_t>(value.GetValue());
}

std::uint64_t GetAnalyzerCacheMaxBytes() { return ReadAnalyzerCacheMaxBytes(nullptr); }

bool SetAnalyzerCacheMaxBytes(std::uint64_t bytes) {
  if (bytes < kMinAnalyzerCacheMaxBytes ||
      bytes > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    throw zelcore::config::zel_exception("The analyzer cache's size must be at least " +
                                             zelcore::text::FormatByteSize(kMinAnalyzerCacheMaxBytes) + ", not " +
                                             std::to_string(bytes) + " bytes",
                                         zelcore::config::kResultInvalidArgument);
  }
  auto const properties = GetBackendProperties();
  BE::SerializeableValue<std::int64_t> const value(static_cast<std::int64_t>(bytes));
  bool const written = properties->WriteValue(kPrefsAnalyzerCacheMaxBytes, value, true);
  if (written) bytesGeneration.fetch_add(1, std::memory_order_release);
  return written;
}

// Counts this process's changes of the bound, so that a store can tell cheaply that it must read it again. Internal
// to the library: declared where the managed store uses it.
std::uint64_t GetAnalyzerCacheMaxBytesGeneration() { return bytesGeneration.load(std::memory_order_acquire); }

}  // namespace Quillan

namespace BE {

SerializeableValue<std::int64_t>::SerializeableValue(std::int64_t value)
    : SerializeableValueBase(kSerializeableTypeInt64), value_(value) {}

SerializeableValue<std::int64_t>::SerializeableValue(SerializeableValue const& other) = default;

SerializeableValue<std::int64_t>& SerializeableValue<std::int64_t>::operator=(SerializeableValue const& other) =
    default;

SerializeableValue<std::int64_t>::~SerializeableValue() = default;

bool SerializeableValue<std::int64_t>::SetFromText(char const* text) {
  if (text == nullptr) return false;
  char const* begin = text;
  char const* const end = text + std::strlen(text);
  // from_chars takes a minus sign but no plus sign.
  if (begin != end && *begin == '+') ++begin;
  if (begin == end || (*begin == '-' && begin != text)) return false;
  std::int64_t parsed = 0;
  auto const [stop, error] = std::from_chars(begin, end, parsed);
  if (error != std::errc() || stop != end) return false;
  value_ = parsed;
  return true;
}

void SerializeableValue<std::int64_t>::Assign(SerializeableValueBase const& other) {
  CheckSameType(other);
  if (auto const* same = dynamic_cast<SerializeableValue const*>(&other)) {
    value_ = same->value_;
    return;
  }
  // Another class with the same tag: its text form is this one's.
  if (!SetFromText(other.ToText().c_str())) throw exSerializeableTypeMismatch(GetTypeTag(), other.GetTypeTag());
}

std::string SerializeableValue<std::int64_t>::ToText() const { return std::to_string(value_); }

std::unique_ptr<SerializeableValueBase> SerializeableValue<std::int64_t>::Clone() const {
  return std::make_unique<SerializeableValue>(value_);
}

}  // namespace BE
