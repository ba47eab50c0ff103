#include "quillan/JsonWriter.h"

#include <charconv>
#include <cmath>

namespace Quillan::Cli {
namespace {

// The length of the valid UTF-8 sequence at the start of `text`, or 0 when it does not start with one. Overlong
// forms, surrogates and code points above U+10FFFF are invalid.
std::size_t ValidSequenceLength(std::string_view text) {
  auto const byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char const lead = byte(0);
  if (lead < 0x80) return 1;
  // The sequence's length, the payload bits of its lead byte, and the smallest code point it may encode.
  std::size_t length = 0;
  char32_t codePoint = 0;
  char32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    codePoint = lead & 0x1F;
    minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    codePoint = lead & 0x0F;
    minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    codePoint = lead & 0x07;
    minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    codePoint = codePoint << 6 | (byte(i) & 0x3F);
  }
  bool const surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
  return codePoint < minimum || surrogate || codePoint > 0x10FFFF ? 0 : length;
}

}  // namespace

std::string JsonQuote(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string quoted = "\"";
  quoted.reserve(text.size() + 2);
  while (!text.empty()) {
    auto const c = static_cast<unsigned char>(text[0]);
    std::size_t length = 1;
    switch (c) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '\b':
        quoted += "\\b";
        break;
      case '\f':
        quoted += "\\f";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '\t':
        quoted += "\\t";
        break;
      default:
        if (c < 0x20) {
          quoted += "\\u00";
          quoted += kHex[c >> 4];
          quoted += kHex[c & 15];
        } else if ((length = ValidSequenceLength(text)) == 0) {
          quoted += "\\ufffd";
          length = 1;
        } else {
          quoted.append(text.substr(0, length));
        }
    }
    text.remove_prefix(length);
  }
  quoted += '"';
  return quoted;
}

void JsonWriter::BeforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!hasValue_.empty()) {
    if (hasValue_.back()) text_ += ',';
    hasValue_.back() = true;
  }
}

JsonWriter& JsonWriter::Raw(std::string_view text) {
  BeforeValue();
  text_ += text;
  return *this;
}

JsonWriter& JsonWriter::BeginObject() {
  Raw("{");
  hasValue_.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  hasValue_.pop_back();
  text_ += '}';
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  Raw("[");
  hasValue_.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  hasValue_.pop_back();
  text_ += ']';
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view key) {
  BeforeValue();
  text_ += JsonQuote(key);
  text_ += ':';
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view value) { return Raw(JsonQuote(value)); }

JsonWriter& JsonWriter::Number(double value) {
  if (!std::isfinite(value)) return Null();
  char buffer[32];
  auto const [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return Raw(std::string_view(buffer, static_cast<std::size_t>(end - buffer)));
}

JsonWriter& JsonWriter::Number(float value) {
  if (!std::isfinite(value)) return Null();
  char buffer[32];
  auto const [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return Raw(std::string_view(buffer, static_cast<std::size_t>(end - buffer)));
}

JsonWriter& JsonWriter::Integer(std::int64_t value) { return Raw(std::to_string(value)); }

JsonWriter& JsonWriter::Unsigned(std::uint64_t value) { return Raw(std::to_string(value)); }

JsonWriter& JsonWriter::Bool(bool value) { return Raw(value ? "true" : "false"); }

JsonWriter& JsonWriter::Null() { return Raw("null"); }

}  // namespace Quillan::Cli
