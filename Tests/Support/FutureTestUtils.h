#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <exception>
#include <string>

#include "Foundation/Future.h"
#include "zelcore/ZelException.h"

namespace testsupport {

// Waits (generously) for `future` to end; a test fails rather than hangs when it never does.
inline bool AwaitEnd(zelcore::async::UntypedFuture const& future) {
  bool const ended =
      zelcore::async::WaitForUntypedUntil(future, std::chrono::steady_clock::now() + std::chrono::seconds(30), true);
  EXPECT_TRUE(ended) << "future did not end";
  return ended;
}

// The value of `future` once it has ended.
template <class T>
decltype(auto) Await(zelcore::async::Future<T> const& future) {
  AwaitEnd(future);
  return future.Get();
}

// How `future` failed, once it has ended; null when it succeeded.
inline std::exception_ptr AwaitFailure(zelcore::async::UntypedFuture const& future) {
  AwaitEnd(future);
  return future.GetException();
}

inline zelcore::config::Result ResultOf(std::exception_ptr const& exception) {
  return zelcore::config::ExtractResultFromException(exception);
}

inline std::string MessageOf(std::exception_ptr const& exception) {
  return zelcore::config::ExtractMessageFromException(exception);
}

}  // namespace testsupport
