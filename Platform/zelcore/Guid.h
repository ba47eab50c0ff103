#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "zelcore/Export.h"

namespace zelcore::utility {

// A 16-byte identifier, null when default-constructed. Its text form is lowercase 8-4-4-4-12 hexadecimal
// with hyphens and no braces; its bytes are in the order in which the text shows them.
class ZELCORE_EXPORT Guid {
 public:
  using Bytes = std::array<std::uint8_t, 16>;

  constexpr Guid() = default;
  constexpr explicit Guid(Bytes const& bytes) : bytes_(bytes) {}

  // A random version-4 GUID. May be called from any thread.
  static Guid CreateUnique();
  // A name-based (version-5, SHA-1) GUID of `name` within `nameSpace`: the same inputs give the same GUID.
  static Guid CreateFromName(Guid const& nameSpace, std::span<std::uint8_t const> name);
  // Parses the text form; also accepts uppercase digits and surrounding braces. nullopt when malformed.
  static std::optional<Guid> FromString(std::string_view text);

  bool IsNull() const { return *this == Guid(); }
  std::string AsUTF8String() const;
  Bytes const& bytes() const { return bytes_; }

  friend constexpr bool operator==(Guid const&, Guid const&) = default;
  friend constexpr std::strong_ordering operator<=>(Guid const&, Guid const&) = default;

 private:
  Bytes bytes_{};
};

// The 16 bytes of `guid`, in text order.
ZELCORE_EXPORT Guid::Bytes GuidToBytes(Guid const& guid);
// The GUID of 16 bytes in text order; `bytes` must hold at least 16.
ZELCORE_EXPORT Guid GuidFromBytes(std::uint8_t const* bytes);

}  // namespace zelcore::utility

template <>
struct std::hash<zelcore::utility::Guid> {
  std::size_t operator()(zelcore::utility::Guid const& guid) const noexcept {
    // Random and name-based GUIDs are already well mixed; fold both halves so no byte is ignored.
    std::uint64_t lo = 0, hi = 0;
    for (int i = 0; i < 8; ++i) {
      lo = lo << 8 | guid.bytes()[i];
      hi = hi << 8 | guid.bytes()[8 + i];
    }
    std::uint64_t h = lo ^ (hi * 0x9E3779B97F4A7C15ull);
    return static_cast<std::size_t>(h ^ (h >> 29));
  }
};
