#include "MF/DataCacheChain.h"

#include <gtest/gtest.h>

#include <thread>

#include "MediaCacheTestUtils.h"

namespace MF::testing {
namespace {

TEST(MemoryDataCacheTest, KeepsMostRecentlyUsedItemsWithinItsBound) {
  // Room for three items of 1000 bytes with their names and bookkeeping.
  std::uint64_t const itemCost = 1000 + 3 + 1 + 128;
  auto memory = CreateDataCacheInMemory(3 * itemCost);
  auto const has = [&](char const* name) {
    LookUpResult const found = LookUp(*memory, "src", name);
    return found.immediate == kResultItemAvailable && found.blob != nullptr;
  };
  for (char const* name : {"a", "b", "c"}) {
    auto blob = zelcore::allocator::RecycledMemory::Create(1000);
    ASSERT_TRUE(WaitForSuccess(memory->PutItem(NameOf("src"), NameOf(name), blob, false)));
  }
  EXPECT_TRUE(has("a"));  // now the most recently used
  auto blob = zelcore::allocator::RecycledMemory::Create(1000);
  ASSERT_TRUE(WaitForSuccess(memory->PutItem(NameOf("src"), NameOf("d"), blob, false)));
  EXPECT_TRUE(has("a"));
  EXPECT_FALSE(has("b"));
  EXPECT_TRUE(has("c"));
  EXPECT_TRUE(has("d"));

  // A miss answers at once and never calls back; an item larger than the bound is not kept and displaces nothing.
  bool called = false;
  Blob out;
  EXPECT_EQ(memory->GetItem(
                NameOf("src"), NameOf("b"), [&](auto...) { called = true; }, out),
            kResultItemNotFound);
  EXPECT_FALSE(called);
  auto huge = zelcore::allocator::RecycledMemory::Create(4 * itemCost);
  EXPECT_TRUE(WaitForSuccess(memory->PutItem(NameOf("src"), NameOf("huge"), huge, false)));
  EXPECT_FALSE(has("huge"));
  EXPECT_TRUE(has("a") && has("c") && has("d"));
  EXPECT_EQ(ResultOf(memory->PutItem(NameOf("src"), NameOf("null"), nullptr, false)), Code(kResultInvalidArgument));
}

TEST(DataCacheChainTest, AnswersFromMemoryAtOnceAndFromDiskThroughCallback) {
  TempFolder folder;
  {
    DataCacheChain writer(CreateDataCacheInMemory(), OpenDisk(NameOf(folder.path())).cache);
    Blob const blob = MakePatternBlob("x", 7);
    auto stored = writer.PutItem(NameOf("src"), NameOf("x"), blob, false);
    // Before it is on disk, the put itself answers.
    LookUpResult const early = LookUp(writer, "src", "x");
    EXPECT_EQ(early.immediate, kResultItemAvailable);
    EXPECT_EQ(early.blob, blob);
    ASSERT_TRUE(WaitForSuccess(stored));
  }

  // A new chain over the same folder: cold memory.
  DataCacheChain reader(CreateDataCacheInMemory(), OpenDisk(NameOf(folder.path())).cache);
  std::thread::id callbackThread;
  std::promise<void> delivered;
  Blob fromDisk;
  Blob out;
  ResultCode const immediate = reader.GetItem(
      NameOf("src"), NameOf("x"),
      [&](ResultCode code, ImmutableString const& first, ImmutableString const& second, Blob const& blob) {
        EXPECT_EQ(code, kResultItemAvailable);
        EXPECT_EQ(first, NameOf("src"));
        EXPECT_EQ(second, NameOf("x"));
        callbackThread = std::this_thread::get_id();
        fromDisk = blob;
        delivered.set_value();
      },
      out);
  ASSERT_EQ(immediate, kResultItemPending);
  ASSERT_EQ(delivered.get_future().wait_for(kWaitLimit), std::future_status::ready);
  EXPECT_NE(callbackThread, std::this_thread::get_id());
  EXPECT_TRUE(MatchesPattern(fromDisk, "x", 7));

  // Promoted into memory by that read.
  LookUpResult const again = LookUp(reader, "src", "x");
  EXPECT_EQ(again.immediate, kResultItemAvailable);
  EXPECT_TRUE(MatchesPattern(again.blob, "x", 7));

  LookUpResult const missing = LookUp(reader, "src", "nothing");
  EXPECT_EQ(missing.immediate, kResultItemPending);
  EXPECT_EQ(missing.code, kResultItemNotFound);
  EXPECT_EQ(missing.blob, nullptr);

  // A removal hides the item at once (while under way, or from memory and disk once done).
  auto removed = reader.RemoveItem(NameOf("src"), NameOf("x"));
  EXPECT_EQ(LookUp(reader, "src", "x").code, kResultItemNotFound);
  ASSERT_TRUE(WaitForSuccess(removed));
  EXPECT_EQ(LookUp(reader, "src", "x").code, kResultItemNotFound);
}

TEST(DataCacheChainTest, LaterPutsWinAndBypassKeepsMemoryCold) {
  TempFolder folder;
  DataCacheChain chain(CreateDataCacheInMemory(), OpenDisk(NameOf(folder.path())).cache);
  ASSERT_TRUE(WaitForSuccess(chain.PutItem(NameOf("src"), NameOf("k"), MakePatternBlob("old", 1), false)));
  EXPECT_EQ(LookUp(chain, "src", "k").immediate, kResultItemAvailable);  // written through to memory

  // Two puts in a row, not waited for: every lookup sees the later one, in memory and on disk.
  chain.PutItem(NameOf("src"), NameOf("k"), MakePatternBlob("middle", 2), false);
  auto last = chain.PutItem(NameOf("src"), NameOf("k"), MakePatternBlob("new", 3), false);
  EXPECT_TRUE(MatchesPattern(LookUp(chain, "src", "k").blob, "new", 3));
  ASSERT_TRUE(WaitForSuccess(last));
  EXPECT_TRUE(MatchesPattern(LookUp(chain, "src", "k").blob, "new", 3));
  EXPECT_TRUE(MatchesPattern(LookUp(*OpenDisk(NameOf(folder.path())).cache, "src", "k").blob, "new", 3));

  // A put that bypasses memory also drops the older memory copy: the next lookup goes to disk.
  ASSERT_TRUE(WaitForSuccess(chain.PutItem(NameOf("src"), NameOf("k"), MakePatternBlob("bulk", 4), true)));
  LookUpResult const bulk = LookUp(chain, "src", "k");
  EXPECT_EQ(bulk.immediate, kResultItemPending);
  EXPECT_TRUE(MatchesPattern(bulk.blob, "bulk", 4));

  EXPECT_THROW(DataCacheChain(nullptr, CreateDataCacheInMemory()), zelcore::config::zel_exception);
}

}  // namespace
}  // namespace MF::testing
