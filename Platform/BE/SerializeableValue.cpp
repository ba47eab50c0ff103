#include "BE/SerializeableValue.h"

#include <charconv>
#include <string>
#include <system_error>

#include "BE/Result.h"

namespace BE {

SerializeableValueBase::~SerializeableValueBase() = default;

int SerializeableValueBase::GetFormatVersion() const { return 1; }

bool SerializeableValueBase::Equals(SerializeableValueBase const& other) const {
  return typeTag_ == other.typeTag_ && ToText() == other.ToText();
}

void SerializeableValueBase::CheckSameType(SerializeableValueBase const& other) const {
  if (other.typeTag_ != typeTag_) throw exSerializeableTypeMismatch(typeTag_, other.typeTag_);
}

exSerializeableTypeMismatch::exSerializeableTypeMismatch(SerializeableValueBase::TypeTag expected,
                                                         SerializeableValueBase::TypeTag found)
    : zel_exception("Serializeable value type mismatch: expected type " + std::to_string(expected) + ", found type " +
                        std::to_string(found),
                    kResultSerializeableTypeMismatch),
      expected_(expected),
      found_(found) {}

exSerializeableTypeMismatch::~exSerializeableTypeMismatch() = default;

bool Conversion::Result(std::string_view text, int& value) {
  // from_chars takes a minus sign but not a plus sign.
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return false;
  }
  if (text.empty()) return false;
  int parsed = 0;
  auto const [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (error != std::errc() || end != text.data() + text.size()) return false;
  value = parsed;
  return true;
}

bool Conversion::Result(char const* text, int& value) {
  return text != nullptr && Result(std::string_view(text), value);
}

}  // namespace BE
