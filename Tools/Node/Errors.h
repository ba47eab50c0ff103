#pragma once

#include <napi.h>

#include <exception>
#include <string>

#include "zelcore/ZelException.h"

namespace Quillan::Node {

// Every error the binding throws or rejects with carries `message` (never empty), `code` (ResultCodeText) and
// `result` (the same code as an unsigned number), so that scripts handle all of them one way.

// The script error for a native failure:
//   ParameterErrorException         TypeError, code kResultInvalidArgument;
//   ScriptException                 Error with `type` (the ScriptExceptionType number), code kResultInvalidArgument
//                                   for a missing or unusable argument, else kResultUnexpected;
//   zel_exception                   Error with its own code;
//   any other std::exception        Error, code kResultUnexpected;
//   Napi::Error                     itself (a script's own exception passes through unchanged).
// A failure without a message gets the description of its code.
Napi::Error ToJsError(Napi::Env env, std::exception_ptr const& failure);

// An Error with `message` (DescribeResultCode when empty), `code` and `result`.
Napi::Error ResultCodeError(Napi::Env env, std::string const& message, zelcore::config::Result code);

// A TypeError with `message` and code kResultInvalidArgument: an argument the binding does not take.
Napi::TypeError ArgumentError(Napi::Env env, std::string const& message);

// "0xa0000003": a result code as the command-line tool prints it, eight lowercase hexadecimal digits.
std::string ResultCodeText(zelcore::config::Result code);

// What `code` means, for a failure that carries no message: "The file could not be read", or "Failed with result
// 0xa0fe0001" for a code the system does not define.
std::string DescribeResultCode(zelcore::config::Result code);

// Sets `code` (ResultCodeText) and `result` (the number) on `object`.
void SetResultCode(Napi::Object object, zelcore::config::Result code);

// Runs `f` and rethrows any native failure as its script error, which node-addon-api then throws into JavaScript.
// Use it around everything a callback does that may throw something other than Napi::Error.
template <class F>
decltype(auto) Guarded(Napi::Env env, F&& f) {
  try {
    return f();
  } catch (Napi::Error const&) {
    throw;
  } catch (...) {
    throw ToJsError(env, std::current_exception());
  }
}

}  // namespace Quillan::Node
