#include "zelcore/Detail/ExecutorNode.h"

#include <exception>

#include "zelcore/Logging.h"

namespace zelcore::async::detail {

namespace {

thread_local ExecutorNode const* tCurrentNode = nullptr;

// Marks the calling thread as running a task of `node` while it lives; nests, as a sub-executor's task runs
// inside its parent's.
class ScopedCurrent {
 public:
  explicit ScopedCurrent(ExecutorNode const* node) : previous_(tCurrentNode) { tCurrentNode = node; }
  ~ScopedCurrent() { tCurrentNode = previous_; }
  ScopedCurrent(ScopedCurrent const&) = delete;
  ScopedCurrent& operator=(ScopedCurrent const&) = delete;

 private:
  ExecutorNode const* previous_;
};

}  // namespace

void ExecutorNode::RunTask(Task& task) const {
  ScopedCurrent current(this);
  try {
    task();
  } catch (...) {
    try {
      logging::LogException(std::current_exception(), "zelcore::async executor task");
    } catch (...) {
      // A failing log must not take the executor down.
    }
  }
  // Destroyed here, still as this node's task: its destructor may break promises whose continuations run inline.
  task = nullptr;
}

bool ExecutorNode::IsHeldByAncestor() const {
  for (ExecutorNode const* node = parentNode_; node != nullptr; node = node->parentNode_) {
    if (node->paused_.load(std::memory_order_relaxed)) return true;
  }
  return false;
}

bool ExecutorNode::IsCurrent() const {
  for (ExecutorNode const* node = tCurrentNode; node != nullptr; node = node->parentNode_) {
    if (node == this) return true;
  }
  return false;
}

void ExecutorNode::AddChild(std::weak_ptr<SubExecutor> child) {
  std::lock_guard lock(childrenMutex_);
  // Every store and every job makes a sub-executor: the ones gone are swept once the list has doubled since the last
  // sweep, so that an add costs the same however many are alive.
  if (children_.size() >= 2 * childrenAfterSweep_ + 16) {
    std::erase_if(children_, [](std::weak_ptr<SubExecutor> const& c) { return c.expired(); });
    childrenAfterSweep_ = children_.size();
  }
  children_.push_back(std::move(child));
}

std::vector<std::shared_ptr<SubExecutor>> ExecutorNode::LiveChildren() {
  std::vector<std::shared_ptr<SubExecutor>> live;
  std::lock_guard lock(childrenMutex_);
  for (auto const& child : children_) {
    if (auto strong = child.lock()) live.push_back(std::move(strong));
  }
  return live;
}

}  // namespace zelcore::async::detail
