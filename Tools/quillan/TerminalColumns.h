#pragma once

#include <cstddef>
#include <string_view>

namespace Quillan::Cli {

// Text measured and cut by the columns a terminal shows it in, as wcwidth counts them in a UTF-8 locale whatever the
// process's own: a wide (East Asian) character takes two, a combining mark none, a character wcwidth does not know
// and a byte that is not UTF-8 one. Without any UTF-8 locale, every character takes one.
std::size_t Columns(std::string_view text);
// The longest start of `text` that fits in `columns`, cut between characters.
std::string_view HeadColumns(std::string_view text, std::size_t columns);
// The longest end of `text` that fits in `columns`, cut between characters.
std::string_view TailColumns(std::string_view text, std::size_t columns);

}  // namespace Quillan::Cli
