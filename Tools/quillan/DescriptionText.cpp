#include "quillan/DescriptionText.h"

#include <string_view>

#include <nlohmann/json.hpp>

namespace Quillan::Cli {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Reads well-formed JSON text, copying values without the whitespace between their tokens.
class CompactReader {
 public:
  explicit CompactReader(std::string_view text) : text_(text) {}

  void SkipSpace() {
    while (at_ < text_.size() && IsSpace(text_[at_])) ++at_;
  }
  // The next character after whitespace, taken.
  char Take() {
    SkipSpace();
    return at_ < text_.size() ? text_[at_++] : '\0';
  }
  // A string whose opening quote was taken: its text as written, escapes and all, without the closing quote.
  std::string_view RawString() {
    std::size_t const begin = at_;
    while (at_ < text_.size() && text_[at_] != '"') at_ += text_[at_] == '\\' ? 2 : 1;
    return text_.substr(begin, at_++ - begin);
  }
  // The next value, appended to `out` without whitespace outside its strings.
  void CopyValue(std::string& out) {
    int depth = 0;
    SkipSpace();
    while (at_ < text_.size()) {
      char const c = text_[at_];
      if (c == '"') {
        ++at_;
        out += '"';
        out += RawString();
        out += '"';
      } else if (IsSpace(c)) {
        ++at_;
      } else if (c == '{' || c == '[') {
        ++depth;
        out += text_[at_++];
      } else if (c == '}' || c == ']' || c == ',') {
        if (depth == 0) return;  // the end of a number, literal or string at the top
        if (c != ',') --depth;
        out += text_[at_++];
        if (depth == 0 && c != ',') return;
      } else {
        out += text_[at_++];
      }
      if (depth == 0 && c == '"') return;
    }
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

// A key as its text reads, escapes resolved (a describer may escape any character).
std::string KeyText(std::string_view raw) {
  if (raw.find('\\') == std::string_view::npos) return std::string(raw);
  return nlohmann::json::parse("\"" + std::string(raw) + "\"").get<std::string>();
}

}  // namespace

std::string DescriptionJsonText(ResultDescription const& description) {
  // The members that the formats carry; a later one of the same name wins, as it does when the text is parsed.
  std::string name, fields, units;
  CompactReader reader(description.json);
  reader.Take();  // {
  for (char next = reader.Take(); next == '"'; next = reader.Take()) {
    std::string const key = KeyText(reader.RawString());
    reader.Take();  // :
    std::string value;
    reader.CopyValue(value);
    if (key == "name") name = std::move(value);
    if (key == "fields") fields = std::move(value);
    if (key == "units") units = std::move(value);
    if (reader.Take() != ',') break;
  }
  return "{\"name\":" + name + ",\"summary\":" +
         nlohmann::json(description.summary).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
         ",\"fields\":" + fields + ",\"units\":" + units + "}";
}

}  // namespace Quillan::Cli
