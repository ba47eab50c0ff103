#include "zelcore/TextConversions.h"

#include <cstddef>
#include <cstdint>

namespace zelcore::text {
namespace {

static_assert(sizeof(wchar_t) == 4, "wchar_t strings are taken as UTF-32");

// What a decoder returns for an ill-formed unit; distinct from a real U+FFFD in the input.
constexpr char32_t kInvalid = 0x110000;

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Decodes one code point at `i` and advances past it. An ill-formed sequence yields kInvalid and advances
// past its maximal valid prefix only, so the byte that broke it starts the next attempt (the usual
// "one replacement per maximal subpart" rule).
char32_t DecodeUTF8(std::string_view s, std::size_t& i) {
  auto const b0 = static_cast<unsigned char>(s[i++]);
  if (b0 < 0x80) return b0;
  int trailing;
  unsigned char lo = 0x80, hi = 0xBF;  // the range allowed for the second byte
  char32_t c;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    trailing = 1;
    c = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    trailing = 2;
    c = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    trailing = 3;
    c = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // beyond U+10FFFF
  } else {
    return kInvalid;  // a stray continuation byte, C0/C1 or F5..FF
  }
  for (int k = 0; k < trailing; ++k) {
    if (i >= s.size()) return kInvalid;
    auto const b = static_cast<unsigned char>(s[i]);
    if (b < lo || b > hi) return kInvalid;
    c = (c << 6) | (b & 0x3F);
    ++i;
    lo = 0x80;
    hi = 0xBF;
  }
  return c;
}

char32_t DecodeUTF16(std::u16string_view s, std::size_t& i) {
  char32_t const u = s[i++];
  if (!IsSurrogate(u)) return u;
  if (u >= 0xDC00 || i >= s.size()) return kInvalid;  // a lone low surrogate, or a high one at the end
  char32_t const low = s[i];
  if (low < 0xDC00 || low > 0xDFFF) return kInvalid;  // the next unit starts afresh
  ++i;
  return 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
}

char32_t DecodeUTF32(std::wstring_view s, std::size_t& i) {
  auto const c = static_cast<std::uint32_t>(s[i++]);
  return c > 0x10FFFF || IsSurrogate(c) ? kInvalid : c;
}

void AppendUTF8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void AppendUTF16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (c >> 10));
    out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
  }
}

void AppendUTF32(std::wstring& out, char32_t c) { out += static_cast<wchar_t>(c); }

template <class Out, class In, class Decode, class Append>
Out Convert(In in, Decode decode, Append append) {
  Out out;
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size();) {
    char32_t const c = decode(in, i);
    append(out, c == kInvalid ? kReplacementCharacter : c);
  }
  return out;
}

template <class In, class Decode>
bool IsValid(In in, Decode decode) {
  for (std::size_t i = 0; i < in.size();) {
    if (decode(in, i) == kInvalid) return false;
  }
  return true;
}

std::string RepairUTF8(std::string_view utf8) {
  // Most text is valid: copy it unchanged without re-encoding.
  if (IsValid(utf8, DecodeUTF8)) return std::string(utf8);
  return Convert<std::string>(utf8, DecodeUTF8, AppendUTF8);
}

}  // namespace

bool IsValidUTF8(std::string_view text) { return IsValid(text, DecodeUTF8); }
bool IsValidUTF16(std::u16string_view text) { return IsValid(text, DecodeUTF16); }

std::string Std8ToUTF8String(std::string_view narrow) { return RepairUTF8(narrow); }
std::string UTF8ToStd8String(std::string_view utf8) { return RepairUTF8(utf8); }

std::u16string UTF8ToUTF16(std::string_view utf8) { return Convert<std::u16string>(utf8, DecodeUTF8, AppendUTF16); }
std::string UTF16ToUTF8(std::u16string_view utf16) { return Convert<std::string>(utf16, DecodeUTF16, AppendUTF8); }

std::u16string WcharToUTF16(std::wstring_view wide) { return Convert<std::u16string>(wide, DecodeUTF32, AppendUTF16); }
std::wstring UTF16ToWstring(std::u16string_view utf16) {
  return Convert<std::wstring>(utf16, DecodeUTF16, AppendUTF32);
}

std::u16string PathBytesToUTF16(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t const start = i;
    char32_t const c = DecodeUTF8(bytes, i);
    if (c != kInvalid) {
      AppendUTF16(out, c);
      continue;
    }
    // Escape the bytes of the ill-formed part one by one (it is never longer than the bytes DecodeUTF8 passed).
    if (i == start) ++i;
    for (std::size_t k = start; k < i; ++k) out += static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(bytes[k]));
  }
  return out;
}

std::string UTF16ToPathBytes(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size();) {
    std::size_t const start = i;
    char32_t const c = DecodeUTF16(utf16, i);
    if (c == kInvalid && utf16[start] >= 0xDC80 && utf16[start] <= 0xDCFF) {
      out += static_cast<char>(utf16[start] - 0xDC00);
    } else {
      AppendUTF8(out, c == kInvalid ? kReplacementCharacter : c);
    }
  }
  return out;
}

std::wstring UTF8ToWstring(std::string_view utf8) { return Convert<std::wstring>(utf8, DecodeUTF8, AppendUTF32); }
std::string WstringToUTF8(std::wstring_view wide) { return Convert<std::string>(wide, DecodeUTF32, AppendUTF8); }

}  // namespace zelcore::text
