#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace Quillan::Examples::detail {

// SHA-256 (FIPS 180-4), fed in pieces of any size. Not thread-safe.
class Sha256 {
 public:
  using Digest = std::array<std::uint8_t, 32>;

  Sha256();
  void Update(std::span<std::uint8_t const> bytes);
  // The digest of everything fed so far; the object is spent afterwards.
  Digest Finish();

 private:
  void Compress(std::uint8_t const* block);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t length_ = 0;  // in bytes
};

}  // namespace Quillan::Examples::detail
