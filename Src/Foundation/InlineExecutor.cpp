#include "Foundation/InlineExecutor.h"

#include <utility>

namespace zelcore::async {

InlineExecutor::~InlineExecutor() = default;

bool InlineExecutor::Execute(Task task) {
  if (task) task();
  return true;
}

void InlineExecutor::Pause() {}
void InlineExecutor::Resume() {}
void InlineExecutor::Shutdown() {}
bool InlineExecutor::IsShutdown() const { return false; }
bool InlineExecutor::IsRunningOnCurrentThread() const { return false; }
void InlineExecutor::Drain() {}

std::shared_ptr<AsyncExecutor> const& GetInlineExecutor() {
  // Never destroyed: continuations may still be handed to it while static objects are torn down.
  static auto* executor = new std::shared_ptr<AsyncExecutor>(std::make_shared<InlineExecutor>());
  return *executor;
}

}  // namespace zelcore::async
