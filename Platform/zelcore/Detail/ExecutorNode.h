#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "zelcore/Executor.h"

namespace zelcore::async::detail {

class SubExecutor;

// What every executor of this library shares with the sub-executors below it:
// - its pause flag, written under the executor's own lock and read lock-free by the runners of sub-executors,
//   which must not start a task while an ancestor is paused;
// - weak references to its sub-executors, so that a drain can resume a whole tree;
// - which executor's task the calling thread runs, for IsRunningOnCurrentThread.
// Thread-safe.
class ExecutorNode {
 public:
  // `parent` is null for the root pool and for a sub-executor whose parent comes from elsewhere.
  explicit ExecutorNode(ExecutorNode* parent) : parentNode_(parent) {}
  ExecutorNode(ExecutorNode const&) = delete;
  ExecutorNode& operator=(ExecutorNode const&) = delete;

  // Runs `task` as a task of this node and destroys it. An exception escaping it is logged.
  void RunTask(Task& task) const;

  // Whether an executor above this one is paused, so that this one's tasks must not start.
  bool IsHeldByAncestor() const;
  // Whether the calling thread runs a task of this node or of a node below it.
  bool IsCurrent() const;

  void AddChild(std::weak_ptr<SubExecutor> child);
  std::vector<std::shared_ptr<SubExecutor>> LiveChildren();

 protected:
  ~ExecutorNode() = default;

  std::atomic<bool> paused_{false};
  std::atomic<bool> shutdown_{false};

 private:
  ExecutorNode* const parentNode_;
  std::mutex childrenMutex_;
  std::vector<std::weak_ptr<SubExecutor>> children_;  // guarded by childrenMutex_
  std::size_t childrenAfterSweep_ = 0;                // guarded by childrenMutex_
};

}  // namespace zelcore::async::detail
