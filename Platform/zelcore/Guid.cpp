#include "zelcore/Guid.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <random>

#include "zelcore/Detail/Sha1.h"

namespace zelcore::utility {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
// Where the hyphens stand in the 36-character text form.
constexpr bool IsHyphenPosition(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Sets the version nibble and the RFC 4122 variant bits.
void StampVersion(Guid::Bytes& bytes, std::uint8_t version) {
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | (version << 4));
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
}

}  // namespace

Guid Guid::CreateUnique() {
  // One generator per thread, seeded from the OS, so threads never share state or a lock.
  thread_local std::mt19937_64 generator = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }();
  Bytes bytes;
  for (std::size_t i = 0; i < bytes.size(); i += 8) {
    std::uint64_t const word = generator();
    std::memcpy(bytes.data() + i, &word, 8);
  }
  StampVersion(bytes, 4);
  return Guid(bytes);
}

Guid Guid::CreateFromName(Guid const& nameSpace, std::span<std::uint8_t const> name) {
  detail::Sha1 sha1;
  sha1.Update(nameSpace.bytes());
  sha1.Update(name);
  auto const digest = sha1.Finish();
  Bytes bytes;
  std::copy_n(digest.begin(), bytes.size(), bytes.begin());
  StampVersion(bytes, 5);
  return Guid(bytes);
}

std::optional<Guid> Guid::FromString(std::string_view text) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36) return std::nullopt;
  Bytes bytes;
  std::size_t byte = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (IsHyphenPosition(i)) {
      if (text[i++] != '-') return std::nullopt;
      continue;
    }
    int const high = HexValue(text[i]), low = HexValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes[byte++] = static_cast<std::uint8_t>(high << 4 | low);
    i += 2;
  }
  return Guid(bytes);
}

std::string Guid::AsUTF8String() const {
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kHexDigits[bytes_[i] >> 4]);
    text.push_back(kHexDigits[bytes_[i] & 0x0F]);
  }
  return text;
}

Guid::Bytes GuidToBytes(Guid const& guid) { return guid.bytes(); }

Guid GuidFromBytes(std::uint8_t const* bytes) {
  Guid::Bytes copy;
  std::copy_n(bytes, copy.size(), copy.begin());
  return Guid(copy);
}

}  // namespace zelcore::utility
