#pragma once

#include <cassert>

#include "zelcore/Executor.h"

namespace Quillan::detail {

// Checks, in debug builds, that state confined to one serial executor is only touched from that executor's tasks.
// In release builds it holds nothing and checks nothing.
class SequenceChecker {
 public:
  // `executor` must outlive the checker.
  explicit SequenceChecker([[maybe_unused]] zelcore::async::AsyncExecutor const* executor)
#ifndef NDEBUG
      : executor_(executor)
#endif
  {
  }

  bool CalledOnValidSequence() const {
#ifdef NDEBUG
    return true;
#else
    return executor_->IsRunningOnCurrentThread();
#endif
  }

 private:
#ifndef NDEBUG
  zelcore::async::AsyncExecutor const* executor_;
#endif
};

}  // namespace Quillan::detail

// Asserts that the calling code runs on `checker`'s executor; compiled out in release builds.
#define QUILLAN_DCHECK_CALLED_ON_VALID_SEQUENCE(checker) assert((checker).CalledOnValidSequence())
