#pragma once

#include <cstring>
#include <string>

#include "zelcore/Guid.h"
#include "zelcore/RecycledMemory.h"

// What the sidecar test helper and the tests that run it agree on: the analyzer and each key's value.
namespace testsupport {

inline constexpr zelcore::utility::Guid kHelperAnalyzer{
    zelcore::utility::Guid::Bytes{0x51, 0xde, 0xca, 0x75, 0, 0, 0x40, 0, 0x80, 0, 0, 0, 0, 0, 0x0b, 0x1d}};

// `bytes` bytes that depend on `key`: the key repeated, then cut.
inline zelcore::Blob ValueFor(std::string const& key, std::size_t bytes) {
  auto blob = zelcore::allocator::RecycledMemory::Create(bytes);
  for (std::size_t i = 0; i < bytes; ++i) blob->data()[i] = static_cast<std::uint8_t>(key[i % key.size()]);
  return blob;
}

inline bool SameBytes(zelcore::Blob const& a, zelcore::Blob const& b) {
  return a && b && a->size() == b->size() && (a->size() == 0 || std::memcmp(a->data(), b->data(), a->size()) == 0);
}

}  // namespace testsupport
