#include "zelcore/Executor.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <utility>

#include "zelcore/Detail/SubExecutor.h"
#include "zelcore/Detail/ThreadPool.h"
#include "zelcore/Detail/Timer.h"

namespace zelcore::async {

AsyncExecutor::~AsyncExecutor() = default;

std::shared_ptr<AsyncExecutor> GetDefaultExecutor() {
  // Never destroyed: tasks may still be queued or running when the process exits, and joining threads from a
  // static destructor could wait forever. The idle workers just wait on their condition variable at exit.
  static auto* pool =
      new std::shared_ptr<AsyncExecutor>(std::make_shared<detail::ThreadPool>(std::max<std::size_t>(2, CPUCount())));
  return *pool;
}

std::shared_ptr<AsyncThreadedSubExecutor> CreateGreedySubExecutor() {
  return detail::SubExecutor::Create(GetDefaultExecutor(), detail::SubExecutor::kGreedy);
}

std::shared_ptr<AsyncThreadedSubExecutor> CreateSubExecutor(std::shared_ptr<AsyncExecutor> const& parent,
                                                            std::size_t width) {
  if (!parent) throw std::invalid_argument("CreateSubExecutor: the parent executor is null");
  if (width == 0) throw std::invalid_argument("CreateSubExecutor: the width must be at least 1");
  return detail::SubExecutor::Create(parent, width);
}

std::shared_ptr<AsyncExecutor> CreatePreTerminationExecutor() {
  // Its tasks are the stores' file work, which waits on the disk (an fsync takes milliseconds): on threads of their
  // own, so that a save never holds one of the default pool's threads while analyses wait for it. Never destroyed,
  // like the default pool.
  static auto* executor = new std::shared_ptr<AsyncExecutor>(detail::SubExecutor::Create(
      std::make_shared<detail::ThreadPool>(std::max<std::size_t>(2, CPUCount())), detail::SubExecutor::kGreedy,
      /*resumesOnDrain=*/true));
  return *executor;
}

bool CallAsync(std::shared_ptr<AsyncExecutor> const& executor, Task task, std::int64_t delayMilliseconds) {
  if (!executor) return false;
  if (delayMilliseconds <= 0) return executor->Execute(std::move(task));
  if (!task || executor->IsShutdown()) return false;
  detail::Timer::Instance().Schedule(executor, std::move(task),
                                     detail::Timer::Clock::now() + std::chrono::milliseconds(delayMilliseconds));
  return true;
}

std::size_t CPUCount() { return std::max(1u, std::thread::hardware_concurrency()); }

}  // namespace zelcore::async
