#pragma once

#include <exception>
#include <string>

#include "zelscripting/Export.h"

namespace zelscripting {

// Kinds of script errors. The binding hands the number to scripts as the error's `type`.
enum class ScriptExceptionType : int {
  kError = 0,             // any other failure
  kUnknownMethod = 1,     // the class has no method of that name
  kInvalidObject = 2,     // a method was called without an object, or on an object of another class
  kUnknownClass = 3,      // no class definition of that name
  kNotConstructible = 4,  // the class cannot be made by scripts
  kInvalidArgument = 14,  // an argument is missing or holds no usable value
};

// A failure reported to the calling script as an error with a type and a message. Thrown by script methods.
class ZELSCRIPTING_EXPORT ScriptException : public std::exception {
 public:
  // The message is a fixed text of the type, never empty.
  explicit ScriptException(ScriptExceptionType type);
  // Type kError.
  explicit ScriptException(std::string message);
  ScriptException(ScriptExceptionType type, std::string message);
  ~ScriptException() override;

  ScriptExceptionType GetType() const;
  char const* what() const noexcept override;

  // The fixed text of `type`.
  static char const* DescribeType(ScriptExceptionType type);

 private:
  ScriptExceptionType type_;
  std::string message_;
};

// An argument of the wrong type; the binding reports it to scripts as a type error.
class ZELSCRIPTING_EXPORT ParameterErrorException : public std::exception {
 public:
  ParameterErrorException();
  explicit ParameterErrorException(std::string message);
  ~ParameterErrorException() override;

  char const* what() const noexcept override;

 private:
  std::string message_;
};

}  // namespace zelscripting
