#pragma once

#include <string>
#include <vector>

namespace Quillan::Cli {

// Rows of text printed in aligned columns, two spaces apart; the last column is not padded. Widths count UTF-8
// code points, so names with accents line up too. Not thread-safe.
class TextTable {
 public:
  explicit TextTable(std::vector<std::string> header);

  // A row with as many cells as the header; missing cells are empty, extra ones are dropped.
  void AddRow(std::vector<std::string> cells);
  bool Empty() const { return rows_.empty(); }
  std::string Format() const;

 private:
  std::vector<std::string> header_;
  std::vector<std::vector<std::string>> rows_;
};

// `text` with control characters shown as escapes (\n, \t, \xNN), for one line of a table.
std::string Printable(std::string const& text);

}  // namespace Quillan::Cli
