#include "zelcore/ZelException.h"

namespace zelcore::config {

zel_exception::zel_exception(std::string const& message, Result result)
    : std::runtime_error(message), result_(result) {}

zel_exception& zel_exception::AddAdditionalData(std::string const& key, std::string const& value) {
  additionalData_[key] = value;
  return *this;
}

std::string const* zel_exception::GetAdditionalData(std::string const& key) const {
  auto const found = additionalData_.find(key);
  return found == additionalData_.end() ? nullptr : &found->second;
}

Result ExtractResultFromException(std::exception_ptr const& exception) {
  if (!exception) return kResultOk;
  try {
    std::rethrow_exception(exception);
  } catch (zel_exception const& e) {
    return e.GetResult();
  } catch (...) {
    return kResultUnexpected;
  }
}

std::string ExtractMessageFromException(std::exception_ptr const& exception) {
  if (!exception) return {};
  try {
    std::rethrow_exception(exception);
  } catch (std::exception const& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

void DoThrowNullPtrException(char const* typeName) {
  throw zel_exception(std::string("Null reference to ") + typeName, kResultNullPointer);
}

}  // namespace zelcore::config
