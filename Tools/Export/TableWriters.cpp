#include "Export/TableWriters.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>

namespace Quillan::Export {
namespace {

using Json = nlohmann::ordered_json;

std::string Number(double value) {
  if (!std::isfinite(value)) return value > 0 ? "inf" : (value < 0 ? "-inf" : "nan");
  char text[32];
  auto const end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

std::vector<std::string> FieldNames(std::vector<MediaEvents> const& media) {
  std::vector<std::string> names;
  for (MediaEvents const& file : media) {
    for (Event const& event : file.events) {
      for (auto const& [name, value] : event.fields) {
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
      }
    }
  }
  return names;
}

}  // namespace

std::string CsvCell(std::string_view text) {
  bool const quote = text.find_first_of(",\"\r\n") != std::string_view::npos ||
                     (!text.empty() && (text.front() == ' ' || text.back() == ' '));
  if (!quote) return std::string(text);
  std::string cell = "\"";
  for (char const c : text) cell += c == '"' ? std::string("\"\"") : std::string(1, c);
  return cell + "\"";
}

std::string WriteCsv(std::vector<MediaEvents> const& media) {
  std::vector<std::string> const fields = FieldNames(media);
  std::string text = "file,analyzer,kind,start,end,score";
  for (std::string const& name : fields) text += "," + CsvCell(name);
  text += "\n";
  for (MediaEvents const& file : media) {
    for (Event const& event : file.events) {
      text += CsvCell(file.file) + "," + CsvCell(event.analyzer) + "," + CsvCell(event.kind) + "," +
              Number(event.start) + "," + (event.end ? Number(*event.end) : "") + "," +
              (event.score ? Number(*event.score) : "");
      for (std::string const& name : fields) {
        auto const field = std::find_if(event.fields.begin(), event.fields.end(),
                                        [&](auto const& entry) { return entry.first == name; });
        text += "," + (field != event.fields.end() ? Number(field->second) : "");
      }
      text += "\n";
    }
  }
  return text;
}

std::string WriteNdjson(std::vector<MediaEvents> const& media) {
  std::string text;
  for (MediaEvents const& file : media) {
    for (Event const& event : file.events) {
      Json row = {{"file", file.file}, {"analyzer", event.analyzer}, {"kind", event.kind}, {"start", event.start}};
      if (event.end) row["end"] = *event.end;
      if (event.score) row["score"] = *event.score;
      for (auto const& [name, value] : event.fields) {
        // Counts (a cut's frame) read back as integers.
        if (std::abs(value) < 9e15 && value == std::trunc(value)) {
          row[name] = static_cast<std::int64_t>(value);
        } else {
          row[name] = value;
        }
      }
      // Bytes of a file name that are not UTF-8 become U+FFFD: JSON has no way to carry them.
      text += row.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    }
  }
  return text;
}

}  // namespace Quillan::Export
