#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <utility>

#include "Foundation/Future.h"
#include "MF/DataCache.h"
#include "zelcore/RecycledMemory.h"

// What the media cache tests and their helper program share.
namespace MF::testing {

// Generous: only a hung cache takes this long.
inline constexpr std::chrono::seconds kWaitLimit{30};

// Waits for `future`; true when it ended with success.
inline bool WaitForSuccess(zelcore::async::UntypedFuture const& future) {
  return zelcore::async::WaitForUntypedUntil(future, std::chrono::steady_clock::now() + kWaitLimit, true) &&
         future.HasValue();
}

struct LookUpResult {
  ResultCode immediate;  // what GetItem returned
  ResultCode code;       // the callback's code, or `immediate` when there was no callback
  Blob blob;
};

// GetItem, waiting for the callback when the item comes later.
inline LookUpResult LookUp(DataCache const& cache, std::string const& first, std::string const& second) {
  auto delivered = std::make_shared<std::promise<std::pair<ResultCode, Blob>>>();
  std::future<std::pair<ResultCode, Blob>> later = delivered->get_future();
  Blob out;
  ResultCode const immediate = cache.GetItem(
      ImmutableString::Create(first), ImmutableString::Create(second),
      [delivered](ResultCode code, ImmutableString const&, ImmutableString const&, Blob const& blob) {
        delivered->set_value({code, blob});
      },
      out);
  if (immediate != kResultItemPending) return {immediate, immediate, out};
  if (later.wait_for(kWaitLimit) != std::future_status::ready) return {immediate, kResultStorageFailed, nullptr};
  auto [code, blob] = later.get();
  return {immediate, code, blob};
}

// Items whose bytes follow from their name alone, so that a process can check what another one wrote.

// Sizes vary with the index, so that a blob cut short or swapped with a neighbour shows.
inline std::size_t PatternSize(std::string const& owner, std::uint64_t index) {
  return 64 + (index * 7919 + owner.size() * 131) % 12000;
}

inline zelcore::Blob MakePatternBlob(std::string const& owner, std::uint64_t index) {
  std::size_t const size = PatternSize(owner, index);
  auto blob = zelcore::allocator::RecycledMemory::Create(size);
  std::uint64_t state = index * 0x9E3779B97F4A7C15ull + owner.size() + 1;
  for (char c : owner) state = state * 31 + static_cast<unsigned char>(c);
  for (std::size_t i = 0; i < size; ++i) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    blob->data()[i] = static_cast<std::uint8_t>(state >> 56);
  }
  return blob;
}

inline bool MatchesPattern(zelcore::Blob const& blob, std::string const& owner, std::uint64_t index) {
  if (!blob) return false;
  zelcore::Blob const expected = MakePatternBlob(owner, index);
  return blob->size() == expected->size() && std::memcmp(blob->data(), expected->data(), blob->size()) == 0;
}

inline std::string PatternName(std::uint64_t index) { return "item-" + std::to_string(index); }

}  // namespace MF::testing
