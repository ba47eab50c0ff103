#pragma once

#include <compare>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "zelcore/Export.h"

namespace zelcore::utility {

// Immutable UTF-8 text, interned in one process-wide table: equal texts share one stored copy, so two
// ImmutableStrings are equal exactly when their data pointers are. Interned texts live for the process.
// Creation and every read may happen on any thread.
class ZELCORE_EXPORT ImmutableString {
 public:
  // The interned empty text.
  ImmutableString();

  static ImmutableString Create(std::string_view utf8);
  static ImmutableString Create(std::wstring_view wide);
  // For literals: the text must outlive the process (it is interned like any other).
  static ImmutableString _PrivateCreateStatic(char const* literal);

  char const* data() const { return text_; }
  char const* c_str() const { return text_; }
  std::size_t size() const;
  bool empty() const { return size() == 0; }
  std::string_view view() const { return {text_, size()}; }
  std::string ToUTF8String() const { return std::string(view()); }

  friend bool operator==(ImmutableString a, ImmutableString b) { return a.text_ == b.text_; }
  // Orders by text, so ordered containers iterate alphabetically.
  friend std::strong_ordering operator<=>(ImmutableString a, ImmutableString b) { return a.view() <=> b.view(); }

 private:
  explicit ImmutableString(char const* text) : text_(text) {}
  char const* text_;
};

}  // namespace zelcore::utility

template <>
struct std::hash<zelcore::utility::ImmutableString> {
  std::size_t operator()(zelcore::utility::ImmutableString s) const noexcept {
    return std::hash<char const*>()(s.c_str());
  }
};
