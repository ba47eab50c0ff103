#pragma once

#include <cstring>
#include <string>
#include <string_view>

#include "zelcore/ImmutableString.h"
#include "zelcore/RecycledMemory.h"

namespace testsupport {

// A blob holding exactly the bytes of `text`.
inline zelcore::Blob MakeBlob(std::string_view text) {
  auto blob = zelcore::allocator::RecycledMemory::Create(text.size());
  if (!text.empty()) std::memcpy(blob->data(), text.data(), text.size());
  return blob;
}

// The bytes of `blob` as text, for comparing with what was stored.
inline std::string BlobText(zelcore::Blob const& blob) {
  return std::string(reinterpret_cast<char const*>(blob->data()), blob->size());
}

// Keys, parameters and paths as the stores take them.
inline zelcore::utility::ImmutableString Text(std::string const& text) {
  return zelcore::utility::ImmutableString::Create(text);
}

}  // namespace testsupport
