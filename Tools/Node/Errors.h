#pragma once

#include <napi.h>

#include <exception>
#include <string>

#include "zelcore/ZelException.h"

namespace Quillan::Node {

// The script error for a native failure:
//   ParameterErrorException         TypeError with its message;
//   ScriptException                 Error with its message and `type` (the ScriptExceptionType number);
//   zel_exception                   Error with its message, `code` (the result code as the tool prints it,
//                                   '0xa0000003') and `result` (the same as a number);
//   any other std::exception        Error with its message;
//   Napi::Error                     itself.
// A failure without a message gets one naming its code, so no script sees an empty error.
Napi::Error ToJsError(Napi::Env env, std::exception_ptr const& failure);

// An Error with `message` (or a text naming the code when empty), `code` and `result`.
Napi::Error ResultCodeError(Napi::Env env, std::string const& message, zelcore::config::Result code);

// "0xa0000003": a result code as the command-line tool prints it.
std::string ResultCodeText(zelcore::config::Result code);

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
