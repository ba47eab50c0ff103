#include "zelcore/Detail/Sha1.h"

#include <bit>
#include <cstring>

namespace zelcore::detail {

Sha1::Sha1() : state_{0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u} {}

void Sha1::Update(std::span<std::uint8_t const> bytes) {
  totalBytes_ += bytes.size();
  for (std::uint8_t byte : bytes) {
    buffer_[buffered_++] = byte;
    if (buffered_ == buffer_.size()) {
      ProcessBlock(buffer_.data());
      buffered_ = 0;
    }
  }
}

Sha1::Digest Sha1::Finish() {
  std::uint64_t const bitLength = totalBytes_ * 8;
  std::uint8_t const pad = 0x80;
  Update({&pad, 1});
  std::uint8_t const zero = 0;
  while (buffered_ != 56) Update({&zero, 1});
  std::uint8_t length[8];
  for (int i = 0; i < 8; ++i) length[i] = static_cast<std::uint8_t>(bitLength >> (56 - 8 * i));
  Update(length);

  Digest digest;
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<std::uint8_t>(state_[i] >> (24 - 8 * j));
  }
  return digest;
}

void Sha1::ProcessBlock(std::uint8_t const* block) {
  std::uint32_t w[80];
  for (int i = 0; i < 16; ++i) {
    w[i] = std::uint32_t{block[4 * i]} << 24 | std::uint32_t{block[4 * i + 1]} << 16 |
           std::uint32_t{block[4 * i + 2]} << 8 | std::uint32_t{block[4 * i + 3]};
  }
  for (int i = 16; i < 80; ++i) w[i] = std::rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

  std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];
  for (int i = 0; i < 80; ++i) {
    std::uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d), k = 0x5A827999u;
    } else if (i < 40) {
      f = b ^ c ^ d, k = 0x6ED9EBA1u;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDCu;
    } else {
      f = b ^ c ^ d, k = 0xCA62C1D6u;
    }
    std::uint32_t const t = std::rotl(a, 5) + f + e + k + w[i];
    e = d, d = c, c = std::rotl(b, 30), b = a, a = t;
  }
  state_[0] += a, state_[1] += b, state_[2] += c, state_[3] += d, state_[4] += e;
}

}  // namespace zelcore::detail
