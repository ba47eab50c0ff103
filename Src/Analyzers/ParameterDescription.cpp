#include "Analyzers/ParameterDescription.h"

#include <algorithm>
#include <set>
#include <string>

namespace Quillan {
namespace {

bool OneLine(std::string const& text) { return text.find_first_of("\r\n") == std::string::npos; }

// Whether `description` keeps the promise of IParameterDescriber: tools print it unchecked, and a completion offers
// the names as words.
bool IsWellFormed(AnalyzerDescription const& description) {
  if (!OneLine(description.summary)) return false;
  std::set<std::string> names;
  int bare = 0;
  for (ParameterDescription const& parameter : description.parameters) {
    if (parameter.name.empty() || parameter.name.find_first_of(" \t\r\n,=") != std::string::npos) return false;
    if (!names.insert(parameter.name).second) return false;
    if (!OneLine(parameter.meaning) || !OneLine(parameter.defaultValue) || !OneLine(parameter.range) ||
        !OneLine(parameter.unit)) {
      return false;
    }
    if (parameter.minimum && parameter.maximum && !(*parameter.minimum <= *parameter.maximum)) return false;
    bare += parameter.bare ? 1 : 0;
  }
  return bare <= 1;
}

}  // namespace

std::optional<AnalyzerDescription> DescribeAnalyzerParameters(zelcore::InterfaceRef<IAnalyzer> const& analyzer) {
  auto const describer = zelcore::InterfaceRef<IParameterDescriber>::Query(analyzer);
  if (!describer) return std::nullopt;
  try {
    AnalyzerDescription description = describer->DescribeAnalyzer();
    if (IsWellFormed(description)) return description;
  } catch (...) {
    // A describer that throws is treated as one that has nothing to say.
  }
  return std::nullopt;
}

}  // namespace Quillan
