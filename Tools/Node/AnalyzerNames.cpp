#include "AnalyzerNames.h"

#include <algorithm>
#include <any>
#include <stdexcept>

#include "Analyzers/AnalyzerBase.h"
#include "BE/Media.h"
#include "BE/ProjectFactory.h"
#include "BE/SettingsFileException.h"
#include "Host/AnalyzerRegistry.h"

namespace Quillan::Node {

using zelcore::InterfaceRef;
using zelcore::utility::Guid;

std::vector<NamedAnalyzer> ListNamedAnalyzers() {
  auto const media = BE::ProjectFactory::CreateMedia(u"/nonexistent/quillan-placeholder.wav");
  auto const clip = BE::ProjectFactory::CreateClip(media, BE::kMediaType_Audio);
  std::vector<NamedAnalyzer> known;
  for (RegisteredAnalyzer const& registered : GetRegisteredAnalyzers()) {
    NamedAnalyzer entry{registered.id, registered.type, registered.id.AsUTF8String()};
    try {
      AnalyzerFactory const factory = AnalyzerRegistry::GetDefaultRegistry()->GetAnalyzerFactory(registered.id);
      auto const base = InterfaceRef<Analyzers::AnalyzerBase>::Query(factory(clip, std::any(), {}));
      if (base && !base->GetAnalyzerName().empty()) entry.name = base->GetAnalyzerName().ToUTF8String();
    } catch (BE::exSettingsFile const&) {
      throw;  // every factory that reads the settings fails alike: the caller's problem, told once
    } catch (...) {
      // Named by its GUID: one broken factory must not hide the others.
    }
    known.push_back(std::move(entry));
  }
  return known;
}

std::string KnownNames(std::vector<NamedAnalyzer> const& known) {
  std::vector<std::string> names;
  for (NamedAnalyzer const& analyzer : known) names.push_back(analyzer.name);
  std::sort(names.begin(), names.end());
  std::string text;
  for (std::string const& name : names) text += (text.empty() ? "" : ", ") + name;
  return text.empty() ? "none" : text;
}

Guid ResolveAnalyzer(std::vector<NamedAnalyzer> const& known, std::string const& text) {
  if (std::optional<Guid> const id = Guid::FromString(text)) return *id;
  std::vector<Guid> matches;
  for (NamedAnalyzer const& analyzer : known) {
    if (analyzer.name == text) matches.push_back(analyzer.id);
  }
  if (matches.size() == 1) return matches.front();
  if (matches.empty()) {
    throw std::invalid_argument("no analyzer is named \"" + text + "\" (known: " + KnownNames(known) + ")");
  }
  std::string ids;
  for (Guid const& id : matches) ids += " " + id.AsUTF8String();
  throw std::invalid_argument("several analyzers are named \"" + text + "\"; give one of their GUIDs:" + ids);
}

}  // namespace Quillan::Node
