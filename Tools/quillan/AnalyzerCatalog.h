#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "Analyzers/IAnalyzer.h"
#include "Analyzers/IParameterDescriber.h"
#include "Host/AnalyzerType.h"
#include "quillan/CommandActions.h"
#include "quillan/ToolErrors.h"
#include "zelcore/Guid.h"

namespace Quillan::Cli {

// What the tool knows of one registered analyzer.
struct AnalyzerInfo {
  // The analyzer's own name (AnalyzerBase::GetAnalyzerName); when it has none or cannot be built, the name the
  // example module gives its GUID, else the GUID text.
  std::string name;
  zelcore::utility::Guid id;
  AnalyzerType type{};
  // Empty when the factory builds no analyzer without a real clip, or failed.
  std::optional<TargetObjectType> target = std::nullopt;
  std::optional<std::size_t> maxJobCount = std::nullopt;
  // What the factory threw when asked for an analyzer of the placeholder clip; empty when it did not throw.
  std::string failure = {};
  // What the analyzer says it does and which parameters it takes (IParameterDescriber); empty when it says nothing.
  std::optional<AnalyzerDescription> description = std::nullopt;
};

// Loads analyzer modules, which register their analyzers as they load or from their entry point. Never unloaded: the
// registry keeps their factories. Throws AnalyzerModuleError with the loader's or the module's message.
void LoadAnalyzerModules(std::vector<std::string> const& paths);

// An analyzer of `id` built for a placeholder clip (offline media; nothing is analysed), to ask it about itself and
// its results; null when the factory builds none or fails. A settings problem (BE::exSettingsFile) is the run's, not
// the analyzer's: it is thrown on.
zelcore::InterfaceRef<IAnalyzer> BuildPlaceholderAnalyzer(zelcore::utility::Guid const& id);

// Every analyzer of the default registry, in name order. Each factory is asked to build an analyzer for a placeholder
// clip (offline media; nothing is analysed), which gives its name, target and limit; whatever a factory throws is
// kept as that analyzer's failure, except a settings problem (BE::exSettingsFile, or a zel_exception with its result
// code), which is thrown on: it would fail every analyzer alike and is told once.
std::vector<AnalyzerInfo> ListAnalyzers();

// The analyzers that `analyze` runs when none is named: those of `catalog` under type 0, as the host's own analysis of
// a whole clip picks them, that could be built or whose factory failed (their jobs then fail with its message).
std::vector<AnalyzerInfo> TypeZeroAnalyzers(std::vector<AnalyzerInfo> const& catalog);

// The analyzer that `text` names: a name or GUID from `catalog`. Throws UsageError naming `command` for an unknown
// (with the closest name, when one is close) or ambiguous name and for an unregistered GUID.
AnalyzerInfo ResolveAnalyzer(std::vector<AnalyzerInfo> const& catalog, std::string const& text,
                             std::string const& command);

// The name of `id` in `catalog`, or its GUID text.
std::string AnalyzerNameOf(std::vector<AnalyzerInfo> const& catalog, zelcore::utility::Guid const& id);

// One setting of an analyzer's parameter for people, on one line: "-60 dBFS by default, -200 to 0: the level below
// which every channel counts as silent".
std::string SettingText(ParameterDescription const& parameter);

// Declares `quillan analyzers` on `app`, with its action: every registered analyzer, then what each does and the
// settings of its parameter.
void AddAnalyzersCommand(CLI::App& app, CommandActions& actions);

}  // namespace Quillan::Cli
