#include "DataStoreAdaptors/SidecarFileLock.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace Quillan {
namespace {

struct LockTable {
  std::mutex mutex;
  std::condition_variable changed;
  std::unordered_set<std::filesystem::path::string_type> writers;               // guarded by mutex
  std::unordered_map<std::filesystem::path::string_type, std::size_t> holders;  // guarded by mutex
};

// Lives for the process: a store may release a lock while statics are torn down.
LockTable& GetLockTable() {
  static LockTable* table = new LockTable;
  return *table;
}

}  // namespace

SidecarFileLock::SidecarFileLock(std::filesystem::path path, Mode mode) : path_(std::move(path)), mode_(mode) {
  auto& table = GetLockTable();
  auto const& key = path_.native();
  std::unique_lock lock(table.mutex);
  table.changed.wait(lock, [&] {
    if (table.writers.contains(key)) return false;
    if (mode_ == Mode::kRead) return true;
    auto const found = table.holders.find(key);
    return found == table.holders.end() || found->second == 0;
  });
  ++table.holders[key];
  if (mode_ == Mode::kWrite) table.writers.insert(key);
}

SidecarFileLock::~SidecarFileLock() {
  auto& table = GetLockTable();
  {
    std::lock_guard lock(table.mutex);
    if (mode_ == Mode::kWrite) table.writers.erase(path_.native());
    --table.holders[path_.native()];
  }
  table.changed.notify_all();
}

}  // namespace Quillan
