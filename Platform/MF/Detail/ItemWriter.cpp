#include "MF/Detail/ItemWriter.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>

namespace MF::detail {
namespace {

// Rows are read this many at a time, and removed before the next are read.
constexpr int kEvictionChunk = 64;

// The entries that `statement` selects with `bind`: up to its limit.
template <typename Bind>
std::vector<ItemWriter::Entry> ReadEntries(zelsqlite::Statement& statement, Bind&& bind) {
  zelsqlite::StatementScope scope(statement);
  bind(statement);
  std::vector<ItemWriter::Entry> entries;
  while (statement.Step()) entries.emplace_back(statement.ColumnInteger(0), statement.ColumnInteger(1));
  return entries;
}

}  // namespace

std::int64_t NextUseTime() {
  static std::atomic<std::int64_t> last{0};
  std::int64_t const now =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  std::int64_t previous = last.load(std::memory_order_relaxed);
  std::int64_t next;
  do {
    next = std::max(now, previous + 1);
  } while (!last.compare_exchange_weak(previous, next, std::memory_order_relaxed));
  return next;
}

ItemWriter::ItemWriter(CacheDatabase& database)
    : db_(database.connection()),
      statements_(database.statements()),
      transaction_(db_, zelsqlite::Transaction::Mode::kWrite),
      usage_(database.ReadUsage()) {}

std::optional<ItemWriter::Entry> ItemWriter::Find(ItemKey const& key) {
  zelsqlite::Statement& find = statements_.findByName;
  zelsqlite::StatementScope scope(find);
  find.BindText(1, key.first.view());
  find.BindText(2, key.second.view());
  if (!find.Step()) return std::nullopt;
  return Entry(find.ColumnInteger(0), find.ColumnInteger(1));
}

void ItemWriter::Put(ItemKey const& key, Blob const& blob, std::optional<Entry> const& earlier, std::int64_t cost,
                     std::int64_t lastUse) {
  Usage const before = usage_;
  try {
    transaction_.RunInSavepoint([&] { PutRows(key, blob, earlier, cost, lastUse); });
  } catch (zelsqlite::StorageError const&) {
    usage_ = before;
    throw;
  }
}

void ItemWriter::RemoveByName(ItemKey const& key) {
  if (auto const found = Find(key)) Remove(*found);
}

void ItemWriter::RemoveById(std::int64_t id) {
  std::optional<std::int64_t> cost;
  {
    zelsqlite::StatementScope scope(statements_.findById);
    statements_.findById.BindInteger(1, id);
    if (statements_.findById.Step()) cost = statements_.findById.ColumnInteger(0);
  }
  if (cost) Remove(Entry(id, *cost));
}

void ItemWriter::Touch(std::int64_t id, std::int64_t lastUse) {
  zelsqlite::StatementScope scope(statements_.touch);
  statements_.touch.BindInteger(1, id);
  statements_.touch.BindInteger(2, lastUse);
  statements_.touch.Step();
}

void ItemWriter::EvictDownTo(std::uint64_t targetBytes) {
  auto const target = static_cast<std::int64_t>(std::min<std::uint64_t>(targetBytes, INT64_MAX));
  while (usage_.bytes > target && usage_.items > 0) {
    std::vector<Entry> const oldest =
        ReadEntries(statements_.oldest, [](zelsqlite::Statement& oldest) { oldest.BindInteger(1, kEvictionChunk); });
    if (oldest.empty()) return;
    for (Entry const& entry : oldest) {
      Remove(entry);
      if (usage_.bytes <= target) return;
    }
  }
}

void ItemWriter::RemoveUnusedSince(std::int64_t cutoff) {
  for (;;) {
    std::vector<Entry> const unused = ReadEntries(statements_.unusedSince, [cutoff](zelsqlite::Statement& since) {
      since.BindInteger(1, cutoff);
      since.BindInteger(2, kEvictionChunk);
    });
    if (unused.empty()) return;
    for (Entry const& entry : unused) Remove(entry);
  }
}

void ItemWriter::RemoveAll() {
  db_.Execute("DELETE FROM entries; DELETE FROM blobs;");
  usage_ = Usage{};
}

void ItemWriter::Commit() {
  {
    zelsqlite::StatementScope scope(statements_.setUsage);
    statements_.setUsage.BindInteger(1, usage_.bytes);
    statements_.setUsage.BindInteger(2, usage_.items);
    statements_.setUsage.Step();
  }
  transaction_.Commit();
}

void ItemWriter::PutRows(ItemKey const& key, Blob const& blob, std::optional<Entry> const& earlier, std::int64_t cost,
                         std::int64_t lastUse) {
  std::int64_t id = 0;
  auto const size = static_cast<std::int64_t>(blob->size());
  if (earlier) {
    id = earlier->first;
    zelsqlite::StatementScope scope(statements_.update);
    statements_.update.BindInteger(1, id);
    statements_.update.BindInteger(2, size);
    statements_.update.BindInteger(3, cost);
    statements_.update.BindInteger(4, lastUse);
    statements_.update.Step();
    usage_.bytes += cost - earlier->second;
  } else {
    zelsqlite::StatementScope scope(statements_.insert);
    statements_.insert.BindText(1, key.first.view());
    statements_.insert.BindText(2, key.second.view());
    statements_.insert.BindInteger(3, size);
    statements_.insert.BindInteger(4, cost);
    statements_.insert.BindInteger(5, lastUse);
    statements_.insert.Step();
    id = db_.LastInsertRowId();
    usage_.bytes += cost;
    usage_.items += 1;
  }
  zelsqlite::StatementScope scope(statements_.putBlob);
  statements_.putBlob.BindInteger(1, id);
  statements_.putBlob.BindBlob(2, blob->data(), blob->size());
  statements_.putBlob.Step();
}

void ItemWriter::Remove(Entry const& entry) {
  auto const [id, cost] = entry;
  {
    zelsqlite::StatementScope scope(statements_.removeEntry);
    statements_.removeEntry.BindInteger(1, id);
    statements_.removeEntry.Step();
  }
  zelsqlite::StatementScope scope(statements_.removeBlob);
  statements_.removeBlob.BindInteger(1, id);
  statements_.removeBlob.Step();
  usage_.bytes -= cost;
  usage_.items -= 1;
}

}  // namespace MF::detail
