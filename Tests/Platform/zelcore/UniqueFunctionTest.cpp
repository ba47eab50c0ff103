#include "zelcore/UniqueFunction.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>

namespace zelcore {
namespace {

// Counts its live copies and calls; `Padding` sets its size, so that it lands in place or on the heap.
template <std::size_t Padding, bool NothrowMove = true>
struct Probe {
  std::shared_ptr<int> calls;
  std::array<char, Padding> padding{};

  explicit Probe(std::shared_ptr<int> counter) : calls(std::move(counter)) {}
  Probe(Probe&& other) noexcept(NothrowMove) = default;
  int operator()(int add) { return *calls += add; }
};

template <class F>
void CheckOwnsMovesAndDestroys(char const* name) {
  SCOPED_TRACE(name);
  auto calls = std::make_shared<int>(0);
  UniqueFunction<int(int)> first(F{calls});
  EXPECT_EQ(calls.use_count(), 2);
  EXPECT_EQ(first(2), 2);

  UniqueFunction<int(int)> second(std::move(first));
  EXPECT_FALSE(first);
  EXPECT_EQ(calls.use_count(), 2);
  EXPECT_EQ(second(3), 5);

  // Assigning over a live callable destroys it first.
  auto other = std::make_shared<int>(0);
  UniqueFunction<int(int)> third(F{other});
  third = std::move(second);
  EXPECT_EQ(other.use_count(), 1);
  EXPECT_EQ(third(1), 6);
  third = nullptr;
  EXPECT_EQ(calls.use_count(), 1);
}

TEST(UniqueFunctionTest, OwnsMovesAndDestroysCallablesInPlaceOrOnTheHeap) {
  CheckOwnsMovesAndDestroys<Probe<8>>("small: in place");
  CheckOwnsMovesAndDestroys<Probe<UniqueFunction<int(int)>::kInlineSize>>("larger than the buffer: heap");
  CheckOwnsMovesAndDestroys<Probe<8, false>>("throwing move: heap");

  // Move-only state, and results that are objects.
  UniqueFunction<std::string()> text([owned = std::make_unique<std::string>("kept")] { return *owned + "!"; });
  UniqueFunction<std::string()> moved = std::move(text);
  EXPECT_EQ(moved(), "kept!");
  EXPECT_FALSE(UniqueFunction<void()>());
  EXPECT_FALSE(UniqueFunction<void()>(nullptr));
}

}  // namespace
}  // namespace zelcore
