#include "zelcore/Detail/SubExecutor.h"

#include <algorithm>
#include <cassert>
#include <iterator>
#include <utility>

namespace zelcore::async::detail {

// The parent task that runs a batch of the executor's tasks. Destroyed without running, it tells the
// executor, which would otherwise count it as a runner forever.
class SubExecutor::Runner {
 public:
  explicit Runner(std::shared_ptr<SubExecutor> executor) : executor_(std::move(executor)) {}
  Runner(Runner&&) noexcept = default;
  Runner& operator=(Runner&&) = delete;
  ~Runner() {
    if (executor_) executor_->OnRunnerDropped();
  }

  void operator()() {
    std::shared_ptr<SubExecutor> executor = std::move(executor_);
    SubExecutor& target = *executor;
    target.RunBatch(std::move(executor));
  }

 private:
  std::shared_ptr<SubExecutor> executor_;  // null once run or moved from
};

std::shared_ptr<SubExecutor> SubExecutor::Create(std::shared_ptr<AsyncExecutor> parent, std::size_t width,
                                                 bool resumesOnDrain) {
  auto* parentNode = dynamic_cast<ExecutorNode*>(parent.get());
  std::shared_ptr<SubExecutor> executor(new SubExecutor(std::move(parent), parentNode, width, resumesOnDrain));
  if (parentNode != nullptr) parentNode->AddChild(executor);
  return executor;
}

SubExecutor::SubExecutor(std::shared_ptr<AsyncExecutor> parent, ExecutorNode* parentNode, std::size_t width,
                         bool resumesOnDrain)
    : ExecutorNode(parentNode), parent_(std::move(parent)), width_(width), resumesOnDrain_(resumesOnDrain) {}

// Every runner holds a reference, so none is left: what remains was held by a pause. Nobody can wait on it.
SubExecutor::~SubExecutor() = default;

bool SubExecutor::Execute(Task task) {
  if (!task || IsShutdown()) return false;
  {
    std::lock_guard lock(mutex_);
    if (shutdown_.load(std::memory_order_relaxed)) return false;  // `task` is destroyed after the unlock
    queue_.push_back(std::move(task));
    if (paused_.load(std::memory_order_relaxed) || runners_ >= width_) return true;
    ++runners_;
  }
  PostRunners(1);
  return true;
}

void SubExecutor::Pause() {
  std::lock_guard lock(mutex_);
  paused_.store(true, std::memory_order_relaxed);
  NotifyIfDrainedLocked();
}

void SubExecutor::Resume() {
  std::size_t post = 0;
  {
    std::lock_guard lock(mutex_);
    paused_.store(false, std::memory_order_relaxed);
    if (shutdown_.load(std::memory_order_relaxed)) return;
    post = std::min(width_ - runners_, queue_.size());
    runners_ += post;
  }
  PostRunners(post);
}

void SubExecutor::Shutdown() {
  std::vector<Task> unrun;
  {
    std::lock_guard lock(mutex_);
    shutdown_.store(true, std::memory_order_release);
    TakeQueueLocked(unrun);
  }
  DestroyUnrun(unrun);
}

bool SubExecutor::IsShutdown() const { return shutdown_.load(std::memory_order_acquire) || parent_->IsShutdown(); }

bool SubExecutor::IsRunningOnCurrentThread() const { return IsCurrent(); }

void SubExecutor::Drain() {
  assert(!IsRunningOnCurrentThread() && "Drain from a task of the same executor would wait for itself");
  if (resumesOnDrain_) ResumeTree();
  std::unique_lock lock(mutex_);
  ++drainWaiters_;
  drained_.wait(lock, [this] { return IsDrainedLocked(); });
  --drainWaiters_;
}

void SubExecutor::PostRunners(std::size_t count) {
  if (count == 0) return;
  auto self = std::static_pointer_cast<SubExecutor>(shared_from_this());
  // A refused runner is destroyed unrun inside Execute, which calls OnRunnerDropped.
  for (std::size_t i = 0; i < count; ++i) parent_->Execute(Runner(self));
}

void SubExecutor::RunBatch(std::shared_ptr<SubExecutor> self) {
  enum class Next { kRun, kRepost, kExit };
  std::size_t const grab = width_ == 1 ? kMaxBatch : 1;  // wider executors share their queue between runners
  // As long as one round takes: a runner of a wide executor, which takes one task a round, builds and clears no more.
  std::vector<Task> batch;
  batch.reserve(grab);
  std::size_t budget = kMaxBatch;
  std::size_t taken = 0;
  std::size_t started = 0;
  for (;;) {
    std::vector<Task> unrun;
    Next next = Next::kRun;
    {
      std::lock_guard lock(mutex_);
      // Settle the previous round: tasks taken but not started go back to the front of the queue.
      if (started < taken) {
        if (shutdown_.load(std::memory_order_relaxed)) {
          unrun.assign(std::make_move_iterator(batch.begin() + static_cast<std::ptrdiff_t>(started)),
                       std::make_move_iterator(batch.end()));
          destroying_ += unrun.size();
        } else {
          queue_.insert(queue_.begin(), std::make_move_iterator(batch.begin() + static_cast<std::ptrdiff_t>(started)),
                        std::make_move_iterator(batch.end()));
        }
      }
      batch.clear();
      taken = started = 0;
      if (queue_.empty() || paused_.load(std::memory_order_relaxed) || shutdown_.load(std::memory_order_relaxed)) {
        --runners_;
        NotifyIfDrainedLocked();
        next = Next::kExit;
      } else if (budget == 0 || IsHeldByAncestor()) {
        next = Next::kRepost;
      } else {
        taken = std::min({grab, budget, queue_.size()});
        std::move(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(taken), std::back_inserter(batch));
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(taken));
        budget -= taken;
      }
    }
    if (!unrun.empty()) DestroyUnrun(unrun);
    if (next == Next::kExit) return;
    if (next == Next::kRepost) {
      // Make room for the parent's other work, or wait in the parent's queue while an ancestor is paused.
      // Once the runner is handed over this executor may be destroyed at any time (even inside the call, when
      // the parent refuses it), so the parent is kept alive here and no member is touched afterwards.
      std::shared_ptr<AsyncExecutor> parent = parent_;
      parent->Execute(Runner(std::move(self)));
      return;
    }
    for (; started < taken; ++started) {
      if (started > 0 && (paused_.load(std::memory_order_relaxed) || shutdown_.load(std::memory_order_relaxed) ||
                          IsHeldByAncestor())) {
        break;
      }
      RunTask(batch[started]);
    }
  }
}

