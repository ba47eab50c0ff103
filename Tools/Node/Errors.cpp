#include "Errors.h"

#include <cstdint>
#include <cstdio>

#include "DataStoreAdaptors/ResultCodes.h"
#include "Foundation/FutureExceptions.h"
#include "zelscripting/ScriptException.h"

namespace Quillan::Node {

using zelcore::config::Result;

std::string ResultCodeText(Result code) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08x", static_cast<unsigned>(code));
  return buffer;
}

std::string DescribeResultCode(Result code) {
  switch (code) {
    case zelcore::config::kResultUnexpected:
      return "An unexpected failure";
    case zelcore::config::kResultNullPointer:
      return "A required object is missing";
    case zelcore::config::kResultFileRead:
      return "The file could not be read";
    case zelcore::config::kResultInvalidArgument:
      return "An argument has a value that is not taken";
    case kResultNotCached:
      return "Nothing is cached";
    case kResultSidecarFileNotFound:
      return "There is no sidecar file";
    case kResultSidecarEntryNotFound:
      return "The sidecar file has no such entry";
    case kResultSidecarWriteFailed:
      return "The sidecar file could not be written";
    case kResultJobCancelled:
      return "The job was cancelled";
    case kResultAnalyzerNotRegistered:
      return "No analyzer is registered under this GUID";
    case kResultNotImplemented:
      return "The analyzer does not provide this operation";
    case kResultTargetMissing:
      return "The analyzer's clip or media is missing";
    case kResultIllegalArgument:
      return "An illegal argument";
    case kResultUnavailable:
      return "Not available: the host refused the file or built no analyzer, or no cache could serve the request";
    case kResultMediaCacheMiss:
      return "The media cache has no such item";
    case zelcore::async::kResultBrokenPromise:
      return "The work was dropped before it ended";
    case zelcore::async::kResultExecutorIsTerminated:
      return "The executor has shut down";
    case zelcore::async::kResultFutureIsCancelled:
      return "The work was cancelled";
    default:
      return "Failed with result " + ResultCodeText(code);
  }
}

void SetResultCode(Napi::Object object, Result code) {
  object.Set("code", ResultCodeText(code));
  object.Set("result", Napi::Number::New(object.Env(), static_cast<double>(code)));
}

Napi::Error ResultCodeError(Napi::Env env, std::string const& message, Result code) {
  Napi::Error error = Napi::Error::New(env, message.empty() ? DescribeResultCode(code) : message);
  SetResultCode(error.Value(), code);
  return error;
}

Napi::TypeError ArgumentError(Napi::Env env, std::string const& message) {
  Napi::TypeError error = Napi::TypeError::New(env, message);
  SetResultCode(error.Value(), zelcore::config::kResultInvalidArgument);
  return error;
}

Napi::Error ToJsError(Napi::Env env, std::exception_ptr const& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (Napi::Error const& error) {
    return error;
  } catch (zelscripting::ParameterErrorException const& error) {
    return ArgumentError(env, error.what());
  } catch (zelscripting::ScriptException const& error) {
    bool const argument = error.GetType() == zelscripting::ScriptExceptionType::kInvalidArgument;
    Napi::Error result = ResultCodeError(
        env, error.what(), argument ? zelcore::config::kResultInvalidArgument : zelcore::config::kResultUnexpected);
    result.Set("type", Napi::Number::New(env, static_cast<int>(error.GetType())));
    return result;
  } catch (zelcore::config::zel_exception const& error) {
    return ResultCodeError(env, error.what(), error.GetResult());
  } catch (std::exception const& error) {
    return ResultCodeError(env, error.what(), zelcore::config::kResultUnexpected);
  } catch (...) {
    return ResultCodeError(env, "A native operation failed with an unknown exception",
                           zelcore::config::kResultUnexpected);
  }
}

}  // namespace Quillan::Node
