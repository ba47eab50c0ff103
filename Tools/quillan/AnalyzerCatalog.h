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
  // The analyzer's own name (AnalyzerBase::GetAnalyzerName); its GUID text when it has none or cannot be built.
  std::string name;
  zelcore::utility::Guid id;
  AnalyzerType type{};
  // Empty when the factory builds no analyzer without a real clip.
  std::optional<TargetObjectType> target;
  std::optional<std::size_t> maxJobCount;
};

// Loads analyzer modules, which register their analyzers as they load. Loaded with RTLD_NOW | RTLD_GLOBAL and never
// unloaded: the registry keeps their factories. Throws UsageError naming `command` with the loader's message when a
// module cannot be loaded.
void LoadAnalyzerModules(std::vector<std::string> const& paths, std::string const& command);

// Every analyzer of the default registry, in name order. Each factory is asked to build an analyzer for a placeholder
// clip (offline media; nothing is analysed), which gives its name, target and limit.
std::vector<AnalyzerInfo> ListAnalyzers();

// The analyzers that `analyze` runs when none is named: those of `catalog` under type 0, as the host's own analysis of
// a whole clip picks them, that could be built.
std::vector<AnalyzerInfo> TypeZeroAnalyzers(std::vector<AnalyzerInfo> const& catalog);

// The analyzer that `text` names: a name or GUID from `catalog`. Throws UsageError naming `command` for an unknown or
// ambiguous name and for an unregistered GUID.
AnalyzerInfo ResolveAnalyzer(std::vector<AnalyzerInfo> const& catalog, std::string const& text,
                             std::string const& command);

// The name of `id` in `catalog`, or its GUID text.
std::string AnalyzerNameOf(std::vector<AnalyzerInfo> const& catalog, zelcore::utility::Guid const& id);

// `quillan analyzers [--json] [--plugin FILE.so]...`
int RunAnalyzersCommand(ArgumentCursor& arguments);

}  // namespace Quillan::Cli
