#include "quillan/OutputFormat.h"

#include "Export/TableWriters.h"

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
    line += Export::CsvCell(fields[i]);
  }
  return line + "\r\n";
}

}  // namespace Quillan::Cli