void SubExecutor::OnRunnerDropped() {
  std::vector<Task> unrun;
  {
    std::lock_guard lock(mutex_);
    --runners_;
    shutdown_.store(true, std::memory_order_release);
    TakeQueueLocked(unrun);
    NotifyIfDrainedLocked();
  }
  DestroyUnrun(unrun);
}

void SubExecutor::TakeQueueLocked(std::vector<Task>& unrun) {
  unrun.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
  queue_.clear();
  destroying_ += unrun.size();
}

void SubExecutor::DestroyUnrun(std::vector<Task>& unrun) {
  std::size_t const count = unrun.size();
  if (count == 0) return;
  unrun.clear();
  std::lock_guard lock(mutex_);
  destroying_ -= count;
  NotifyIfDrainedLocked();
}

bool SubExecutor::IsDrainedLocked() const {
  return runners_ == 0 && destroying_ == 0 && (queue_.empty() || paused_.load(std::memory_order_relaxed));
}

void SubExecutor::NotifyIfDrainedLocked() {
  if (drainWaiters_ > 0 && IsDrainedLocked()) drained_.notify_all();
}

void SubExecutor::ResumeTree() {
  Resume();
  for (auto const& child : LiveChildren()) child->ResumeTree();
}

}  // namespace zelcore::async::detail
