#pragma once

#include <sstream>
#include <string>
#include <string_view>

#include "zelcore/Export.h"

// Conversions between the text encodings the library meets: UTF-8 (our own strings), UTF-16 (paths and texts
// handed over by the application), wchar_t strings (UTF-32 on this platform) and the narrow code page (UTF-8 on
// this platform). Every conversion accepts any input: an invalid byte sequence, an unpaired surrogate or a
// value outside Unicode becomes one U+FFFD per maximal invalid subpart, so nothing crashes and valid text
// around it is kept. All functions are pure and may be called from any thread.
namespace zelcore::text {

// A stream whose text is UTF-8; what is written to it must be UTF-8 (or ASCII) already.
using oUTF8StringStream = std::ostringstream;

inline constexpr char32_t kReplacementCharacter = U'\uFFFD';

ZELCORE_EXPORT bool IsValidUTF8(std::string_view text);
ZELCORE_EXPORT bool IsValidUTF16(std::u16string_view text);

// The narrow code page is UTF-8 here, so these only repair invalid sequences.
ZELCORE_EXPORT std::string Std8ToUTF8String(std::string_view narrow);
ZELCORE_EXPORT std::string UTF8ToStd8String(std::string_view utf8);

ZELCORE_EXPORT std::u16string UTF8ToUTF16(std::string_view utf8);
ZELCORE_EXPORT std::string UTF16ToUTF8(std::u16string_view utf16);

ZELCORE_EXPORT std::u16string WcharToUTF16(std::wstring_view wide);
ZELCORE_EXPORT std::wstring UTF16ToWstring(std::u16string_view utf16);

// File names are bytes and need not be valid UTF-8. These carry such a name through UTF-16 without loss: each byte
// that is not part of valid UTF-8 becomes the lone surrogate U+DC00 + byte (U+DC80..U+DCFF), and back. Valid UTF-8
// converts as UTF8ToUTF16 does. Other lone surrogates become U+FFFD on the way back.
ZELCORE_EXPORT std::u16string PathBytesToUTF16(std::string_view bytes);
ZELCORE_EXPORT std::string UTF16ToPathBytes(std::u16string_view utf16);

ZELCORE_EXPORT std::wstring UTF8ToWstring(std::string_view utf8);
ZELCORE_EXPORT std::string WstringToUTF8(std::wstring_view wide);

}  // namespace zelcore::text
