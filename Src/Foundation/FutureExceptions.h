#pragma once

#include <string>

#include "Foundation/Export.h"
#include "zelcore/ZelException.h"

namespace zelcore::async {

inline constexpr config::Result kResultBrokenPromise = 0xF3610001;
inline constexpr config::Result kResultFutureNotReady = 0xF3610002;
inline constexpr config::Result kResultExecutorIsTerminated = 0xF3610003;
inline constexpr config::Result kResultFutureIsCancelled = 0xF3610004;

// The base of every error that the futures layer raises itself. Exported so that other libraries can catch it.
class QUILLAN_EXPORT Exception : public config::zel_exception {
 public:
  Exception(std::string const& message, config::Result result);
  ~Exception() override;
};

// The last promise of a state went away before the state ended.
class QUILLAN_EXPORT BrokenPromiseException : public Exception {
 public:
  BrokenPromiseException();
  ~BrokenPromiseException() override;
};

// The outcome of a future was read before the future ended.
class QUILLAN_EXPORT FutureNotReadyException : public Exception {
 public:
  FutureNotReadyException();
  ~FutureNotReadyException() override;
};

// The executor refused a task because it is shut down.
class QUILLAN_EXPORT ExecutorIsTerminatedException : public Exception {
 public:
  ExecutorIsTerminatedException();
  ~ExecutorIsTerminatedException() override;
};

// The future was cancelled, or the handle it was read through has no state (any more).
class QUILLAN_EXPORT FutureIsCancelledException : public Exception {
 public:
  FutureIsCancelledException();
  ~FutureIsCancelledException() override;
};

}  // namespace zelcore::async
