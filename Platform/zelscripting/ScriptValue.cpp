#include "zelscripting/ScriptValue.h"

#include <cmath>
#include <limits>
#include <utility>

#include "zelscripting/ScriptException.h"

namespace zelscripting {
namespace {

bool IsUndefined(ScriptValue const& value) { return std::holds_alternative<std::monostate>(value); }
bool IsNullish(ScriptValue const& value) { return IsUndefined(value) || std::holds_alternative<std::nullptr_t>(value); }

template <class T>
T const& Expect(ScriptValue const& value, char const* typeName) {
  if (auto const* held = std::get_if<T>(&value)) return *held;
  throw ParameterErrorException(std::string("An argument has the wrong type: expected a ") + typeName + ".");
}

}  // namespace

ScriptValue PropertyType<bool>::ToScript(bool value) { return value; }
bool PropertyType<bool>::FromScript(ScriptValue const& value) {
  return IsUndefined(value) ? false : Expect<bool>(value, kTypeName);
}

ScriptValue PropertyType<int>::ToScript(int value) { return static_cast<double>(value); }
int PropertyType<int>::FromScript(ScriptValue const& value) {
  if (IsUndefined(value)) return 0;
  double const number = std::trunc(Expect<double>(value, kTypeName));
  // NaN fails both comparisons.
  if (!(number >= std::numeric_limits<int>::min() && number <= std::numeric_limits<int>::max())) {
    throw ParameterErrorException("An argument is out of range: expected a whole number within 32 bits.");
  }
  return static_cast<int>(number);
}

ScriptValue PropertyType<double>::ToScript(double value) { return value; }
double PropertyType<double>::FromScript(ScriptValue const& value) {
  return IsUndefined(value) ? 0.0 : Expect<double>(value, kTypeName);
}

ScriptValue PropertyType<std::string>::ToScript(std::string value) { return value; }
std::string PropertyType<std::string>::FromScript(ScriptValue const& value) {
  return IsUndefined(value) ? std::string() : Expect<std::string>(value, kTypeName);
}

ScriptValue PropertyType<IntrusivePtr<ScriptObject>>::ToScript(IntrusivePtr<ScriptObject> value) {
  if (!value) return nullptr;
  return value;
}
IntrusivePtr<ScriptObject> PropertyType<IntrusivePtr<ScriptObject>>::FromScript(ScriptValue const& value) {
  if (IsNullish(value)) return {};
  return Expect<IntrusivePtr<ScriptObject>>(value, kTypeName);
}

ScriptValue PropertyType<std::shared_ptr<NativeObject>>::ToScript(std::shared_ptr<NativeObject> value) {
  if (!value) return nullptr;
  return value;
}
std::shared_ptr<NativeObject> PropertyType<std::shared_ptr<NativeObject>>::FromScript(ScriptValue const& value) {
  if (IsNullish(value)) return {};
  return Expect<std::shared_ptr<NativeObject>>(value, "native object");
}

ScriptValue PropertyType<ScriptValue>::ToScript(ScriptValue value) { return value; }
ScriptValue PropertyType<ScriptValue>::FromScript(ScriptValue const& value) { return value; }

}  // namespace zelscripting
