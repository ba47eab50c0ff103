#include "zelcore/Application.h"

#include "zelcore/Executor.h"
#include "zelcore/Singletons.h"

namespace zelcore::config {

void ShutdownApplication() {
  // Work on the pre-termination executor (pending cache writes) may still need the singletons, so it goes first.
  async::CreatePreTerminationExecutor()->Drain();
  RunSingletonTerminations();
}

}  // namespace zelcore::config
