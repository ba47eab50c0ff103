#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "Analyzers/IAnalyzer.h"
#include "Host/AnalyzerType.h"
#include "quillan/CommandLine.h"
#include "zelcore/Guid.h"

namespace Quillan::Cli {

// What the tool knows of one registered analyzer.
struct AnalyzerInfo {
  // The analyzer's own name (AnalyzerBase::GetAnalyzerName); its GUID text when it has none.
  std::string name;
  zelcore::utility::Guid id;
  // Empty for an analyzer named by GUID that is not filed under type 0.
  std::optional<AnalyzerType> type;
  TargetObjectType target = TargetObjectType::kClip;
  std::optional<std::size_t> maxJobCount;
};

// Loads analyzer modules, which register their analyzers as they load. Loaded with RTLD_NOW | RTLD_GLOBAL and never
// unloaded: the registry keeps their factories. Throws UsageError naming `command` with the loader's message when a
// module cannot be loaded.
void LoadAnalyzerModules(std::vector<std::string> const& paths, std::string const& command);

// The analyzers of the default registry that the host runs for a whole clip (type 0), in name order. The registry
// lists factories only, so each one is asked to build an analyzer for a placeholder clip and that analyzer is asked
// for its GUID, name, target and limit; a factory that declines the placeholder is left out.
std::vector<AnalyzerInfo> ListTypeZeroAnalyzers();

// The analyzer that `text` names: a name from `catalog`, or the GUID of any registered analyzer. Throws UsageError
// naming `command` for an unknown or ambiguous name and for an unregistered GUID.
AnalyzerInfo ResolveAnalyzer(std::vector<AnalyzerInfo> const& catalog, std::string const& text,
                             std::string const& command);

// The name of `id` in `catalog`, or its GUID text.
std::string AnalyzerNameOf(std::vector<AnalyzerInfo> const& catalog, zelcore::utility::Guid const& id);

// `quillan analyzers [--json] [--plugin FILE.so]...`
int RunAnalyzersCommand(ArgumentCursor& arguments);

}  // namespace Quillan::Cli
