#include "quillan/TerminalColumns.h"

#include <locale.h>
#include <wchar.h>

#include <cwchar>
#include <vector>

namespace Quillan::Cli {
namespace {

// One character of text: where it starts and the columns it takes.
struct Character {
  std::size_t at = 0;
  std::size_t columns = 0;
};

std::vector<Character> CharactersOf(std::string_view text) {
  std::vector<Character> characters;
  static locale_t const utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
  if (utf8 == locale_t{}) {
    for (std::size_t at = 0; at < text.size(); ++at) {
      if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80) characters.push_back({at, 1});
    }
    return characters;
  }
  locale_t const previous = ::uselocale(utf8);
  std::mbstate_t state{};
  for (std::size_t at = 0; at < text.size();) {
    wchar_t character = 0;
    std::size_t length = std::mbrtowc(&character, text.data() + at, text.size() - at, &state);
    int columns = 1;
    if (length == static_cast<std::size_t>(-1) || length == static_cast<std::size_t>(-2)) {
      state = std::mbstate_t{};
      length = 1;
    } else {
      columns = ::wcwidth(character);
      if (columns < 0) columns = 1;
    }
    characters.push_back({at, static_cast<std::size_t>(columns)});
    at += length == 0 ? 1 : length;
  }
  ::uselocale(previous);
  return characters;
}

}  // namespace

std::size_t Columns(std::string_view text) {
  std::size_t columns = 0;
  for (Character const& character : CharactersOf(text)) columns += character.columns;
  return columns;
}

std::string_view HeadColumns(std::string_view text, std::size_t columns) {
  std::size_t used = 0;
  for (Character const& character : CharactersOf(text)) {
    if (used + character.columns > columns) return text.substr(0, character.at);
    used += character.columns;
  }
  return text;
}

std::string_view TailColumns(std::string_view text, std::size_t columns) {
  std::vector<Character> const characters = CharactersOf(text);
  std::size_t used = 0;
  std::size_t start = text.size();
  for (auto character = characters.rbegin(); character != characters.rend(); ++character) {
    if (used + character->columns > columns) break;
    used += character->columns;
    start = character->at;
  }
  return text.substr(start);
}

}  // namespace Quillan::Cli
