#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <stdexcept>
#include <string>

#include "zelcore/Export.h"

namespace zelcore::config {

using Result = std::uint32_t;

// Result codes of the core library itself.
inline constexpr Result kResultOk = 0;
inline constexpr Result kResultUnexpected = 0xA0000001;  // an exception that carries no result code
inline constexpr Result kResultNullPointer = 0xA0000002;
inline constexpr Result kResultFileRead = 0xA0000003;
inline constexpr Result kResultInvalidArgument = 0xA0000004;  // text or a value that the function does not take
inline constexpr Result kResultFileWrite = 0xA0000005;

// Keys of the data attached to the exception of a failed assertion.
inline constexpr char kDebugSourceFile[] = "DebugSourceFile";
inline constexpr char kDebugSourceLine[] = "DebugSourceLine";
inline constexpr char kDebugSourceFunction[] = "DebugSourceFunction";
inline constexpr char kDebugExpression[] = "DebugExpression";

// The library's error: a message and a 32-bit result code, plus optional keyed data.
class ZELCORE_EXPORT zel_exception : public std::runtime_error {
 public:
  zel_exception(std::string const& message, Result result);

  Result GetResult() const noexcept { return result_; }

  zel_exception& AddAdditionalData(std::string const& key, std::string const& value);
  // The value filed under `key`, or nullptr.
  std::string const* GetAdditionalData(std::string const& key) const;
  std::map<std::string, std::string> const& AdditionalData() const { return additionalData_; }

 private:
  Result result_;
  std::map<std::string, std::string> additionalData_;
};

// The result code of any exception: a zel_exception's own, kResultUnexpected for others, kResultOk for null.
ZELCORE_EXPORT Result ExtractResultFromException(std::exception_ptr const& exception);
// The message of any exception (what()); "unknown exception" when it is not a std::exception.
ZELCORE_EXPORT std::string ExtractMessageFromException(std::exception_ptr const& exception);
// Throws a zel_exception kResultNullPointer naming the missing type.
[[noreturn]] ZELCORE_EXPORT void DoThrowNullPtrException(char const* typeName);

}  // namespace zelcore::config
