#include "zelappsupport/ProgressCategory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "zelcore/Logging.h"

namespace zelappsupport::utility {
namespace {

using ItemPtr = std::shared_ptr<ProgressItem>;

// Everything one listener heard, with the item's values at the time it heard it.
struct Journal {
  struct Entry {
    ProgressEvent event;
    ItemPtr item;
    double progress;
    std::string status;
    bool answered;  // the item's cancel request had been answered
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Entry> entries;

  ProgressCategory::Listener Listener() {
    return [this](ProgressEvent event, ItemPtr const& item) {
      std::lock_guard lock(mutex);
      entries.push_back({event, item, item->GetProgress(), ToStdString(item->GetStatusText()),
                         item->GetCancelationResult().has_value()});
      changed.notify_all();
    };
  }
  std::vector<Entry> Get() {
    std::lock_guard lock(mutex);
    return entries;
  }
  // Waits (generously) until `done` holds.
  template <class Predicate>
  bool WaitUntil(Predicate done) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(30), done);
  }
};

TEST(ProgressCategoryTest, ListenersFollowItemsFromCreationToRemoval) {
  auto const category = ProgressCategory::Create(ToUTF8String("Analysis"));
  Journal journal;
  auto const id = category->AddListener(journal.Listener());
  EXPECT_THROW(category->AddListener(nullptr), std::invalid_argument);

  auto const item = category->CreateProgressItem(ToUTF8String("Loudness"));
  EXPECT_EQ(ToStdString(item->GetName()), "Loudness");
  EXPECT_EQ(item->GetCategory(), category);
  struct {
    double set, expected;
  } const fractions[] = {{0.25, 0.25}, {-0.5, 0}, {1.7, 1}, {1, 1}};  // clamped; an unchanged value is no event
  for (auto const& [set, expected] : fractions) {
    item->SetProgress(set);
    EXPECT_EQ(item->GetProgress(), expected);
  }
  EXPECT_THROW(item->SetProgress(std::nan("")), std::invalid_argument);
  EXPECT_EQ(item->GetProgress(), 1);
  item->SetStatusText(ToUTF8String("reading"));

  Journal late;
  auto const lateId = category->AddListener(late.Listener());
  auto const other = ProgressCategory::Create(ToUTF8String("Other"))->CreateProgressItem(ToUTF8String("x"));
  EXPECT_FALSE(category->RemoveProgressItem(other));
  EXPECT_FALSE(category->RemoveProgressItem(nullptr));
  EXPECT_EQ(category->GetProgressItems(), std::vector<ItemPtr>{item});
  EXPECT_TRUE(category->RemoveProgressItem(item));
  EXPECT_FALSE(category->RemoveProgressItem(item));
  EXPECT_TRUE(category->GetProgressItems().empty());
  EXPECT_EQ(item->GetCategory(), nullptr);
  item->SetProgress(0.5);  // the item lives on, but its category no longer reports it

  auto const entries = journal.Get();
  std::vector<std::pair<ProgressEvent, double>> heard;
  for (auto const& entry : entries) heard.emplace_back(entry.event, entry.progress);
  EXPECT_EQ(heard, (std::vector<std::pair<ProgressEvent, double>>{{ProgressEvent::kItemCreated, 0},
                                                                  {ProgressEvent::kItemChanged, 0.25},
                                                                  {ProgressEvent::kItemChanged, 0},
                                                                  {ProgressEvent::kItemChanged, 1},
                                                                  {ProgressEvent::kItemChanged, 1},
                                                                  {ProgressEvent::kItemRemoved, 1}}));
  EXPECT_EQ(entries[4].status, "reading");
  ASSERT_EQ(late.Get().size(), 1u);  // added after the changes: hears only the removal
  EXPECT_EQ(late.Get()[0].event, ProgressEvent::kItemRemoved);
  EXPECT_TRUE(category->RemoveListener(id));
  EXPECT_FALSE(category->RemoveListener(id));
  category->RemoveListener(lateId);
}

TEST(ProgressCategoryTest, CancelRequestReachesTheNotificationFunctionOnceOnAnotherThread) {
  std::vector<zelcore::logging::LoggedException> logged;
  std::mutex logMutex;
  zelcore::logging::SetLogSink([&](zelcore::logging::LoggedException const& e) {
    std::lock_guard lock(logMutex);
    logged.push_back(e);
  });
  auto const category = ProgressCategory::Create(ToUTF8String("Analysis"));
  Journal journal;
  auto const id = category->AddListener(journal.Listener());

  enum class Answer { kTrue, kFalse, kThrow, kNoFunction };
  for (Answer answer : {Answer::kTrue, Answer::kFalse, Answer::kThrow, Answer::kNoFunction}) {
    auto const item = category->CreateProgressItem(ToUTF8String("job"));
    std::atomic<int> calls{0};
    std::thread::id caller;
    if (answer != Answer::kNoFunction) {
      item->SetProgressItemCancelationNotificationFxn([&, expected = item.get()](ItemPtr const& cancelled) {
        EXPECT_EQ(cancelled.get(), expected);
        ++calls;
        caller = std::this_thread::get_id();
        if (answer == Answer::kThrow) throw std::runtime_error("handler broke");
        return answer == Answer::kTrue;
      });
    }
    EXPECT_EQ(item->IsCancelable(), answer != Answer::kNoFunction);
    EXPECT_FALSE(item->IsCancelRequested());
    EXPECT_TRUE(item->RequestCancel());
    EXPECT_FALSE(item->RequestCancel());  // only the first request counts
    EXPECT_TRUE(item->IsCancelRequested());
    ASSERT_TRUE(journal.WaitUntil([&] { return item->GetCancelationResult().has_value(); }));
    EXPECT_EQ(*item->GetCancelationResult(), answer == Answer::kTrue);
    EXPECT_EQ(calls, answer == Answer::kNoFunction ? 0 : 1);
    if (calls > 0) {
      EXPECT_NE(caller, std::this_thread::get_id());
    }
    // Listeners hear of the answer (the change may still be on its way).
    ASSERT_TRUE(journal.WaitUntil([&] {
      return std::any_of(journal.entries.begin(), journal.entries.end(),
                         [&](Journal::Entry const& entry) { return entry.item == item && entry.answered; });
    }));
    category->RemoveProgressItem(item);
  }
  category->RemoveListener(id);  // another thread may still be delivering to it
  std::lock_guard lock(logMutex);
  EXPECT_EQ(logged.size(), 1u);
  zelcore::logging::SetLogSink(nullptr);
}

TEST(ProgressCategoryTest, ConcurrentItemsReachListenersInALifelikeOrder) {
  auto const category = ProgressCategory::Create(ToUTF8String("Analysis"));
  std::mutex mutex;
  std::map<ProgressItem*, std::vector<ProgressEvent>> lives;
  int selfRemovingCalls = 0;
  category->AddListener([&](ProgressEvent event, ItemPtr const& item) {
    std::lock_guard lock(mutex);
    lives[item.get()].push_back(event);
  });
  ProgressCategory::ListenerId selfRemoving = 0;
  selfRemoving = category->AddListener([&](ProgressEvent, ItemPtr const&) {
    ++selfRemovingCalls;  // only ever called on the one delivering thread
    category->RemoveListener(selfRemoving);
  });

  constexpr int kThreads = 4, kItemsEach = 50;
  std::vector<ItemPtr> keep;  // keeps every item alive so the map's addresses stay unique
  std::mutex keepMutex;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kItemsEach; ++i) {
        auto const item = category->CreateProgressItem(ToUTF8String("job"));
        for (int step = 1; step <= 4; ++step) item->SetProgress(step / 4.0);
        category->RemoveProgressItem(item);
        item->SetStatusText(ToUTF8String("after removal"));
        std::lock_guard lock(keepMutex);
        keep.push_back(item);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  EXPECT_TRUE(category->GetProgressItems().empty());
  EXPECT_EQ(selfRemovingCalls, 1);
  std::lock_guard lock(mutex);
  ASSERT_EQ(lives.size(), static_cast<std::size_t>(kThreads * kItemsEach));
  for (auto const& [item, events] : lives) {
    ASSERT_GE(events.size(), 3u);  // changes may be merged, but at least one is heard
    EXPECT_EQ(events.front(), ProgressEvent::kItemCreated);
    EXPECT_EQ(events.back(), ProgressEvent::kItemRemoved);
    for (std::size_t i = 1; i + 1 < events.size(); ++i) EXPECT_EQ(events[i], ProgressEvent::kItemChanged);
  }
}

}  // namespace
}  // namespace zelappsupport::utility
