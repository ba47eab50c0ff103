#pragma once

#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include "Foundation/Export.h"
#include "Foundation/Future.h"

namespace zelcore::async {

// Collects futures and gives one Future<void> that ends when all of them have ended.
//
// The combined future succeeds when every collected future has a value. Otherwise it fails with the failure of
// the earliest added future that failed or was cancelled (FutureIsCancelledException for a cancelled one or one
// without state), once all have ended. The collector keeps its futures alive until then.
//
// Add futures, then Close once. Thread-safe.
class QUILLAN_EXPORT CompoundFuture : public std::enable_shared_from_this<CompoundFuture> {
 public:
  // The combined future carries `executor` (the default executor when empty).
  static std::shared_ptr<CompoundFuture> Create(std::shared_ptr<AsyncExecutor> const& executor);

  ~CompoundFuture();
  CompoundFuture(CompoundFuture const&) = delete;
  CompoundFuture& operator=(CompoundFuture const&) = delete;

  // Adds a future. Throws std::logic_error after Close.
  void Add(UntypedFuture const& future);
  // Ends the adding and returns the combined future; with nothing added it has already ended. Later calls return
  // the same future.
  Future<void> Close();

 private:
  explicit CompoundFuture(std::shared_ptr<AsyncExecutor> const& executor);

  void MemberEnded(std::size_t index, std::exception_ptr failure);
  void EndIfDone(std::unique_lock<std::mutex> lock);

  std::mutex mutex_;
  Promise<void> promise_;               // guarded by mutex_ until ended
  Future<void> future_;                 // immutable
  std::vector<UntypedFuture> members_;  // guarded by mutex_; released when the combined future ends
  std::size_t pending_ = 0;             // guarded by mutex_: members that have not ended
  bool closed_ = false;                 // guarded by mutex_
  std::size_t failedIndex_ = 0;         // guarded by mutex_: index of `failure_`'s member
  std::exception_ptr failure_;          // guarded by mutex_
};

}  // namespace zelcore::async
