#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// A check of TOML text, made before the text reaches the TOML library: its parser recurses once per part of a
// dotted key and once per nested array or inline table, and its copies, writer and destructors recurse once per
// level of the tables it builds. Untrusted text beyond these bounds would exhaust the stack.
//
// The bounds are on the tree the text describes, not on its spelling, so that the library's writer, which spells
// the same tree in its own way (full paths in table headers, nested inline tables for dotted keys in them), writes
// text that passes them again.
namespace BE::detail {

// Generous for hand-written settings files, which are a few lines with keys of one or two parts.
struct TomlLimits {
  std::size_t maxBytes = 4 * 1024 * 1024;
  // Parts of a key: of one dotted key anywhere, and of the path of a table's key from the top of the document (its
  // table header's parts and its own).
  int maxKeyParts = 64;
  // Levels of one value: arrays and inline tables inside one another, and the tables that the parts of dotted keys
  // within them make.
  int maxNesting = 64;
};

struct TomlLimitViolation {
  // 1-based; line 0 when the text as a whole is too large.
  std::size_t line = 0;
  std::size_t column = 0;  // in bytes
  std::string problem;
};

// Scans `text` once, in linear time and constant stack, and returns the first place where it goes beyond
// `limits`. Dots, brackets and braces inside strings and comments do not count. The scan does not validate
// TOML: malformed text within the limits is left to the parser.
std::optional<TomlLimitViolation> FindTomlLimitViolation(std::string_view text, TomlLimits const& limits = {});

}  // namespace BE::detail
