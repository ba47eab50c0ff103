#include "quillan/TextTable.h"

#include <algorithm>
#include <utility>

#include "quillan/TerminalColumns.h"
#include "zelcore/TextConversions.h"

namespace Quillan::Cli {

TextTable::TextTable(std::vector<std::string> header) : header_(std::move(header)) {}

void TextTable::AddRow(std::vector<std::string> cells) {
  cells.resize(header_.size());
  rows_.push_back(std::move(cells));
}

std::string TextTable::Format() const {
  std::vector<std::size_t> widths(header_.size());
  auto const measure = [&](std::vector<std::string> const& row) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], Columns(row[i]));
  };
  measure(header_);
  for (auto const& row : rows_) measure(row);

  std::string text;
  auto const print = [&](std::vector<std::string> const& row) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line.append(widths[i] - Columns(row[i]) + 2, ' ');
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
