#pragma once

#include <string>
#include <vector>

#include "Host/AnalyzerType.h"
#include "zelcore/Guid.h"

namespace Quillan::Node {

// One registered analyzer as scripts name it.
struct NamedAnalyzer {
  zelcore::utility::Guid id;
  AnalyzerType type{};
  // AnalyzerBase::GetAnalyzerName; the GUID text when it has none or its factory builds nothing without a real clip.
  std::string name;
};

// Every analyzer of the default registry, in GUID order. Each factory is asked for an analyzer of a placeholder clip
// (offline media, nothing is analysed) to learn its name; a factory that throws is listed under its GUID.
std::vector<NamedAnalyzer> ListNamedAnalyzers();

// The GUID that `text` names among `known`: a GUID text (registered or not: the host reports an unknown one), or an
// analyzer's name. Throws std::invalid_argument naming the known names for an unknown or ambiguous name.
zelcore::utility::Guid ResolveAnalyzer(std::vector<NamedAnalyzer> const& known, std::string const& text);

// "digest, loudness, peaks": the names of `known`, sorted; "none" when empty.
std::string KnownNames(std::vector<NamedAnalyzer> const& known);

}  // namespace Quillan::Node
