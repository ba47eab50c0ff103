#include "Foundation/FutureExceptions.h"

namespace zelcore::async {

Exception::Exception(std::string const& message, config::Result result) : zel_exception(message, result) {}
Exception::~Exception() = default;

BrokenPromiseException::BrokenPromiseException() : Exception("Future: Broken Promise", kResultBrokenPromise) {}
BrokenPromiseException::~BrokenPromiseException() = default;

FutureNotReadyException::FutureNotReadyException() : Exception("Future: Not Ready", kResultFutureNotReady) {}
FutureNotReadyException::~FutureNotReadyException() = default;

ExecutorIsTerminatedException::ExecutorIsTerminatedException()
    : Exception("Executor Is Terminated", kResultExecutorIsTerminated) {}
ExecutorIsTerminatedException::~ExecutorIsTerminatedException() = default;

FutureIsCancelledException::FutureIsCancelledException() : Exception("Future Is Cancelled", kResultFutureIsCancelled) {}
FutureIsCancelledException::~FutureIsCancelledException() = default;

}  // namespace zelcore::async
