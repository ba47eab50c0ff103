#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Quillan::Cli {

// `text` as a JSON string literal, quotes included. Control characters, '"' and '\' are escaped; bytes that are not
// valid UTF-8 (texts from files are not trusted) become U+FFFD, so the output is always valid JSON and UTF-8.
std::string JsonQuote(std::string_view text);

// Builds compact JSON text (no spaces) in document order. The caller nests Begin/End calls correctly and gives a
// Key before every value inside an object. Not thread-safe.
class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  JsonWriter& Key(std::string_view key);
  JsonWriter& String(std::string_view value);
  // The shortest text that reads back as the same double; null for NaN and infinities, which JSON cannot hold.
  JsonWriter& Number(double value);
  // The shortest text that reads back as the same float.
  JsonWriter& Number(float value);
  JsonWriter& Integer(std::int64_t value);
  JsonWriter& Unsigned(std::uint64_t value);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();

  std::string const& Text() const { return text_; }

 private:
  // Writes the comma that separates this value from the previous one at the same level.
  void BeforeValue();
  JsonWriter& Raw(std::string_view text);

  std::string text_;
  // One entry per open object or array: whether a value has been written in it yet.
  std::vector<bool> hasValue_;
  bool afterKey_ = false;
};

}  // namespace Quillan::Cli
