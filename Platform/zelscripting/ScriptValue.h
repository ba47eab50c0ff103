#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <variant>

#include "zelscripting/Export.h"
#include "zelscripting/ScriptObject.h"

namespace zelscripting {

// What crosses the script boundary. Numbers are doubles, as in the script engines; std::monostate is `undefined`
// (also what a missing argument reads as), nullptr_t is `null`.
using ScriptValue = std::variant<std::monostate, std::nullptr_t, bool, double, std::string, IntrusivePtr<ScriptObject>,
                                 std::shared_ptr<NativeObject>>;

// Conversions of native types to and from script values, with the type's name as method tables show it.
// ToScript never fails. FromScript reads a parameter: `undefined` (a missing argument) gives the type's empty value,
// and `null` does too for the object types; any other value of a wrong type throws ParameterErrorException.
template <class T>
struct PropertyType;

template <>
struct ZELSCRIPTING_EXPORT PropertyType<void> {
  static constexpr char kTypeName[] = "undefined";
};

template <>
struct ZELSCRIPTING_EXPORT PropertyType<bool> {
  static constexpr char kTypeName[] = "boolean";
  static ScriptValue ToScript(bool value);
  static bool FromScript(ScriptValue const& value);
};

// A number that must be finite and within the int range; a fraction is cut off toward zero.
template <>
struct ZELSCRIPTING_EXPORT PropertyType<int> {
  static constexpr char kTypeName[] = "number";
  static ScriptValue ToScript(int value);
  static int FromScript(ScriptValue const& value);
};

template <>
struct ZELSCRIPTING_EXPORT PropertyType<double> {
  static constexpr char kTypeName[] = "number";
  static ScriptValue ToScript(double value);
  static double FromScript(ScriptValue const& value);
};

template <>
struct ZELSCRIPTING_EXPORT PropertyType<std::string> {
  static constexpr char kTypeName[] = "string";
  static ScriptValue ToScript(std::string value);
  static std::string FromScript(ScriptValue const& value);
};

template <>
struct ZELSCRIPTING_EXPORT PropertyType<IntrusivePtr<ScriptObject>> {
  static constexpr char kTypeName[] = "object";
  static ScriptValue ToScript(IntrusivePtr<ScriptObject> value);
  static IntrusivePtr<ScriptObject> FromScript(ScriptValue const& value);
};

template <>
struct ZELSCRIPTING_EXPORT PropertyType<std::shared_ptr<NativeObject>> {
  static constexpr char kTypeName[] = "native";
  static ScriptValue ToScript(std::shared_ptr<NativeObject> value);
  static std::shared_ptr<NativeObject> FromScript(ScriptValue const& value);
};

// Any value, unconverted.
template <>
struct ZELSCRIPTING_EXPORT PropertyType<ScriptValue> {
  static constexpr char kTypeName[] = "any";
  static ScriptValue ToScript(ScriptValue value);
  static ScriptValue FromScript(ScriptValue const& value);
};

// A named parameter of a script method, read through PropertyType<P>.
template <class P>
struct ParameterType {
  using Type = P;
  explicit ParameterType(std::string parameterName) : name(std::move(parameterName)) {}
  std::string name;
};

}  // namespace zelscripting
