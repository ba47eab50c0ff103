#include "BE/Detail/TomlLimits.h"

#include <vector>

namespace BE::detail {
namespace {

// Bytes that may make up a bare key, or a number, date or keyword among the values. Bytes outside ASCII count too:
// a parser that takes Unicode bare keys must not see a dotted key the scan missed.
bool IsBareByte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
         static_cast<unsigned char>(c) >= 0x80;
}

// One pass over the text. It follows chains of key parts ("a . 'b'.c": bare words and strings joined by dots,
// wherever they occur, so a dotted number counts too), the parts of the last table header, and the arrays and
// inline tables that are open. A chain before "=" is a key.
class Scanner {
 public:
  Scanner(std::string_view text, TomlLimits const& limits) : text_(text), limits_(limits) {}

  std::optional<TomlLimitViolation> Run() {
    if (text_.size() > limits_.maxBytes) {
      return TomlLimitViolation{0, 0, "larger than " + std::to_string(limits_.maxBytes) + " bytes"};
    }
    while (pos_ < text_.size() && !violation_) {
      std::size_t const at = pos_;
      char const c = text_[pos_];
      switch (c) {
        case ' ':
        case '\t':
        case '\r':
          ++pos_;
          continue;
        case '\n':
          if (header_) EndHeader();
          EndChain();
          pendingKeyTables_ = 0;
          NewLine();
          statementStart_ = containers_.empty();
          continue;
        case '#':
          EndChain();
          while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
          continue;
        case '"':
        case '\'':
          SkipString(c);
          Part(at);
          break;
        case '.':
          ++pos_;
          if (chainParts_ > 0 && !afterDot_) {
            afterDot_ = true;
          } else {
            EndChain();
          }
          break;
        case '=':
          ++pos_;
          KeyEnds(at);
          break;
        case '[':
        case '{':
          ++pos_;
          if (c == '[' && statementStart_ && containers_.empty() && !header_) {
            StartHeader();
          } else {
            Open(c == '[' ? ']' : '}', at);
          }
          break;
        case ']':
        case '}':
          ++pos_;
          Close(c);
          break;
        case ',':
          ++pos_;
          EndChain();
          pendingKeyTables_ = 0;
          break;
        default:
          if (IsBareByte(c)) {
            while (pos_ < text_.size() && IsBareByte(text_[pos_])) ++pos_;
            Part(at);
          } else {
            ++pos_;
            EndChain();
          }
      }
      statementStart_ = false;
    }
    return violation_;
  }

 private:
  struct Container {
    char close;
    int nesting;  // of the value, counting this container
  };

  void Fail(std::size_t at, std::string problem) {
    if (!violation_) violation_ = TomlLimitViolation{line_, at - lineStart_ + 1, std::move(problem)};
  }

  void NewLine() {
    ++pos_;
    ++line_;
    lineStart_ = pos_;
  }

  int CurrentNesting() const { return containers_.empty() ? 0 : containers_.back().nesting; }

  void CheckNesting(int nesting, std::size_t at) {
    if (nesting > limits_.maxNesting) {
      Fail(at, "values nested more than " + std::to_string(limits_.maxNesting) +
                   " deep (arrays, inline tables and the parts of dotted keys in them)");
    }
  }

  void Part(std::size_t at) {
    chainParts_ = chainParts_ > 0 && afterDot_ ? chainParts_ + 1 : 1;
    afterDot_ = false;
    if (chainParts_ > limits_.maxKeyParts) {
      Fail(at, "a key of more than " + std::to_string(limits_.maxKeyParts) + " dotted parts");
    }
  }

  void EndChain() {
    chainParts_ = 0;
    afterDot_ = false;
  }

  // The chain just read was a key. At the top its parts extend the path of the table header; within a value, all
  // but the last make tables inside the value.
  void KeyEnds(std::size_t at) {
    int const parts = chainParts_;
    EndChain();
    if (containers_.empty()) {
      if (headerParts_ + parts > limits_.maxKeyParts) {
        Fail(at, "a key of more than " + std::to_string(limits_.maxKeyParts) +
                     " dotted parts with those of its table header");
      }
      return;
    }
    pendingKeyTables_ = parts > 0 ? parts - 1 : 0;
    CheckNesting(CurrentNesting() + pendingKeyTables_, at);
  }

  void StartHeader() {
    header_ = true;
    headerArray_ = pos_ < text_.size() && text_[pos_] == '[';
    if (headerArray_) ++pos_;
    EndChain();
  }

  void EndHeader() {
    header_ = false;
    headerParts_ = chainParts_;
    EndChain();
    if (headerArray_ && pos_ < text_.size() && text_[pos_] == ']') ++pos_;
  }

  void Open(char close, std::size_t at) {
    int const nesting = CurrentNesting() + pendingKeyTables_ + 1;
    pendingKeyTables_ = 0;
    EndChain();
    containers_.push_back({close, nesting});
    CheckNesting(nesting, at);
  }

  // A closing bracket that matches nothing open is the parser's to reject; it never lowers the depth counted.
  void Close(char c) {
    if (!containers_.empty() && containers_.back().close == c) {
      containers_.pop_back();
      EndChain();
    } else if (header_ && c == ']') {
      EndHeader();
    } else {
      EndChain();
    }
    pendingKeyTables_ = 0;
  }

  // From the opening quote to past the closing one. A single-line string ends at the end of its line too.
  void SkipString(char quote) {
    bool const escapes = quote == '"';
    std::string_view const triple = quote == '"' ? std::string_view("\"\"\"") : std::string_view("'''");
    if (text_.substr(pos_, 3) == triple) {
      pos_ += 3;
      while (pos_ < text_.size()) {
        char const c = text_[pos_];
        if (c == '\n') {
          NewLine();
        } else if (c == '\\' && escapes) {
          ++pos_;
          if (pos_ < text_.size()) text_[pos_] == '\n' ? NewLine() : void(++pos_);
        } else if (text_.substr(pos_, 3) == triple) {
          pos_ += 3;
          // Up to two more quotes belong to the string: """a""""" holds a"".
          for (int extra = 0; extra < 2 && pos_ < text_.size() && text_[pos_] == quote; ++extra) ++pos_;
          return;
        } else {
          ++pos_;
        }
      }
      return;
    }
    ++pos_;
    while (pos_ < text_.size() && text_[pos_] != '\n') {
      char const c = text_[pos_++];
      if (c == quote) return;
      if (c == '\\' && escapes && pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
    }
  }

  std::string_view const text_;
  TomlLimits const& limits_;
  std::size_t pos_ = 0;
  std::size_t line_ = 1;
  std::size_t lineStart_ = 0;
  std::optional<TomlLimitViolation> violation_;
  // The parts of the key being read, and whether a dot after its last part asks for another.
  int chainParts_ = 0;
  bool afterDot_ = false;
  // The tables that the parts of the key whose value comes next make inside the value being read.
  int pendingKeyTables_ = 0;
  // Nothing but blanks and comments yet on this line, outside any value: a "[" opens a table header.
  bool statementStart_ = true;
  bool header_ = false;
  bool headerArray_ = false;
  int headerParts_ = 0;
  std::vector<Container> containers_;
};

}  // namespace

std::optional<TomlLimitViolation> FindTomlLimitViolation(std::string_view text, TomlLimits const& limits) {
  return Scanner(text, limits).Run();
}

}  // namespace BE::detail
