#include "quillan/OutputFormat.h"

namespace Quillan::Cli {

std::map<std::string, OutputFormat> const& OutputFormatNames() {
  static std::map<std::string, OutputFormat> const names = {
      {"table", OutputFormat::kTable},
      {"json", OutputFormat::kJson},
      {"ndjson", OutputFormat::kNdjson},
      {"csv", OutputFormat::kCsv},
  };
  return names;
}

std::string JsonText(nlohmann::ordered_json const& value) {
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string CsvLine(std::vector<std::string> const& fields) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += ',';
    std::string const& field = fields[i];
    if (field.find_first_of(",\"\r\n") == std::string::npos) {
      line += field;
      continue;
    }
    line += '"';
    for (char const c : field) {
      if (c == '"') line += '"';
      line += c;
    }
    line += '"';
  }
  return line + "\r\n";
}

}  // namespace Quillan::Cli
