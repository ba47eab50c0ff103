#include "Analyzers/ResultDescription.h"

#include <nlohmann/json.hpp>

namespace Quillan {
namespace {

using nlohmann::ordered_json;

// Whether `description` keeps the promise of IResultDescriber: tools print it unchecked.
bool IsWellFormed(ResultDescription const& description) {
  if (description.summary.find_first_of("\r\n") != std::string::npos) return false;
  ordered_json const value = ordered_json::parse(description.json, nullptr, /*allow_exceptions=*/false);
  if (!value.is_object() || !value.contains("name") || !value["name"].is_string()) return false;
  if (!value.contains("fields") || !value["fields"].is_object()) return false;
  if (!value.contains("units") || !value["units"].is_object()) return false;
  for (auto const& [path, unit] : value["units"].items()) {
    if (!unit.is_string()) return false;
  }
  return true;
}

ResultDescription SizeOnly(std::string const& name, zelcore::Blob const& blob) {
  std::size_t const size = blob ? blob->size() : 0;
  ordered_json const value = {{"name", name}, {"fields", {{"size", size}}}, {"units", {{"size", "bytes"}}}};
  return {std::to_string(size) + " bytes", value.dump()};
}

}  // namespace

ResultDescription DescribeAnalyzerResult(zelcore::InterfaceRef<IAnalyzer> const& analyzer,
                                         std::string const& fallbackName, zelcore::utility::ImmutableString const& key,
                                         zelcore::Blob const& blob) {
  if (auto const describer = zelcore::InterfaceRef<IResultDescriber>::Query(analyzer)) {
    try {
      if (std::optional<ResultDescription> description = describer->DescribeResult(key, blob);
          description && IsWellFormed(*description)) {
        return std::move(*description);
      }
    } catch (...) {
      // A describer that throws is treated as one that does not know the bytes.
    }
  }
  return SizeOnly(fallbackName, blob);
}

}  // namespace Quillan
