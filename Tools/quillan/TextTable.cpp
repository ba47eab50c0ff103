#include "quillan/TextTable.h"

#include <locale.h>
#include <wchar.h>

#include <algorithm>
#include <cwchar>
#include <utility>

#include "zelcore/TextConversions.h"

namespace Quillan::Cli {
namespace {

// The columns `text` takes on a terminal, as wcwidth counts them in a UTF-8 locale whatever the process's own: two for
// a wide (East Asian) character, none for a combining mark, one for a character it does not know.
std::size_t DisplayWidth(std::string const& text) {
  static locale_t const utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
  if (utf8 == locale_t{}) {
    // No UTF-8 locale at all: one column for each character, continuation bytes none.
    return static_cast<std::size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
  }
  locale_t const previous = ::uselocale(utf8);
  std::mbstate_t state{};
  std::size_t width = 0;
  for (std::size_t at = 0; at < text.size();) {
    wchar_t character = 0;
    std::size_t length = std::mbrtowc(&character, text.data() + at, text.size() - at, &state);
    if (length == static_cast<std::size_t>(-1) || length == static_cast<std::size_t>(-2)) {
      state = std::mbstate_t{};
      length = 1;
      character = L'?';
    }
    int const columns = ::wcwidth(character);
    width += columns < 0 ? 1 : static_cast<std::size_t>(columns);
    at += std::max<std::size_t>(length, 1);
  }
  ::uselocale(previous);
  return width;
}

}  // namespace

TextTable::TextTable(std::vector<std::string> header) : header_(std::move(header)) {}

void TextTable::AddRow(std::vector<std::string> cells) {
  cells.resize(header_.size());
  rows_.push_back(std::move(cells));
}

std::string TextTable::Format() const {
  std::vector<std::size_t> widths(header_.size());
  auto const measure = [&](std::vector<std::string> const& row) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], DisplayWidth(row[i]));
  };
  measure(header_);
  for (auto const& row : rows_) measure(row);

  std::string text;
  auto const print = [&](std::vector<std::string> const& row) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line.append(widths[i] - DisplayWidth(row[i]) + 2, ' ');
    }
    // Empty trailing cells would leave trailing blanks.
    line.erase(line.find_last_not_of(' ') + 1);
    text += line + "\n";
  };
  print(header_);
  for (auto const& row : rows_) print(row);
  return text;
}

std::string Printable(std::string const& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string shown;
  // A name that is not valid UTF-8 shows U+FFFD where it cannot be shown.
  for (char const c : zelcore::text::Std8ToUTF8String(text)) {
    auto const byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      shown += "\\n";
    } else if (c == '\t') {
      shown += "\\t";
    } else if (c == '\\') {
      shown += "\\\\";
    } else if (byte < 0x20 || byte == 0x7F) {
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 15];
    } else {
      shown += c;
    }
  }
  return shown;
}

}  // namespace Quillan::Cli
