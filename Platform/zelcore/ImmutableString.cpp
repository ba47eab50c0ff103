#include "zelcore/ImmutableString.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "zelcore/TextConversions.h"

namespace zelcore::utility {
namespace {

// An interned text: its size and hash sit in front of the characters, so size() needs no lookup.
struct Entry {
  std::size_t hash;
  std::size_t size;
  char text[1];

  static Entry const* FromText(char const* text) {
    return reinterpret_cast<Entry const*>(text - offsetof(Entry, text));
  }
};

// Open-addressing table whose slots are read without a lock. Entries and tables are never freed: interned
// texts live for the process, and a reader may still be probing an old table after it was replaced.
struct Table {
  explicit Table(std::size_t capacity) : mask(capacity - 1), slots(new std::atomic<Entry const*>[capacity]) {
    for (std::size_t i = 0; i < capacity; ++i) slots[i].store(nullptr, std::memory_order_relaxed);
  }
  std::size_t mask;
  std::unique_ptr<std::atomic<Entry const*>[]> slots;
};

class Interner {
 public:
  Interner() {
    tables_.push_back(std::make_unique<Table>(1024));
    current_.store(tables_.back().get(), std::memory_order_release);
    empty_ = Intern({});
  }

  char const* Intern(std::string_view text) {
    std::size_t const hash = std::hash<std::string_view>()(text);
    if (Entry const* found = Find(*current_.load(std::memory_order_acquire), text, hash)) return found->text;

    std::lock_guard lock(mutex_);
    Table* table = current_.load(std::memory_order_relaxed);
    if (Entry const* found = Find(*table, text, hash)) return found->text;
    if ((count_ + 1) * 2 > table->mask + 1) table = Grow(*table);
    Entry const* entry = MakeEntry(text, hash);
    Insert(*table, entry);
    ++count_;
    return entry->text;
  }

  char const* Empty() const { return empty_; }

 private:
  static Entry const* Find(Table const& table, std::string_view text, std::size_t hash) {
    for (std::size_t i = hash & table.mask;; i = (i + 1) & table.mask) {
      Entry const* entry = table.slots[i].load(std::memory_order_acquire);
      if (entry == nullptr) return nullptr;
      if (entry->hash == hash && entry->size == text.size() && std::memcmp(entry->text, text.data(), text.size()) == 0)
        return entry;
    }
  }

  static void Insert(Table& table, Entry const* entry) {
    std::size_t i = entry->hash & table.mask;
    while (table.slots[i].load(std::memory_order_relaxed) != nullptr) i = (i + 1) & table.mask;
    table.slots[i].store(entry, std::memory_order_release);
  }

  static Entry const* MakeEntry(std::string_view text, std::size_t hash) {
    void* memory = ::operator new(offsetof(Entry, text) + text.size() + 1);
    auto* entry = static_cast<Entry*>(memory);
    entry->hash = hash;
    entry->size = text.size();
    if (!text.empty()) std::memcpy(entry->text, text.data(), text.size());
    entry->text[text.size()] = '\0';
    return entry;
  }

  // Requires mutex_. Readers still probing the old table find what it held, and retry under the lock on a miss.
  Table* Grow(Table const& old) {
    auto grown = std::make_unique<Table>((old.mask + 1) * 2);
    for (std::size_t i = 0; i <= old.mask; ++i) {
      if (Entry const* entry = old.slots[i].load(std::memory_order_relaxed)) Insert(*grown, entry);
    }
    tables_.push_back(std::move(grown));
    current_.store(tables_.back().get(), std::memory_order_release);
    return tables_.back().get();
  }

  std::mutex mutex_;
  std::atomic<Table*> current_{nullptr};
  std::vector<std::unique_ptr<Table>> tables_;  // guarded by mutex_
  std::size_t count_ = 0;                       // guarded by mutex_
  char const* empty_ = nullptr;
};

// Never destroyed: strings may be created and read while other statics are torn down.
Interner& GetInterner() {
  static Interner* interner = new Interner;
  return *interner;
}

}  // namespace

ImmutableString::ImmutableString() : text_(GetInterner().Empty()) {}

ImmutableString ImmutableString::Create(std::string_view utf8) { return ImmutableString(GetInterner().Intern(utf8)); }

ImmutableString ImmutableString::Create(std::wstring_view wide) {
  return Create(std::string_view(text::WstringToUTF8(std::wstring(wide))));
}

ImmutableString ImmutableString::_PrivateCreateStatic(char const* literal) { return Create(std::string_view(literal)); }

std::size_t ImmutableString::size() const { return Entry::FromText(text_)->size; }

}  // namespace zelcore::utility
