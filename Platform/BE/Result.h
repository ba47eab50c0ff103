#pragma once

#include "zelcore/ZelException.h"

// Result codes of the project model's own errors (zelcore::config::zel_exception).
namespace BE {

using zelcore::config::Result;

// An argument is out of range or malformed: a bad index, an unknown enumeration value, an empty key.
inline constexpr Result kResultInvalidArgument = 0xA0BE0001;
// The change is not permitted: a read-only validator.
inline constexpr Result kResultNotPermitted = 0xA0BE0002;
// A lock was taken in an order that would deadlock (the write lock while holding the read lock).
inline constexpr Result kResultLockOrder = 0xA0BE0003;
// A serialisable value was read or assigned as another type (exSerializeableTypeMismatch).
inline constexpr Result kResultSerializeableTypeMismatch = 0xA0BE0004;
// The settings file could not be read or written.
inline constexpr Result kResultSettingsFile = 0xA0BE0005;
// An object that this project model did not make was passed where one of its own is needed.
inline constexpr Result kResultForeignObject = 0xA0BE0006;

}  // namespace BE
