#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace zelcore::detail {

// SHA-1, for name-based GUIDs (not for security).
class Sha1 {
 public:
  using Digest = std::array<std::uint8_t, 20>;

  Sha1();
  void Update(std::span<std::uint8_t const> bytes);
  Digest Finish();

 private:
  void ProcessBlock(std::uint8_t const* block);

  std::array<std::uint32_t, 5> state_;
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t totalBytes_ = 0;
};

}  // namespace zelcore::detail
