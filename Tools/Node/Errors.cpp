#include "Errors.h"

#include <cstdint>
#include <cstdio>

#include "zelscripting/ScriptException.h"

namespace Quillan::Node {

std::string ResultCodeText(zelcore::config::Result code) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08x", static_cast<unsigned>(code));
  return buffer;
}

void SetResultCode(Napi::Object object, zelcore::config::Result code) {
  object.Set("code", ResultCodeText(code));
  object.Set("result", Napi::Number::New(object.Env(), static_cast<double>(code)));
}

Napi::Error ResultCodeError(Napi::Env env, std::string const& message, zelcore::config::Result code) {
  Napi::Error error = Napi::Error::New(env, message.empty() ? "Failed with result " + ResultCodeText(code) : message);
  SetResultCode(error.Value(), code);
  return error;
}

Napi::Error ToJsError(Napi::Env env, std::exception_ptr const& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (Napi::Error const& error) {
    return error;
  } catch (zelscripting::ParameterErrorException const& error) {
    return Napi::TypeError::New(env, error.what());
  } catch (zelscripting::ScriptException const& error) {
    Napi::Error result = Napi::Error::New(env, error.what());
    result.Set("type", Napi::Number::New(env, static_cast<int>(error.GetType())));
    return result;
  } catch (zelcore::config::zel_exception const& error) {
    return ResultCodeError(env, error.what(), error.GetResult());
  } catch (std::exception const& error) {
    return Napi::Error::New(env, *error.what() ? error.what() : "A native operation failed");
  } catch (...) {
    return Napi::Error::New(env, "A native operation failed with an unknown exception");
  }
}

}  // namespace Quillan::Node
