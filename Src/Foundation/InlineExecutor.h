#pragma once

#include <memory>

#include "Foundation/Export.h"
#include "zelcore/Executor.h"

namespace zelcore::async {

// Runs every task at once on the calling thread, before Execute returns. Continuations filed with it run on the
// thread that ends their future, without an executor hop; a long chain of them nests only to a fixed depth, and
// deeper links run in order on the same thread as soon as the outermost one returns.
//
// There is one per process, shared by everyone, so Pause, Resume and Shutdown do nothing and it never refuses a
// task. It owns no thread, so IsRunningOnCurrentThread is always false. Thread-safe.
class QUILLAN_EXPORT InlineExecutor final : public AsyncExecutor {
 public:
  ~InlineExecutor() override;

  // AsyncExecutor:
  bool Execute(Task task) override;
  void Pause() override;
  void Resume() override;
  void Shutdown() override;
  bool IsShutdown() const override;
  bool IsRunningOnCurrentThread() const override;
  void Drain() override;
};

// The process's inline executor.
QUILLAN_EXPORT std::shared_ptr<AsyncExecutor> const& GetInlineExecutor();

}  // namespace zelcore::async
