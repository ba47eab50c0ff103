#pragma once

#include <cstring>
#include <string>
#include <string_view>

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

}  // namespace testsupport
