#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "BE/Export.h"
#include "zelcore/ZelException.h"

namespace BE {

// A value that the project model can store as text (properties, project files). Each value class has a type
// tag; a stored value is only ever read back into a value of the same tag. Not thread-safe: a value object
// belongs to one thread at a time.
class BE_EXPORT SerializeableValueBase {
 public:
  using TypeTag = std::int32_t;

  explicit SerializeableValueBase(TypeTag typeTag) : typeTag_(typeTag) {}
  virtual ~SerializeableValueBase();

  // Parses zero-terminated `text` into this value. Returns false, leaving the value unchanged, when the text is
  // not a valid value of this type.
  virtual bool SetFromText(char const* text) = 0;
  // Copies `other`'s value; throws exSerializeableTypeMismatch when `other` has another type tag.
  virtual void Assign(SerializeableValueBase const& other) = 0;
  // The text form, which SetFromText reads back.
  virtual std::string ToText() const = 0;
  virtual std::unique_ptr<SerializeableValueBase> Clone() const = 0;
  // The version of the text form; 1 unless a value class changes its format.
  virtual int GetFormatVersion() const;

  TypeTag GetTypeTag() const { return typeTag_; }
  // Same type tag and same text form.
  bool Equals(SerializeableValueBase const& other) const;

 protected:
  SerializeableValueBase(SerializeableValueBase const&) = default;
  SerializeableValueBase& operator=(SerializeableValueBase const&) = default;

  // Throws exSerializeableTypeMismatch unless `other` has this value's type tag.
  void CheckSameType(SerializeableValueBase const& other) const;

 private:
  TypeTag typeTag_;
};

// The value class of one stored type, defined by the code that stores that type (the int one uses
// kSerializeableTypeInt).
template <class T>
class SerializeableValue;

inline constexpr SerializeableValueBase::TypeTag kSerializeableTypeInt = 5;
// A 64-bit int (a size in bytes, say); its value class is defined by the code that stores the analyzer cache's bound.
inline constexpr SerializeableValueBase::TypeTag kSerializeableTypeInt64 = 6;

// A serialisable value was read or assigned as a value of another type.
class BE_EXPORT exSerializeableTypeMismatch : public zelcore::config::zel_exception {
 public:
  exSerializeableTypeMismatch(SerializeableValueBase::TypeTag expected, SerializeableValueBase::TypeTag found);
  ~exSerializeableTypeMismatch() override;

  SerializeableValueBase::TypeTag GetExpectedTypeTag() const { return expected_; }
  SerializeableValueBase::TypeTag GetFoundTypeTag() const { return found_; }

 private:
  SerializeableValueBase::TypeTag expected_;
  SerializeableValueBase::TypeTag found_;
};

namespace Conversion {

// Parses a decimal int: an optional sign and digits, nothing else (no spaces). Returns false, leaving `value`
// unchanged, for empty text, any other character, or a number outside int's range.
BE_EXPORT bool Result(std::string_view text, int& value);
// The same for zero-terminated text; a null pointer gives false.
BE_EXPORT bool Result(char const* text, int& value);

}  // namespace Conversion
}  // namespace BE
