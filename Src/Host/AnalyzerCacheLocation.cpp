#include "Host/AnalyzerCacheLocation.h"

#include <any>
#include <cstdio>
#include <memory>

#include "BE/Backend.h"
#include "BE/Properties.h"
#include "zelcore/Messaging.h"
#include "zelcore/ZelException.h"

namespace Quillan {
namespace {

using zelcore::InterfaceRef;

constexpr zelcore::messaging::MessageID kReadOnlyWarningId =
    zelcore::messaging::HashMessageTypeNameToMessageID(BE::MessageNameForOverrideReadOnlyPropertyWarningMessage);

InterfaceRef<BE::IProperties> GetBackendProperties() {
  auto properties = InterfaceRef<BE::IProperties>::Query(BE::GetBackend());
  if (!properties) zelcore::config::DoThrowNullPtrException("BE::IProperties");
  return properties;
}

void BroadcastReadOnlyWarning(BE::IProperties const& properties) {
  zelcore::messaging::AsyncBroadcastMessagePtr(
      properties.GetWarningTarget(),
      std::make_shared<zelcore::messaging::Message const>(zelcore::messaging::Message{kReadOnlyWarningId, std::any()}));
}

}  // namespace

AnalyzerCacheLocation GetDefaultCacheLocation() {
  auto const properties = GetBackendProperties();
  // Another program may have changed the setting since it was read; every job asks, so a look at the file stands
  // for a second.
  properties->RefreshIfStale();
  BE::SerializeableValue<int> value(0);
  if (!properties->ReadValue(BE::kPrefsAnalyzeImportedMediaCacheLocation, value)) {
    return AnalyzerCacheLocation::kSidecarFile;
  }
  return static_cast<AnalyzerCacheLocation>(value.GetValue());
}

bool SetDefaultCacheLocation(AnalyzerCacheLocation const& location) {
  auto const properties = GetBackendProperties();
  if (properties->IsReadOnly(BE::kPrefsAnalyzeImportedMediaCacheLocation)) {
    BroadcastReadOnlyWarning(*properties);
    return false;
  }
  BE::SerializeableValue<int> const value(static_cast<int>(location));
  // A refused write (another program locked the setting after the test above) reports false and warns nobody: the
  // warning belongs to the read-only answer alone.
  return properties->WriteValue(BE::kPrefsAnalyzeImportedMediaCacheLocation, value, true);
}

}  // namespace Quillan

namespace BE {

SerializeableValue<int>::SerializeableValue(int value) : SerializeableValueBase(kSerializeableTypeInt), value_(value) {}

SerializeableValue<int>::SerializeableValue(SerializeableValue const& other) = default;

SerializeableValue<int>& SerializeableValue<int>::operator=(SerializeableValue const& other) = default;

SerializeableValue<int>::~SerializeableValue() = default;

bool SerializeableValue<int>::SetFromText(char const* text) { return Conversion::Result(text, value_); }

void SerializeableValue<int>::Assign(SerializeableValueBase const& other) {
  CheckSameType(other);
  if (auto const* same = dynamic_cast<SerializeableValue const*>(&other)) {
    value_ = same->value_;
    return;
  }
  // Another class with the int tag: its text form is an int's.
  if (!SetFromText(other.ToText().c_str())) throw exSerializeableTypeMismatch(GetTypeTag(), other.GetTypeTag());
}

std::string SerializeableValue<int>::ToText() const {
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "%i", value_);
  return buffer;
}

std::unique_ptr<SerializeableValueBase> SerializeableValue<int>::Clone() const {
  return std::make_unique<SerializeableValue>(value_);
}

}  // namespace BE
