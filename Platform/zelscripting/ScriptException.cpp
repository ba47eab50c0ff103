#include "zelscripting/ScriptException.h"

#include <utility>

namespace zelscripting {

ScriptException::ScriptException(ScriptExceptionType type) : type_(type), message_(DescribeType(type)) {}

ScriptException::ScriptException(std::string message)
    : ScriptException(ScriptExceptionType::kError, std::move(message)) {}

ScriptException::ScriptException(ScriptExceptionType type, std::string message)
    : type_(type), message_(std::move(message)) {
  if (message_.empty()) message_ = DescribeType(type);
}

ScriptException::~ScriptException() = default;

ScriptExceptionType ScriptException::GetType() const { return type_; }

char const* ScriptException::what() const noexcept { return message_.c_str(); }

char const* ScriptException::DescribeType(ScriptExceptionType type) {
  switch (type) {
    case ScriptExceptionType::kError:
      break;
    case ScriptExceptionType::kUnknownMethod:
      return "The script object has no such method.";
    case ScriptExceptionType::kInvalidObject:
      return "The method was called without an object of its class.";
    case ScriptExceptionType::kUnknownClass:
      return "No script class of that name is defined.";
    case ScriptExceptionType::kNotConstructible:
      return "Objects of this script class cannot be created by scripts.";
    case ScriptExceptionType::kInvalidArgument:
      return "An argument is missing or invalid.";
  }
  return "The script call failed.";
}

ParameterErrorException::ParameterErrorException() : ParameterErrorException("An argument has the wrong type.") {}

ParameterErrorException::ParameterErrorException(std::string message) : message_(std::move(message)) {}

ParameterErrorException::~ParameterErrorException() = default;

char const* ParameterErrorException::what() const noexcept { return message_.c_str(); }

}  // namespace zelscripting
