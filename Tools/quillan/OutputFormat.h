#pragma once

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace Quillan::Cli {

// How a command prints what it found on stdout.
enum class OutputFormat {
  kTable,   // aligned columns for people
  kJson,    // one JSON document
  kNdjson,  // one JSON object per line, each line as soon as its row is known
  kCsv,     // RFC 4180: a header line, then one line per row, fields quoted where they need it
};

// The version of the JSON, NDJSON and CSV layouts, in every document and line ("schema": 1). Raised when a field
// changes meaning or goes away; new fields do not raise it.
inline constexpr int kSchemaVersion = 1;

// The names that --format takes, to each format.
std::map<std::string, OutputFormat> const& OutputFormatNames();

// `value` as compact JSON text; bytes that are not UTF-8 (file names may hold any) become U+FFFD.
std::string JsonText(nlohmann::ordered_json const& value);

// One CSV line (with its CRLF end) of `fields`, each quoted as the export library quotes a cell.
std::string CsvLine(std::vector<std::string> const& fields);

}  // namespace Quillan::Cli
