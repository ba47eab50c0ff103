#pragma once

#include <cstddef>
#include <functional>

#include "zelcore/ImmutableString.h"

namespace MF::detail {

// The two names of an item. Interned texts compare and hash by address, so a key costs two pointer operations.
struct ItemKey {
  zelcore::utility::ImmutableString first;
  zelcore::utility::ImmutableString second;

  friend bool operator==(ItemKey const&, ItemKey const&) = default;
};

struct ItemKeyHash {
  std::size_t operator()(ItemKey const& key) const noexcept {
    std::size_t const a = std::hash<zelcore::utility::ImmutableString>()(key.first);
    std::size_t const b = std::hash<zelcore::utility::ImmutableString>()(key.second);
    return a ^ (b + 0x9E3779B97F4A7C15ull + (a << 6) + (a >> 2));
  }
};

}  // namespace MF::detail
